#include "platform/dispatch/NotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace platform {

struct NotificationCenter::Observer {
  ObserverToken token = 0;
  std::string name;
  Callback callback;
  std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

ObserverToken NotificationCenter::addObserver(std::string name, Callback callback) {
  if (!callback) return 0;
  auto observer = std::make_shared<Observer>();
  observer->name = std::move(name);
  observer->callback = std::move(callback);
  std::lock_guard<std::mutex> guard(mutex_);
  observer->token = nextToken_++;
  observers_.push_back(observer);
  return observer->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::shared_ptr<Observer> removed;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [token](const auto& observer) { return observer->token == token; });
    if (it == observers_.end()) return;
    removed = std::move(*it);
    observers_.erase(it);
    removed->active.store(false);
  }
  // The callback's captures are released here, outside the lock (or later by
  // a delivery still holding it, never while its callback runs).
}

void NotificationCenter::post(const std::string& name, const Json& userInfo) {
  std::vector<std::shared_ptr<Observer>> targets;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& observer : observers_) {
      if (observer->name == name) targets.push_back(observer);
    }
  }
  for (const auto& observer : targets) {
    if (observer->active.load()) observer->callback(name, userInfo);
  }
}

}  // namespace platform
