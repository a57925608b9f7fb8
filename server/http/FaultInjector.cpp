#include "server/http/FaultInjector.h"

#include <algorithm>

namespace localcloud {

nlohmann::json faultReply(const Fault& fault, const std::string& target,
                          const std::string& descKey) {
  nlohmann::json body{{"code", fault.replyCode()}, {descKey, "injected fault"}};
  nlohmann::json data = nlohmann::json::object();
  if (!fault.redirectUrl.empty()) {
    data["redirectUrl"] = redirectTarget(fault.redirectUrl, target);
    if (fault.permanent) data["isPermanent"] = true;
  }
  if (fault.retryAfter >= 0) data["retryAfter"] = fault.retryAfter;
  if (fault.data.is_object()) {
    for (const auto& [name, value] : fault.data.items()) data[name] = value;
  }
  if (!data.empty()) body["data"] = std::move(data);
  return body;
}

std::string redirectTarget(const std::string& url, const std::string& target) {
  std::string completed = url;
  std::size_t scheme = completed.find("://");
  std::size_t slash = completed.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  if (slash == std::string::npos || slash + 1 == completed.size()) {
    if (slash != std::string::npos) completed.pop_back();
    completed += target;
  }
  return completed;
}

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
  if (it->second.skip > 0) {
    --it->second.skip;
    return std::nullopt;
  }
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
