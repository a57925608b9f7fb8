// An asynchronous URL connection: start() runs the transfer on a worker
// thread of its own and reports its progress through optional callbacks,
// each posted through the executor given at construction (none: called on
// the worker thread). The executor must run tasks one at a time in the order
// posted and must not block the poster until a task has run.
//
// Every started transfer ends with exactly one of didFinishLoading or
// didFailWithError, unless it is cancelled: once cancel() returns, no
// callback runs any more (cancel() waits for one running on another thread
// to return; called from inside a callback it takes effect when that returns
// and nothing further is delivered). A 4xx or 5xx reply is an ordinary
// response, not a failure; a body longer than the request's maxResponseBytes
// and a request past its deadline are (-1103, -1001), and a body that goes
// to the request's response sink is still reported chunk by chunk.
// Destroying the connection cancels it; the worker thread is joined, or left
// to wind down when the last reference goes on the worker thread itself.
// start() and cancel() may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace platform::http {

class Connection {
 public:
  using Executor = std::function<void(std::function<void()>)>;

  struct Callbacks {
    std::function<void(const Response&)> didReceiveResponse;
    // One chunk of the body, in order.
    std::function<void(const Bytes&)> didReceiveData;
    // Upload progress: bytes written now, written so far, body length.
    std::function<void(std::int64_t, std::int64_t, std::int64_t)> didSendBodyData;
    std::function<void()> didFinishLoading;
    std::function<void(const Error&)> didFailWithError;
  };

  Connection(Request request, Callbacks callbacks, Executor executor = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts the transfer; later calls, and calls after cancel(), do nothing.
  void start();
  // Stops the transfer; see above. Further calls do nothing.
  void cancel();

  const Request& request() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread worker_;
  std::mutex startMutex_;
};

}  // namespace platform::http
