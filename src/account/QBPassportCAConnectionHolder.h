// The connection holder of a CA exchange (see QBPassportCARequest): reads a
// 401 as the service's CA signal ("WWW-Authenticate: passportCA": the token
// is blanked and the CA request sent once more; "passportCA-Disabled": CA
// is off for "CA-DISABLE-SECONDS" and the exchange fails with 401), fails
// the exchange on any other status of 400 or above, and decrypts the reply
// body and the stored cookies under the exchange's CA security key before
// the reply is parsed and delivered as QBPassportURLConnectionAndDelegate
// does.
//
// Ownership: owned by the request that is really sent; holds the delegate
// of the wrapped request strongly and the CA request weakly (the keep-alive
// registry holds that until the exchange ends, when this holder removes
// it). Threading: as its base, on the connection's thread. Failures: each
// exchange ends exactly once; one that a refused token restarts ends
// without a message, and the restarted exchange reports.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "account/QBPassportURLConnectionAndDelegate.h"

namespace lumora {

class QBPassportCARequest;

class QBPassportCAConnectionHolder : public QBPassportURLConnectionAndDelegate {
 public:
  static constexpr const char* kChallengeHeader = "WWW-Authenticate";
  static constexpr const char* kDisableSecondsHeader = "CA-DISABLE-SECONDS";
  static constexpr const char* kTokenRefused = "passportCA";
  static constexpr const char* kCADisabled = "passportCA-Disabled";

  // The delegate is the wrapped request's; `security` is absent for a
  // holder that only reports a failure.
  static std::shared_ptr<QBPassportCAConnectionHolder> initWithCARequest(
      const std::shared_ptr<QBPassportCARequest>& caRequest, std::optional<std::string> security,
      bool shouldHandle401);
  QBPassportCAConnectionHolder(std::shared_ptr<QBPassportRequestDelegate> delegate,
                               const std::shared_ptr<QBPassportCARequest>& caRequest,
                               std::optional<std::string> security, bool shouldHandle401);

  bool shouldHandleCA401() const { return shouldHandleCA401_; }
  const std::optional<std::string>& security() const { return security_; }
  std::shared_ptr<QBPassportCARequest> caRequest() const { return caRequest_.lock(); }

  // A 401 while 401s are CA signals.
  void handleCA401(const platform::http::Response& response);

  void connectionDidReceiveResponse(const platform::http::Response& response) override;
  void connectionDidFinishLoading() override;
  void connectionDidFailWithError(const platform::Error& error) override;

 private:
  void leaveRegistry();

  const bool shouldHandleCA401_;
  const std::optional<std::string> security_;
  const std::weak_ptr<QBPassportCARequest> caRequest_;
};

}  // namespace lumora
