#include "harbor/analytics/BBXAnalyticsViewControllerTrackingController.h"

#include <atomic>
#include <typeinfo>

namespace lumora {
namespace {

// What the hooks replaced; kept after tracking stops, as the hooks of a
// later start replace the same implementations again.
std::atomic<platform::ui::AppearanceImplementation> gPreviousDidAppear{nullptr};
std::atomic<platform::ui::AppearanceImplementation> gPreviousDidDisappear{nullptr};

std::mutex& trackingSharedMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<BBXAnalyticsViewControllerTrackingController>& trackingSharedSlot() {
  static auto& shared = *new std::shared_ptr<BBXAnalyticsViewControllerTrackingController>();
  return shared;
}

}  // namespace

std::shared_ptr<BBXAnalyticsViewControllerTrackingController>
BBXAnalyticsViewControllerTrackingController::sharedInstance() {
  std::lock_guard<std::mutex> guard(trackingSharedMutex());
  auto& shared = trackingSharedSlot();
  if (!shared) shared = std::make_shared<BBXAnalyticsViewControllerTrackingController>();
  return shared;
}

void BBXAnalyticsViewControllerTrackingController::disposeSharedInstance() {
  std::shared_ptr<BBXAnalyticsViewControllerTrackingController> released;
  {
    std::lock_guard<std::mutex> guard(trackingSharedMutex());
    released.swap(trackingSharedSlot());
  }
}

BBXAnalyticsViewControllerTrackingController::~BBXAnalyticsViewControllerTrackingController() {
  cleanUpUIViewControllerSwizzle();
}

void BBXAnalyticsViewControllerTrackingController::setUpUIViewControllerSwizzle() {
  if (isTracking_) return;
  isTracking_ = true;
  // A hook that another tracking object installed is not kept as the
  // implementation to call: it would call itself for ever.
  platform::ui::AppearanceImplementation previous = nullptr;
  if (replaceMethodImplementationForClass(platform::ui::AppearanceMethod::ViewDidAppear, &appearanceHook, &previous) &&
      previous != &appearanceHook) {
    gPreviousDidAppear = previous;
  }
  previous = nullptr;
  if (replaceMethodImplementationForClass(platform::ui::AppearanceMethod::ViewDidDisappear, &disappearanceHook,
                                          &previous) &&
      previous != &disappearanceHook) {
    gPreviousDidDisappear = previous;
  }
}

void BBXAnalyticsViewControllerTrackingController::cleanUpUIViewControllerSwizzle() {
  if (!isTracking_) return;
  isTracking_ = false;
  if (auto previous = gPreviousDidAppear.load()) {
    replaceMethodImplementationForClass(platform::ui::AppearanceMethod::ViewDidAppear, previous, nullptr);
  }
  if (auto previous = gPreviousDidDisappear.load()) {
    replaceMethodImplementationForClass(platform::ui::AppearanceMethod::ViewDidDisappear, previous, nullptr);
  }
}

void BBXAnalyticsViewControllerTrackingController::addBlackListViewControllerClass(
    std::type_index viewControllerClass) {
  blackListViewControllerClasses_.insert(viewControllerClass);
}

void BBXAnalyticsViewControllerTrackingController::removeBlackListViewControllerClass(
    std::type_index viewControllerClass) {
  blackListViewControllerClasses_.erase(viewControllerClass);
}

bool BBXAnalyticsViewControllerTrackingController::isBlacklistedViewControllerClass(
    std::type_index viewControllerClass) const {
  return blackListViewControllerClasses_.count(viewControllerClass) != 0;
}

bool BBXAnalyticsViewControllerTrackingController::shouldLogViewController(
    const platform::ui::ViewController& viewController) const {
  return !isBlacklistedViewControllerClass(std::type_index(typeid(viewController)));
}

bool BBXAnalyticsViewControllerTrackingController::replaceMethodImplementationForClass(
    platform::ui::AppearanceMethod method, platform::ui::AppearanceImplementation implementation,
    platform::ui::AppearanceImplementation* oldImplementation) {
  const platform::ui::AppearanceImplementation previous = platform::ui::replaceAppearanceImplementation(method, implementation);
  if (oldImplementation && previous) *oldImplementation = previous;
  return previous != nullptr;
}

void BBXAnalyticsViewControllerTrackingController::appearanceHook(platform::ui::ViewController& receiver, bool animated) {
  if (auto previous = gPreviousDidAppear.load()) previous(receiver, animated);
  auto shared = sharedInstance();
  if (!shared->shouldLogViewController(receiver)) return;
  if (auto delegate = shared->delegate()) {
    delegate->viewControllerTrackingControllerDidDetectAppearanceOfViewController(*shared, receiver);
  }
}

void BBXAnalyticsViewControllerTrackingController::disappearanceHook(platform::ui::ViewController& receiver,
                                                                     bool animated) {
  if (auto previous = gPreviousDidDisappear.load()) previous(receiver, animated);
  auto shared = sharedInstance();
  if (!shared->shouldLogViewController(receiver)) return;
  if (auto delegate = shared->delegate()) {
    delegate->viewControllerTrackingControllerDidDetectDisappearanceOfViewController(*shared, receiver);
  }
}

}  // namespace lumora
