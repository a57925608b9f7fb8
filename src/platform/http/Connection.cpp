#include "platform/http/Connection.h"

#include <atomic>
#include <mutex>

#include "platform/SignalStack.h"
#include "platform/http/Transfer.h"

namespace platform::http {

struct Connection::State {
  Request request;
  Executor executor;
  std::atomic<bool> cancelled{false};

  // Held while a callback runs, so cancel() from another thread waits for it.
  std::recursive_mutex delivery;
  // Guarded by `delivery`.
  Callbacks callbacks;
  bool stopped = false;  // cancelled, or the final callback has been delivered
  int running = 0;       // callbacks running (on the thread holding `delivery`)

  // Posts `call` for delivery; `final` marks the transfer's last report.
  static void deliver(const std::shared_ptr<State>& state, std::function<void(Callbacks&)> call,
                      bool final) {
    auto task = [state, call = std::move(call), final] {
      Callbacks released;
      {
        std::lock_guard<std::recursive_mutex> guard(state->delivery);
        if (!state->stopped) {
          ++state->running;
          call(state->callbacks);
          --state->running;
          if (final) state->stopped = true;
        }
        if (state->stopped && state->running == 0) released = std::move(state->callbacks);
      }
      // `released` (and whatever its callbacks hold) goes here, outside the lock.
    };
    if (state->executor) state->executor(std::move(task));
    else task();
  }

  // Drops the callbacks once no report can follow, breaking reference cycles
  // through them. Runs on the worker as it ends. When another thread holds
  // the lock (a callback, or cancel()), that thread drops them as it leaves,
  // and waiting here could deadlock with a destructor joining this worker.
  void releaseIfStopped() {
    Callbacks released;
    std::unique_lock<std::recursive_mutex> guard(delivery, std::try_to_lock);
    if (guard.owns_lock() && stopped && running == 0) released = std::move(callbacks);
  }
};

namespace {

class ConnectionSink final : public detail::TransferSink {
 public:
  using Deliver = std::function<void(std::function<void(Connection::Callbacks&)>)>;
  explicit ConnectionSink(Deliver deliver) : deliver_(std::move(deliver)) {}

  void didReceiveResponse(const Response& response) override {
    deliver_([response](Connection::Callbacks& c) {
      if (c.didReceiveResponse) c.didReceiveResponse(response);
    });
  }
  void didReceiveData(const std::uint8_t* data, std::size_t size) override {
    deliver_([chunk = Bytes(data, data + size)](Connection::Callbacks& c) {
      if (c.didReceiveData) c.didReceiveData(chunk);
    });
  }
  void didSendBodyData(std::int64_t written, std::int64_t total, std::int64_t expected) override {
    deliver_([=](Connection::Callbacks& c) {
      if (c.didSendBodyData) c.didSendBodyData(written, total, expected);
    });
  }

 private:
  Deliver deliver_;
};

}  // namespace

Connection::Connection(Request request, Callbacks callbacks, Executor executor)
    : state_(std::make_shared<State>()) {
  state_->request = std::move(request);
  state_->callbacks = std::move(callbacks);
  state_->executor = std::move(executor);
}

Connection::~Connection() {
  cancel();
  std::lock_guard<std::mutex> guard(startMutex_);
  if (!worker_.joinable()) return;
  if (worker_.get_id() == std::this_thread::get_id()) worker_.detach();
  else worker_.join();
}

void Connection::start() {
  std::lock_guard<std::mutex> guard(startMutex_);
  if (worker_.joinable() || state_->cancelled) return;
  worker_ = std::thread([state = state_] {
    installAlternateSignalStack();
    ConnectionSink sink([&state](std::function<void(Callbacks&)> call) {
      if (!state->cancelled) State::deliver(state, std::move(call), false);
    });
    auto loaded = loadRequest(state->request, sink, &state->cancelled);
    if (!state->cancelled) {
      if (!loaded) {
        State::deliver(state, [error = loaded.error()](Callbacks& c) {
          if (c.didFailWithError) c.didFailWithError(error);
        }, true);
      } else {
        State::deliver(state, [](Callbacks& c) {
          if (c.didFinishLoading) c.didFinishLoading();
        }, true);
      }
    }
    state->releaseIfStopped();
  });
}

void Connection::cancel() {
  state_->cancelled = true;
  Callbacks released;
  std::lock_guard<std::recursive_mutex> guard(state_->delivery);
  state_->stopped = true;
  if (state_->running == 0) released = std::move(state_->callbacks);
}

const Request& Connection::request() const { return state_->request; }

}  // namespace platform::http
