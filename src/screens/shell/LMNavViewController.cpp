#include "screens/shell/LMNavViewController.h"

namespace lumora {

std::shared_ptr<LMNavViewController> LMNavViewController::withRoot(
    std::shared_ptr<platform::ui::ViewController> root) {
  auto navigation = std::make_shared<LMNavViewController>();
  navigation->pushViewController(root, false);
  return navigation;
}

bool LMNavViewController::shouldAutorotate() const {
  auto top = topViewController();
  return top ? top->shouldAutorotate() : NavigationController::shouldAutorotate();
}

platform::ui::StatusBarStyle LMNavViewController::preferredStatusBarStyle() const {
  auto top = topViewController();
  return top ? top->preferredStatusBarStyle() : NavigationController::preferredStatusBarStyle();
}

unsigned LMNavViewController::supportedInterfaceOrientations() const {
  auto top = topViewController();
  return top ? top->supportedInterfaceOrientations() : NavigationController::supportedInterfaceOrientations();
}

}  // namespace lumora
