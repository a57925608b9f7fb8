// What every screen that pushes the two-step code screen after a 81003
// must do: the screen lands on top of the owner's navigation controller
// and reports to the owner, whose cancel and success both bring the owner
// back on top.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/ui/ViewController.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/common/LMStoryboard.h"

namespace lumora {

// `demand` makes the owner meet a two-step demand; run once to cancel and
// once to succeed.
inline void expectTwoStepScreenReturnsToItsOwner(platform::ui::NavigationController& navigation,
                                                 const std::shared_ptr<platform::ui::ViewController>& owner,
                                                 const std::function<void()>& demand) {
  LMStoryboard::registerScene(LMOTPViewController::kSceneIdentifier, [] { return std::make_shared<LMOTPViewController>(); });
  for (bool success : {false, true}) {
    SCOPED_TRACE(success ? "success" : "cancel");
    demand();
    auto code = std::dynamic_pointer_cast<LMOTPViewController>(navigation.topViewController());
    ASSERT_TRUE(code);
    auto delegate = code->delegate.lock();
    ASSERT_TRUE(delegate && delegate->didSuccessLogin && delegate->didCancelLogin) << "it reports to its owner";
    success ? delegate->didSuccessLogin() : delegate->didCancelLogin();
    EXPECT_EQ(navigation.topViewController(), owner);
  }
}

}  // namespace lumora
