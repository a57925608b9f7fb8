// One signed cloud request, sent synchronously on the thread that starts it:
// checks the blocked-host table, sends, decodes the reply with its response
// serializer and lets LMHTTPErrorHandler block the host or log in again.
// After start() returns, error() is the outcome (nullopt on success) and
// responseObject() the decoded reply.
//
// Ownership: shared; made by LMHTTPRequestOperationManager (or directly),
// started once by its caller, then read. Threading: start() blocks its
// thread (and may wait for a relogin that needs the main queue), so never
// call it on the main thread; the accessors may be called from any thread
// and take the operation's recursive lock. Failures: transport, status,
// decoding and server errors are the operation's error(); an HTTP 401 is
// the cancelled-authentication error -1012, which triggers a relogin and,
// when that succeeds, comes back marked "retriable". An operation made
// with a build error never sends and keeps that error.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPResponseSerialization.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace lumora {

class LMHTTPRequestOperation {
 public:
  // initWithRequest: a JSON response serializer of its own.
  LMHTTPRequestOperation(platform::http::Request request, std::string passportSid);
  // An operation whose request could not be built: start() sends nothing
  // and error() stays `buildError`.
  LMHTTPRequestOperation(platform::Error buildError, std::string passportSid);
  virtual ~LMHTTPRequestOperation() = default;
  LMHTTPRequestOperation(const LMHTTPRequestOperation&) = delete;
  LMHTTPRequestOperation& operator=(const LMHTTPRequestOperation&) = delete;

  // initWithMethod: builds the signed request with a new default request
  // serializer; a failed build gives an operation carrying the error.
  static std::shared_ptr<LMHTTPRequestOperation> operationWithMethod(
      const std::string& method, const std::string& URLString,
      const std::optional<platform::Json>& parameters, const std::string& passportSid);

  // Runs the operation once; later calls do nothing.
  void start();

  platform::http::Request request() const;
  void setRequest(platform::http::Request request);
  const std::string& passportSid() const { return passportSid_; }

  std::shared_ptr<LMHTTPResponseSerialization> responseSerializer() const;
  // Also forgets the decoded reply.
  void setResponseSerializer(std::shared_ptr<LMHTTPResponseSerialization> serializer);

  std::optional<platform::http::Response> response() const;
  std::optional<platform::Bytes> responseData() const;
  void setResponseData(std::optional<platform::Bytes> data);

  // The decoded reply: decoded once with the response serializer (replacing
  // error() with the serializer's), or the raw body without one.
  std::optional<platform::Json> responseObject();

  std::optional<platform::Error> error() const;
  void setError(std::optional<platform::Error> error);

 protected:
  // Sends and decodes; subclasses may replace it.
  virtual void main();

 private:
  mutable std::recursive_mutex lock_;  // "com.quenby.networking.operation.lock"
  platform::http::Request request_;
  std::string passportSid_;
  std::shared_ptr<LMHTTPResponseSerialization> responseSerializer_;
  std::optional<platform::http::Response> response_;
  std::optional<platform::Bytes> responseData_;
  std::optional<platform::Json> responseObject_;
  bool decoded_ = false;
  std::optional<platform::Error> error_;
  std::optional<platform::Error> buildError_;
  bool started_ = false;
};

}  // namespace lumora
