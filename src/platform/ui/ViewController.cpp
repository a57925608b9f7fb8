#include "platform/ui/ViewController.h"

#include "platform/ui/ViewControllerAppearance.h"

namespace platform {

void ViewController::loadViewIfNeeded() {
  if (viewLoaded_) return;
  viewLoaded_ = true;
  viewDidLoad();
}

void ViewController::appear(bool animated) {
  loadViewIfNeeded();
  visible_ = true;
  viewWillAppear(animated);
  viewDidAppear(animated);
}

void ViewController::viewDidAppear(bool animated) {
  appearanceImplementation(AppearanceMethod::ViewDidAppear)(*this, animated);
}

void ViewController::viewDidDisappear(bool animated) {
  appearanceImplementation(AppearanceMethod::ViewDidDisappear)(*this, animated);
}

void ViewController::disappear(bool animated) {
  if (presented_) {
    auto child = std::move(presented_);
    presented_.reset();
    child->presenting_.reset();
    child->disappear(animated);
  }
  visible_ = false;
  viewDidDisappear(animated);
}

void ViewController::becomeVisibleAsRoot() { appear(false); }

bool ViewController::presentViewController(const std::shared_ptr<ViewController>& controller,
                                           bool animated) {
  if (!controller || controller.get() == this || presented_) return false;
  if (controller->presentingViewController() || controller->isVisible()) return false;
  presented_ = controller;
  controller->presenting_ = weak_from_this();
  controller->appear(animated);
  return true;
}

bool ViewController::dismissViewController(bool animated) {
  if (presented_) {
    auto child = presented_;
    presented_.reset();
    child->presenting_.reset();
    child->disappear(animated);
    return true;
  }
  if (auto presenter = presenting_.lock()) return presenter->dismissViewController(animated);
  if (auto navigation = navigation_.lock()) return navigation->dismissViewController(animated);
  return false;
}

bool ViewController::tapLeftBarButton() {
  if (!navigationItem_.leftBarButtonItem || !navigationItem_.leftBarButtonItem->action) return false;
  auto action = navigationItem_.leftBarButtonItem->action;  // the action may replace the item
  action();
  return true;
}

std::shared_ptr<NavigationController> NavigationController::withRoot(
    std::shared_ptr<ViewController> root) {
  auto navigation = std::make_shared<NavigationController>();
  if (root) root->navigation_ = navigation;
  navigation->root_ = std::move(root);
  return navigation;
}

void NavigationController::appear(bool animated) {
  ViewController::appear(animated);
  if (root_) root_->appear(animated);
}

void NavigationController::disappear(bool animated) {
  if (root_) root_->disappear(animated);
  ViewController::disappear(animated);
}

}  // namespace platform
