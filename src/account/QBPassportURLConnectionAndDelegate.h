// Runs the HTTP exchange of one account request and reports it to the
// request's delegate: keeps the request alive in the keep-alive registry
// while it runs, collects the body, and turns it into a result (decrypted
// with the request's coder when it has one, the "&&&START&&&" prefix cut,
// JSON parsed, a non-zero "code" made into a "QBPassportErrorDomain" error,
// an HTTP status of 400 or above made into an error with that code).
//
// Ownership: owned by its request (which it refers to weakly); holds the
// delegate strongly; owns the platform connection until the exchange ends.
// Always held by std::shared_ptr.
// Threading: connect() may be called from any thread, once. The connection's
// callbacks, and so every delegate message, run on the connection's own
// worker thread, one after the other; never on the main thread.
// Failures: transport errors reach the delegate unchanged; every exchange
// ends exactly once (didConnectionFinish), after success or failure, and
// then leaves the keep-alive registry.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "account/QBPassportRequestDelegate.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Connection.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace lumora {

class QBPassportURLConnectionAndDelegate
    : public std::enable_shared_from_this<QBPassportURLConnectionAndDelegate> {
 public:
  // The marker some replies start with, before the JSON.
  static constexpr std::string_view kReplyStartMarker = "&&&START&&&";

  explicit QBPassportURLConnectionAndDelegate(std::shared_ptr<QBPassportRequestDelegate> delegate);
  static std::shared_ptr<QBPassportURLConnectionAndDelegate> initWithDelegate(
      std::shared_ptr<QBPassportRequestDelegate> delegate);
  virtual ~QBPassportURLConnectionAndDelegate();
  QBPassportURLConnectionAndDelegate(const QBPassportURLConnectionAndDelegate&) = delete;
  QBPassportURLConnectionAndDelegate& operator=(const QBPassportURLConnectionAndDelegate&) = delete;

  // Registers the served request and starts the exchange.
  virtual void connect(const platform::http::Request& urlRequest);

  // Connection events (called by the connection; public for subclasses and
  // tests that feed an exchange by hand).
  virtual void connectionDidReceiveResponse(const platform::http::Response& response);
  virtual void connectionDidReceiveData(const platform::Bytes& data);
  virtual void connectionDidFinishLoading();
  virtual void connectionDidFailWithError(const platform::Error& error);

  // Delivers a finished body to the delegate.
  virtual void handleResponseData(const platform::Bytes& data);
  // The result of a body: a non-empty JSON object whose "code" is 0 or
  // missing; for a non-zero "code", the error of that code, and for a text
  // nested deeper than platform::kMaxJsonDepth a malformed-reply error; else
  // the text itself as a JSON string (nullopt when the body is no UTF-8 text or the
  // coder gave nothing).
  virtual platform::Result<std::optional<platform::Json>> parseJsonResponse(const platform::Bytes& data);
  virtual void failedWithError(const platform::Error& error);
  // Ends the exchange: drops buffer and connection, leaves the registry.
  virtual void didConnectionFinish();

  // Error of "QBPassportErrorDomain" with the code and the reply as user info.
  static platform::Error formError(std::int64_t code, platform::Json userInfo);

  platform::Bytes responseData() const;
  void setResponseData(platform::Bytes data);
  std::shared_ptr<platform::http::Connection> connection() const;
  const std::shared_ptr<QBPassportRequestDelegate>& delegate() const { return delegate_; }
  std::shared_ptr<QBPassportRequest> request() const;
  void setRequest(const std::weak_ptr<QBPassportRequest>& request);
  bool requestRecoredInRequestMemoryManager() const;
  void setRequestRecoredInRequestMemoryManager(bool recorded);

 private:
  mutable std::mutex mutex_;
  bool requestRecoredInRequestMemoryManager_ = false;
  platform::Bytes responseData_;
  std::optional<int> statusCode_;
  std::shared_ptr<platform::http::Connection> connection_;
  const std::shared_ptr<QBPassportRequestDelegate> delegate_;
  std::weak_ptr<QBPassportRequest> request_;
};

}  // namespace lumora
