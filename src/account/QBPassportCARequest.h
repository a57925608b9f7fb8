// One account request sent the CA way: to a plain-HTTP CA login URL, with
// its parameters (but those whose names start with "_") and its cookies
// (but "deviceId", "sdkVersion", "passport_ca_token" and names starting
// with "__") encrypted under the device's CA security key in the
// random-vector form, a "_nonce", the "caTag" header and a "_caSign"
// signature under the same key. The reply and the cookies it sets are
// decrypted by QBPassportCAConnectionHolder, and reach the wrapped
// request's delegate as a plain request's would.
//
// Ownership: made around a request the session built (which is not sent
// itself); held by QBPassportRequestMemoryHolder from connect() until its
// exchange ends, so a caller may drop it at once. Threading: connect() may
// be called from any thread; the exchange reports on the connection's
// thread. Failures: reach the wrapped request's delegate as
// requestDidFailWithError: no CA token (the token fetch's error, or
// QBPassportErrorDomain -105), an "https" URL (-100), a key that does not
// encrypt (-105, and the stored token is blanked), HTTP statuses of 400 and
// above with the status as code; a refused token is fetched anew and the
// request sent once more.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "account/QBPassportCAToken.h"
#include "account/QBPassportRequest.h"
#include "platform/Error.h"

namespace lumora {

class QBPassportCARequest : public std::enable_shared_from_this<QBPassportCARequest> {
  struct PrivateTag {};

 public:
  static constexpr std::int64_t kCodeNoCAToken = -105;
  static constexpr std::int64_t kCodeHTTPSRequest = -100;
  static constexpr const char* kCATokenCookie = "passport_ca_token";
  static constexpr const char* kCATagHeader = "caTag";

  static std::shared_ptr<QBPassportCARequest> initWithWithQBPassportRequest(
      std::shared_ptr<QBPassportRequest> request);
  QBPassportCARequest(PrivateTag, std::shared_ptr<QBPassportRequest> request);
  QBPassportCARequest(const QBPassportCARequest&) = delete;
  QBPassportCARequest& operator=(const QBPassportCARequest&) = delete;

  // Gets the CA token (stored, else fetched) and sends the encrypted form.
  void connect();
  // Sends once more, with a 401 no longer read as a CA signal.
  void reconnectDueTo401();

  bool shouldHandleCA401() const { return shouldHandleCA401_; }
  void setShouldHandleCA401(bool value) { shouldHandleCA401_ = value; }
  const std::shared_ptr<QBPassportRequest>& originalRequest() const { return originalRequest_; }

  // Every name but absent ones and those starting with "_".
  static bool shouldEncryptThisParam(const std::optional<std::string>& name);
  // Every name but absent ones, those starting with "__", and
  // "passport_ca_token", "deviceId" and "sdkVersion".
  static bool shouldEncryptThisCookie(const std::optional<std::string>& name);

 private:
  void sendWithToken(const QBPassportCAToken& token);
  // Ends the CA request with `error` to the wrapped request's delegate.
  void failWithError(const platform::Error& error);

  const std::shared_ptr<QBPassportRequest> originalRequest_;
  std::atomic<bool> shouldHandleCA401_{true};
};

}  // namespace lumora
