// One signed cloud request, sent synchronously on the thread that starts it:
// checks the blocked-host table, sends (the body streamed, progress
// reported), decodes the reply with its response serializer under the key
// of the session the request was signed with, and lets LMHTTPErrorHandler
// block the host or log in again through the operation's session source.
// After start() returns, error() is the outcome (nullopt on success) and
// responseObject() the decoded reply.
//
// cancel() may come from any thread at any time: a send in progress stops
// within a few tens of milliseconds, and the operation ends with the
// cancelled error -999. Every started operation ends with exactly one call
// of its completion block, cancelled or not.
//
// Ownership: shared; made by LMHTTPRequestOperationManager (or directly),
// started once by its caller, then read. Threading: start() blocks its
// thread (and may wait for a relogin that needs the main queue), so never
// call it on the main thread; progress and completion blocks run on that
// thread. The accessors may be called from any thread; the operation's lock
// guards its fields only and is never held while the network is in use or a
// relogin runs. Failures: transport, status, decoding and server errors are
// the operation's error(); an HTTP 401 is the cancelled-authentication error
// -1012, which triggers a relogin and, when that succeeds, comes back marked
// "retriable". An operation made with a build error never sends and keeps
// that error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPResponseSerialization.h"
#include "cloud/request/LMSessionSource.h"
#include "cloud/request/LMSignedSession.h"
#include "platform/Bytes.h"
#include "platform/dispatch/Cancellation.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace lumora {

class LMHTTPRequestOperation {
 public:
  // (bytes now, bytes so far, bytes expected; -1 when unknown)
  using ProgressBlock = std::function<void(std::int64_t, std::int64_t, std::int64_t)>;
  using CompletionBlock = std::function<void(LMHTTPRequestOperation&)>;

  // initWithRequest: a request signed with `session` (nullopt: the request
  // carries no session, and a reply cannot be decrypted); relogins go
  // through `sessions` (nullptr: the shared passports manager's). A JSON
  // response serializer with the default settings (made only when asked
  // for: until then the operation decodes with a shared one).
  LMHTTPRequestOperation(platform::http::Request request, std::string passportSid,
                         std::optional<LMSignedSession> session = std::nullopt,
                         std::shared_ptr<LMSessionSource> sessions = nullptr);
  // An operation whose request could not be built: start() sends nothing
  // and error() stays `buildError`.
  LMHTTPRequestOperation(platform::Error buildError, std::string passportSid);
  virtual ~LMHTTPRequestOperation() = default;
  LMHTTPRequestOperation(const LMHTTPRequestOperation&) = delete;
  LMHTTPRequestOperation& operator=(const LMHTTPRequestOperation&) = delete;

  // initWithMethod: builds the signed request with a new default request
  // serializer and the shared session source; without a session the
  // operation carries the not-logged-in error.
  static std::shared_ptr<LMHTTPRequestOperation> operationWithMethod(
      const std::string& method, const std::string& URLString,
      const std::optional<platform::Json>& parameters, const std::string& passportSid);

  // Runs the operation once, then its completion block; later calls do
  // nothing.
  void start();
  // Stops the operation (see above); does nothing once it has finished.
  void cancel();
  bool isCancelled() const;
  bool isFinished() const;

  // Run on the starting thread: as the body goes out, as the reply comes in,
  // and once when the operation has ended.
  void setUploadProgressBlock(ProgressBlock block);
  void setDownloadProgressBlock(ProgressBlock block);
  void setCompletionBlock(CompletionBlock block);

  platform::http::Request request() const;
  void setRequest(platform::http::Request request);
  const std::string& passportSid() const { return passportSid_; }
  // The session the request was signed with, which decrypts its reply.
  const std::optional<LMSignedSession>& session() const { return session_; }
  const std::shared_ptr<LMSessionSource>& sessionSource() const { return sessions_; }

  std::shared_ptr<LMHTTPResponseSerialization> responseSerializer();
  // Also forgets the decoded reply.
  void setResponseSerializer(std::shared_ptr<LMHTTPResponseSerialization> serializer);

  std::optional<platform::http::Response> response() const;
  std::optional<platform::Bytes> responseData() const;
  void setResponseData(std::optional<platform::Bytes> data);

  // The decoded reply: decoded once with the response serializer (replacing
  // error() with the serializer's), or the raw body without one.
  std::optional<platform::Json> responseObject();
  // The same reply shared, not copied (null: no reply); it never changes.
  std::shared_ptr<const platform::Json> sharedResponseObject();

  std::optional<platform::Error> error() const;
  void setError(std::optional<platform::Error> error);

  // The outcome in one value: the decoded reply (null when the reply had no
  // body to decode), or the error.
  platform::Result<platform::Json> result();

 protected:
  // Sends and decodes; subclasses may replace it.
  virtual void main();
  // Whether cancel() was called (for main() and its replacements).
  const platform::Cancellation& cancellation() const { return *cancellation_; }

 private:
  std::optional<std::string> securityKey() const;
  // The request as it stands now, shared rather than copied.
  std::shared_ptr<const platform::http::Request> requestSnapshot() const;
  // What decodes the reply now (null: none); lock_ held.
  std::shared_ptr<const LMHTTPResponseSerialization> serializerLocked() const;

  mutable std::mutex lock_;  // "com.quenby.networking.operation.lock"
  // Replaced whole by setRequest(), never changed in place: main() sends
  // the one it took without copying it.
  std::shared_ptr<const platform::http::Request> request_ =
      std::make_shared<const platform::http::Request>();
  const std::string passportSid_;
  const std::optional<LMSignedSession> session_;
  const std::shared_ptr<LMSessionSource> sessions_;
  const std::shared_ptr<platform::Cancellation> cancellation_ = std::make_shared<platform::Cancellation>();
  std::shared_ptr<LMHTTPResponseSerialization> responseSerializer_;
  bool usesDefaultSerializer_ = true;
  std::optional<platform::http::Response> response_;
  std::optional<platform::Bytes> responseData_;
  // Shared so that readers take it without copying; replaced whole.
  std::shared_ptr<const platform::Json> responseObject_;
  bool decoded_ = false;
  std::optional<platform::Error> error_;
  std::optional<platform::Error> buildError_;
  bool started_ = false;
  bool finished_ = false;
  ProgressBlock uploadProgress_;
  ProgressBlock downloadProgress_;
  CompletionBlock completion_;
};

}  // namespace lumora
