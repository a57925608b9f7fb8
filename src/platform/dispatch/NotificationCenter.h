// Named notifications with a JSON user-info, delivered synchronously to every
// observer of the name, on the posting thread, in the order the observers
// were added.
//
// Ownership: defaultCenter() is process-wide, created on first use and never
// destroyed; other centres are plain objects. The centre owns the callbacks
// until their observers are removed.
// Threading: every member may be called from any thread, including from a
// callback. Removing an observer stops every later call, also the rest of a
// delivery in progress; a call already running on another thread finishes.
// Observers added during a delivery first hear the next post.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace platform {

using ObserverToken = std::uint64_t;

class NotificationCenter {
 public:
  using Callback = std::function<void(const std::string& name, const Json& userInfo)>;

  static NotificationCenter& defaultCenter();

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Returns the token that removes the observer (never 0). An empty callback
  // is not registered and yields 0.
  ObserverToken addObserver(std::string name, Callback callback);
  // Unknown or already removed tokens are ignored.
  void removeObserver(ObserverToken token);
  void post(const std::string& name, const Json& userInfo = nullptr);

 private:
  struct Observer;

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_;
  ObserverToken nextToken_ = 1;
};

}  // namespace platform
