// A raw data transfer: one plain HTTP exchange for a prepared request (no
// signing, no encryption, no JSON), for the block storage's uploads and
// downloads. The reply body is collected in memory (responseData()) or
// written to an output stream of the caller's (setOutputStream()).
//
// The transfers of all operations report on one shared network thread
// ("LMNetworking", made on first use and kept for the life of the process):
// the set-up of each connection, its cancellation, the reply head, every
// body chunk (written to the output stream there), the progress blocks and
// the finish block all run on it, one at a time; callers hop to their own
// queues. The bytes themselves move on a worker thread per connection.
//
// Run an operation one of two ways: startWithFinish() (start() never waits;
// the finish block tells the end), or added to an OperationQueue, whose
// thread it then holds until the transfer has ended. waitUntilFinished()
// follows it either way.
//
// Every started operation ends with exactly one call of its finish block
// (when one is set): the body and no error, or the failure. A cancel before
// the start, before the connection exists, during the body or after the end
// gives that one call too (cancelled: -999 in the URL error domain with the
// failing URL), never none and never two. A status such as 500 is no
// failure: the body comes with no error and the caller judges the response.
// An output stream that refuses a write stops the transfer with the
// stream's error. The blocks are let go when the transfer ends.
//
// Ownership: shared (initWithRequest); the network thread's tasks and the
// running connection keep it alive until it has ended. Threading: every
// member may be called from any thread; the operation's lock guards its
// state and is never held while a block of the caller runs. Never wait for
// an operation on the network thread itself. Failures: the error() and the
// finish block's error, as above.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/dispatch/Operation.h"
#include "platform/OutputStream.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/http/Connection.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace lumora {

class LMDataRequestOperation : public platform::Operation,
                               public std::enable_shared_from_this<LMDataRequestOperation> {
  struct Token {};

 public:
  enum State : std::int64_t { kStateReady = 1, kStateExecuting = 2, kStateFinished = 3 };
  // (bytes now, bytes so far, bytes expected; -1 when unknown)
  using ProgressBlock = std::function<void(std::int64_t, std::int64_t, std::int64_t)>;
  using FinishBlock = std::function<void(const std::optional<platform::http::Response>& response,
                                         const std::optional<platform::Bytes>& responseData,
                                         const std::optional<platform::Error>& error)>;

  static std::shared_ptr<LMDataRequestOperation> initWithRequest(platform::http::Request request);
  LMDataRequestOperation(Token, platform::http::Request request);
  ~LMDataRequestOperation() override;

  // The shared network thread.
  static platform::SerialQueue& networkRequestThread();

  // Begins the transfer on the network thread and returns at once. A
  // cancelled operation ends there instead (with -999); an operation that
  // has already begun ignores it.
  void start();
  // Sets the finish block, then start().
  void startWithFinish(FinishBlock finish);
  // Stops the transfer (see above). Ignored once the operation has ended or
  // was cancelled. An operation that has not begun reads as cancelled at
  // once (error() is -999), also when a queue then drops it unstarted.
  void cancel() override;

  State state() const;
  bool isReady() const { return state() == kStateReady; }

  const platform::http::Request& request() const { return request_; }
  // The reply head, once it has arrived.
  std::optional<platform::http::Response> response() const;
  // The failure; nullopt while running and after a transfer that succeeded.
  std::optional<platform::Error> error() const;
  // The whole body collected in memory, set when the transfer succeeded
  // with the default (memory) output stream; an empty body is empty bytes.
  std::optional<platform::Bytes> responseData() const;
  // A slot for the caller; the operation never fills it.
  platform::Json responseObject() const;
  void setResponseObject(platform::Json object);
  // Body bytes received so far.
  std::int64_t totalBytesRead() const;

  // Where the body goes: made on first use as a memory stream. A new stream
  // closes the one it replaces; set it before the start.
  std::shared_ptr<platform::OutputStream> outputStream();
  void setOutputStream(std::shared_ptr<platform::OutputStream> stream);

  // Upload progress: bytes written now, written so far, the body's length.
  void setSendDataBlock(ProgressBlock block);
  // Download progress: bytes received now, totalBytesRead() after them, the
  // reply's announced length (-1: none).
  void setReadDataBlock(ProgressBlock block);
  void setFinishBlock(FinishBlock block);

 protected:
  // A queue's run: start(), then wait until the transfer has ended.
  void main() override;

 private:
  void operationDidStart();
  void cancelConnection();
  void didReceiveResponse(const platform::http::Response& response);
  void didReceiveData(const platform::Bytes& chunk);
  void didSendBodyData(std::int64_t written, std::int64_t total, std::int64_t expected);
  // The one end of a transfer: success (no failure) or failure.
  void endTransfer(std::optional<platform::Error> failure);
  platform::Error cancelledError() const;
  std::shared_ptr<platform::OutputStream> outputStreamLocked();

  const platform::http::Request request_;

  mutable std::recursive_mutex lock_;  // "com.quenby.networking.data.operation.lock"
  std::condition_variable_any ended_;
  State state_ = kStateReady;
  bool ending_ = false;  // the end has begun: later cancels and reports are ignored
  std::optional<platform::http::Response> response_;
  std::optional<platform::Error> error_;
  std::optional<platform::Bytes> responseData_;
  platform::Json responseObject_;
  std::int64_t totalBytesRead_ = 0;
  std::shared_ptr<platform::OutputStream> outputStream_;
  std::shared_ptr<platform::http::Connection> connection_;
  ProgressBlock sendDataBlock_;
  ProgressBlock readDataBlock_;
  FinishBlock finishBlock_;
};

}  // namespace lumora
