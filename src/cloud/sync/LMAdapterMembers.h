// What each sync adapter keeps beside the base: its store, made on the first
// read while unset and replaceable, its report delegate, held weakly, and the
// call of an optional delegate hook on the main thread.
//
// Threading: the accessors take one lock and may be called from any thread;
// notifyDelegate blocks its caller until the main thread has run the hook
// (never call it on a thread the main thread waits for). Nothing fails.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "cloud/sync/LMSyncAdapter.h"

namespace lumora {

template <class Context, class Delegate>
class LMAdapterMembers {
 public:
  std::shared_ptr<Context> context() {
    std::lock_guard<std::mutex> guard(memberMutex_);
    if (!context_) context_ = std::make_shared<Context>();
    return context_;
  }
  void setContext(std::shared_ptr<Context> context) {
    std::lock_guard<std::mutex> guard(memberMutex_);
    context_ = std::move(context);
  }
  std::shared_ptr<Delegate> delegate() const {
    std::lock_guard<std::mutex> guard(memberMutex_);
    return delegate_.lock();
  }
  void setDelegate(const std::shared_ptr<Delegate>& delegate) {
    std::lock_guard<std::mutex> guard(memberMutex_);
    delegate_ = delegate;
  }

  // Calls an optional delegate hook on the main thread and waits for it;
  // nothing (no hop) when there is no delegate or it lacks the hook. The
  // delegate is read again on the main thread.
  template <class... Params, class... Args>
  void notifyDelegate(std::function<void(Params...)> Delegate::*hook, Args&&... args) {
    auto target = delegate();
    if (!target || !((*target).*hook)) return;
    LMSyncAdapter::performMainThreadBlock([&] {
      if (auto current = delegate(); current && ((*current).*hook)) ((*current).*hook)(args...);
    });
  }

 protected:
  // Guards these members (and members of the adapter's own).
  mutable std::mutex memberMutex_;

 private:
  std::shared_ptr<Context> context_;
  std::weak_ptr<Delegate> delegate_;
};

}  // namespace lumora
