// Reports every view controller that appears or disappears to a delegate
// (the analytics controller), by installing hooks in place of the view
// controller base class's viewDidAppear and viewDidDisappear (see
// platform/ui/ViewControllerAppearance.h). A hook first runs what it
// replaced, then reports the receiver unless its exact class is on the
// black list (subclasses of a listed class are still reported). A subclass
// that overrides the method without calling the base class is not seen.
//
// Ownership: sharedInstance() holds one object until disposeSharedInstance();
// the delegate is held weakly. Installing keeps the replaced
// implementations in two process-wide slots; stopping (or destroying a
// tracking object) puts them back.
// Threading: the shared slot is locked; tracking, black list and delegate
// are used on the main thread, where the hooks run.
// Failure: none; without delegate nothing is reported.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <typeindex>

#include "platform/ui/ViewController.h"
#include "platform/ui/ViewControllerAppearance.h"

namespace lumora {

class BBXAnalyticsViewControllerTrackingController;

class BBXAnalyticsViewControllerTrackingDelegate {
 public:
  virtual ~BBXAnalyticsViewControllerTrackingDelegate() = default;
  virtual void viewControllerTrackingControllerDidDetectAppearanceOfViewController(
      BBXAnalyticsViewControllerTrackingController& controller, platform::ui::ViewController& viewController) = 0;
  virtual void viewControllerTrackingControllerDidDetectDisappearanceOfViewController(
      BBXAnalyticsViewControllerTrackingController& controller, platform::ui::ViewController& viewController) = 0;
};

class BBXAnalyticsViewControllerTrackingController {
 public:
  static std::shared_ptr<BBXAnalyticsViewControllerTrackingController> sharedInstance();
  static void disposeSharedInstance();

  BBXAnalyticsViewControllerTrackingController() = default;
  ~BBXAnalyticsViewControllerTrackingController();
  BBXAnalyticsViewControllerTrackingController(const BBXAnalyticsViewControllerTrackingController&) = delete;
  BBXAnalyticsViewControllerTrackingController& operator=(const BBXAnalyticsViewControllerTrackingController&) =
      delete;

  // Installs the hooks once.
  void startTracking() { setUpUIViewControllerSwizzle(); }
  void setUpUIViewControllerSwizzle();
  // Puts the replaced implementations back.
  void cleanUpUIViewControllerSwizzle();
  bool isTracking() const { return isTracking_; }

  void addBlackListViewControllerClass(std::type_index viewControllerClass);
  void removeBlackListViewControllerClass(std::type_index viewControllerClass);
  bool isBlacklistedViewControllerClass(std::type_index viewControllerClass) const;
  bool shouldLogViewController(const platform::ui::ViewController& viewController) const;

  // Installs `implementation` for `method`, storing the replaced one in
  // `oldImplementation` when given; whether there was one.
  static bool replaceMethodImplementationForClass(platform::ui::AppearanceMethod method,
                                                  platform::ui::AppearanceImplementation implementation,
                                                  platform::ui::AppearanceImplementation* oldImplementation);

  std::shared_ptr<BBXAnalyticsViewControllerTrackingDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<BBXAnalyticsViewControllerTrackingDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

 private:
  static void appearanceHook(platform::ui::ViewController& receiver, bool animated);
  static void disappearanceHook(platform::ui::ViewController& receiver, bool animated);

  bool isTracking_ = false;
  std::weak_ptr<BBXAnalyticsViewControllerTrackingDelegate> delegate_;
  std::set<std::type_index> blackListViewControllerClasses_;
};

}  // namespace lumora
