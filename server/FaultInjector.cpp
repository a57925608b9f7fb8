#include "server/FaultInjector.h"

#include <algorithm>

namespace localcloud {

void FaultInjector::set(const std::string& path, Fault fault) {
  std::lock_guard lock(mutex_);
  if (fault.times == 0) {
    faults_.erase(path);
    return;
  }
  fault.delayMs = std::clamp(fault.delayMs, 0, static_cast<int>(kMaxDelay.count()));
  faults_[path] = fault;
}

void FaultInjector::clear(const std::string& path) {
  std::lock_guard lock(mutex_);
  faults_.erase(path);
}

void FaultInjector::clearAll() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::optional<Fault> FaultInjector::take(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = faults_.find(path);
  if (it == faults_.end()) return std::nullopt;
  Fault fault = it->second;
  if (it->second.times > 0 && --it->second.times == 0) faults_.erase(it);
  return fault;
}

bool FaultInjector::wait(const Fault& fault) {
  auto delay = std::min(std::chrono::milliseconds(std::max(fault.delayMs, 0)), kMaxDelay);
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, delay, [this] { return cancelled_; });
}

void FaultInjector::cancelAll() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  wake_.notify_all();
}

void FaultInjector::reset() {
  std::lock_guard lock(mutex_);
  cancelled_ = false;
}

}  // namespace localcloud
