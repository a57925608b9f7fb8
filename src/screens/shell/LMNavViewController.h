// The navigation controller at the root of the app's screens: its top
// screen decides the status bar style and the rotation.
//
// Ownership and threading as any view controller (main thread).
#pragma once

#include <memory>

#include "platform/ui/ViewController.h"

namespace lumora {

class LMNavViewController : public platform::ui::NavigationController {
 public:
  static std::shared_ptr<LMNavViewController> withRoot(std::shared_ptr<platform::ui::ViewController> root);

  bool shouldAutorotate() const override;
  unsigned supportedInterfaceOrientations() const override;
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override;
};

}  // namespace lumora
