#include "platform/dispatch/Cancellation.h"

#include <utility>

namespace platform {

void Cancellation::cancel() {
  std::map<HookId, Hook> hooks;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (cancelled_.exchange(true)) return;
    hooks.swap(hooks_);
    changed_.notify_all();
  }
  for (auto& [id, hook] : hooks) {
    if (hook) hook();
  }
}

Cancellation::HookId Cancellation::onCancel(Hook hook) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!cancelled_.load()) {
      HookId id = nextId_++;
      hooks_.emplace(id, std::move(hook));
      return id;
    }
  }
  if (hook) hook();
  return 0;
}

void Cancellation::removeHook(HookId id) {
  Hook released;
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = hooks_.find(id);
  if (it == hooks_.end()) return;
  released = std::move(it->second);
  hooks_.erase(it);
}

bool Cancellation::waitFor(Clock::Duration duration) {
  auto clock = Clock::current();
  std::unique_lock<std::mutex> lock(mutex_);
  return clock->sleepFor(lock, changed_, duration, [this] { return cancelled_.load(); });
}

}  // namespace platform
