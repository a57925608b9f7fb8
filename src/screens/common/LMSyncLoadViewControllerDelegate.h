// What a sync progress screen (contacts or gallery) tells its owner when the
// user leaves it. Both methods are optional: a delegate that leaves a hook
// empty hears nothing of it.
//
// Ownership: screens hold their delegate weakly. Threading: main thread.
#pragma once

#include <functional>

namespace platform::ui {
class ViewController;
}

namespace lumora {

class LMSyncLoadViewControllerDelegate {
 public:
  virtual ~LMSyncLoadViewControllerDelegate() = default;
  // The screen was hidden: the user tapped "完成", the run failed, or it was
  // cancelled.
  std::function<void(platform::ui::ViewController& screen)> didSyncLoadViewControllerCompleted;
  // The user cancelled on the screen (only the gallery's progress screen).
  std::function<void(platform::ui::ViewController& screen)> didSyncLoadViewControllerCancelled;
};

}  // namespace lumora
