#include "platform/device/ReachabilityMonitor.h"

#include <utility>
#include <vector>

#include "platform/device/MeteredNetwork.h"
#include "platform/device/Reachability.h"
#include "platform/dispatch/MainQueue.h"

namespace platform {
namespace {

ReachabilityStatus readNetworkStatus() {
  switch (Reachability::reachabilityForInternetConnection().currentReachabilityStatus()) {
    case NetworkStatus::ReachableViaWiFi:
      return ReachabilityStatus::ReachableViaWiFi;
    case NetworkStatus::ReachableViaWWAN:
      return ReachabilityStatus::ReachableViaWWAN;
    case NetworkStatus::NotReachable:
      break;
  }
  return ReachabilityStatus::NotReachable;
}

}  // namespace

ReachabilityMonitor& ReachabilityMonitor::sharedMonitor() {
  static ReachabilityMonitor* monitor = new ReachabilityMonitor;
  return *monitor;
}

void ReachabilityMonitor::startMonitoring() {
  std::lock_guard life(lifecycle_);
  {
    std::lock_guard lock(mutex_);
    monitoring_ = true;
  }
  if (!watch_) {
    auto changed = [this] { linkChanged(); };
    auto started = startWatch_ ? startWatch_(changed) : LinkWatch::start(changed);
    // Without the kernel's messages the status is still read now and on
    // every refresh().
    if (started.ok()) watch_ = std::move(started).value();
  }
  refresh();
}

void ReachabilityMonitor::stopMonitoring() {
  std::lock_guard life(lifecycle_);
  {
    std::lock_guard lock(mutex_);
    monitoring_ = false;
    status_ = ReachabilityStatus::Unknown;
  }
  watch_.reset();
}

void ReachabilityMonitor::linkChanged() {
  // The connection in use may be another one now, with another mark.
  MeteredNetwork::forgetAnswer();
  refresh();
}

void ReachabilityMonitor::refresh() {
  std::lock_guard reading(reading_);
  {
    std::lock_guard lock(mutex_);
    if (!monitoring_) return;
  }
  update(readNetworkStatus());
}

ReachabilityStatus ReachabilityMonitor::networkReachabilityStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

bool ReachabilityMonitor::isReachable() const { return isReachableViaWWAN() || isReachableViaWiFi(); }
bool ReachabilityMonitor::isReachableViaWWAN() const {
  return networkReachabilityStatus() == ReachabilityStatus::ReachableViaWWAN;
}
bool ReachabilityMonitor::isReachableViaWiFi() const {
  return networkReachabilityStatus() == ReachabilityStatus::ReachableViaWiFi;
}

ReachabilityMonitor::ListenerToken ReachabilityMonitor::addListener(Listener listener) {
  if (!listener) return 0;
  std::lock_guard lock(mutex_);
  const ListenerToken token = nextToken_++;
  listeners_.emplace(token, std::move(listener));
  return token;
}

void ReachabilityMonitor::removeListener(ListenerToken token) {
  std::lock_guard lock(mutex_);
  listeners_.erase(token);
}

void ReachabilityMonitor::setLinkWatchForTesting(LinkWatchStarter start) {
  std::lock_guard life(lifecycle_);
  startWatch_ = std::move(start);
}

void ReachabilityMonitor::resetForTesting() {
  stopMonitoring();
  std::lock_guard life(lifecycle_);
  startWatch_ = nullptr;
  std::lock_guard lock(mutex_);
  listeners_.clear();
}

void ReachabilityMonitor::update(ReachabilityStatus status) {
  std::vector<ListenerToken> tokens;
  {
    std::lock_guard lock(mutex_);
    if (!monitoring_ || status == status_) return;
    status_ = status;
    for (const auto& entry : listeners_) tokens.push_back(entry.first);
  }
  for (ListenerToken token : tokens) {
    MainQueue::main().async([this, token, status] { deliver(token, status); });
  }
}

void ReachabilityMonitor::deliver(ListenerToken token, ReachabilityStatus status) {
  Listener listener;
  {
    std::lock_guard lock(mutex_);
    auto found = listeners_.find(token);
    if (found == listeners_.end()) return;
    listener = found->second;
  }
  listener(status);
}

}  // namespace platform
