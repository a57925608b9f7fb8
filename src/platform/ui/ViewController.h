// Headless stand-ins for the phone's screens: a view controller that can
// present another modally and be dismissed, with the life-cycle hooks a
// screen overrides, a navigation item with a left bar button that a test
// can tap, and a navigation controller that wraps one root screen.
//
// Ownership: a presenting controller owns the one it presents; the way back
// (presenting controller, navigation controller) is held weakly. Controllers
// must be made with std::make_shared. Threading: main thread only (not
// locked). Failures: presenting while already presenting is refused (false),
// as the platform refuses it; nothing throws.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class NavigationController;

struct BarButtonItem {
  std::string title;
  std::function<void()> action;
};

struct NavigationItem {
  std::optional<BarButtonItem> leftBarButtonItem;
};

class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  ViewController() = default;
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;
  virtual ~ViewController() = default;

  // Life cycle, called by presentation: viewDidLoad once, before the first
  // viewWillAppear; viewDidAppear after it; viewDidDisappear when dismissed.
  // The base class's viewDidAppear and viewDidDisappear run the replaceable
  // implementations of ViewControllerAppearance.h.
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated) { (void)animated; }
  virtual void viewDidAppear(bool animated);
  virtual void viewDidDisappear(bool animated);

  const std::optional<std::string>& title() const { return title_; }
  void setTitle(std::optional<std::string> title) { title_ = std::move(title); }

  void loadViewIfNeeded();
  bool isViewLoaded() const { return viewLoaded_; }

  // Presents `controller` over this one; false (nothing changes) when this
  // one already presents another or `controller` is shown elsewhere.
  bool presentViewController(const std::shared_ptr<ViewController>& controller, bool animated);
  // Dismisses what this controller presents; when it presents nothing, asks
  // the controller that presents it (or its navigation controller) to
  // dismiss it. False when there is nothing to dismiss.
  bool dismissViewController(bool animated);

  std::shared_ptr<ViewController> presentedViewController() const { return presented_; }
  std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }
  std::shared_ptr<NavigationController> navigationController() const { return navigation_.lock(); }

  NavigationItem& navigationItem() { return navigationItem_; }
  // Runs the left bar button's action, as a tap does; false without one.
  bool tapLeftBarButton();

  // Whether the controller is on screen (presented or a window's root, or
  // the root of such a navigation controller).
  bool isVisible() const { return visible_; }
  // Marks a controller as a window's root screen (shown without
  // presentation).
  void becomeVisibleAsRoot();

 protected:
  virtual void appear(bool animated);
  virtual void disappear(bool animated);

 private:
  friend class NavigationController;

  std::shared_ptr<ViewController> presented_;
  std::weak_ptr<ViewController> presenting_;
  std::weak_ptr<NavigationController> navigation_;
  NavigationItem navigationItem_;
  std::optional<std::string> title_;
  bool viewLoaded_ = false;
  bool visible_ = false;
};

class NavigationController : public ViewController {
 public:
  // A navigation controller around `root`.
  static std::shared_ptr<NavigationController> withRoot(std::shared_ptr<ViewController> root);
  std::shared_ptr<ViewController> rootViewController() const { return root_; }

 protected:
  void appear(bool animated) override;
  void disappear(bool animated) override;

 private:
  std::shared_ptr<ViewController> root_;
};

}  // namespace platform
