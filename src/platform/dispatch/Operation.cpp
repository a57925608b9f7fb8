#include "platform/dispatch/Operation.h"

namespace platform {

Operation::Operation(Body body) : body_(std::move(body)) {}

void Operation::cancel() { cancelled_.store(true); }

bool Operation::isExecuting() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return state_ == State::Executing;
}

bool Operation::isFinished() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return state_ == State::Finished;
}

void Operation::waitUntilFinished() const {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return state_ == State::Finished; });
}

void Operation::main() {
  if (body_) body_(*this);
}

bool Operation::claim() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (claimed_ || state_ != State::Ready) return false;
  claimed_ = true;
  return true;
}

void Operation::start() {
  bool run = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (state_ != State::Ready) return;
    run = !isCancelled();
    if (run) state_ = State::Executing;
  }
  if (run) main();
  finish();
}

void Operation::finish() {
  std::lock_guard<std::mutex> guard(mutex_);
  state_ = State::Finished;
  finished_.notify_all();
}

}  // namespace platform
