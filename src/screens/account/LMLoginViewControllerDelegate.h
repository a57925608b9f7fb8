// How the sign-in screens (login, phone verification, two-step code) report
// their end. Both hooks are optional: a delegate provides one by assigning
// it and the screens call only hooks that are set. The delegate dismisses
// the login navigation controller in either case.
//
// Ownership: held weakly by the screens. Threading: main thread.
#pragma once

#include <functional>
#include <memory>

namespace lumora {

class LMLoginViewControllerDelegate {
 public:
  virtual ~LMLoginViewControllerDelegate() = default;
  std::function<void()> didSuccessLogin;
  std::function<void()> didCancelLogin;
};

// A screen of the sign-in flow: the next screen it pushes gets its delegate.
class LMLoginDelegateHolder {
 public:
  virtual ~LMLoginDelegateHolder() = default;
  std::weak_ptr<LMLoginViewControllerDelegate> delegate;

 protected:
  void reportSuccess() const {
    auto target = delegate.lock();
    if (target && target->didSuccessLogin) target->didSuccessLogin();
  }
  void reportCancel() const {
    auto target = delegate.lock();
    if (target && target->didCancelLogin) target->didCancelLogin();
  }
};

}  // namespace lumora
