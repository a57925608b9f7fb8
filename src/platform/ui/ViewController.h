// Screens: a view controller owns a view made on first use (loadView, then
// viewDidLoad), hears its appearance (will/did appear and disappear), holds
// child controllers, presents another modally over itself (its view covers
// the window; the completion runs on the main queue once it shows) and is
// dismissed, answers its status bar style and orientations, and has a
// navigation item. A navigation controller keeps a stack of them: push,
// pop, pop to the root; the top one's view fills it below its bar, which
// shows the top one's items, and on a pushed screen without a left item
// the back item that pops it. Each of these changes of the front screen
// lets the interface turn to follow it (Screen::followFrontScreen).
//
// Ownership: a presenting controller owns the one it presents, a parent its
// children, a navigation controller its stack; the ways back are held
// weakly. Controllers must be made with std::make_shared. Threading: main
// thread only (not locked). Failures: presenting while already presenting
// is refused (false), as the platform refuses it; nothing throws.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Image.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"

namespace platform::ui {

class BackBarButton;

class NavigationController;

// A text item, or an image item when `image` is set (then shown instead of
// the title), or a view of the screen's own (`customView`, placed at its
// size at the bar's edge; its own controls take the taps).
struct BarButtonItem {
  BarButtonItem(std::string title, std::function<void()> action, std::optional<Image> image = std::nullopt)
      : title(std::move(title)), action(std::move(action)), image(std::move(image)) {}
  explicit BarButtonItem(std::shared_ptr<View> customView) : customView(std::move(customView)) {}
  std::string title;
  std::function<void()> action;
  std::optional<Image> image;
  std::shared_ptr<View> customView;
  // A disabled item ignores taps.
  bool enabled = true;
};

// `titleView`, when set, is shown at its size in the bar's middle instead
// of the title.
struct NavigationItem {
  std::string title;
  std::optional<BarButtonItem> leftBarButtonItem;
  std::optional<BarButtonItem> rightBarButtonItem;
  std::shared_ptr<View> titleView;
};

class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  ViewController() = default;
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;
  virtual ~ViewController() = default;

  // The view, made (loadView, viewDidLoad) on first use.
  std::shared_ptr<View> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  void loadViewIfNeeded() { view(); }
  void setView(std::shared_ptr<View> view);

  // Life cycle, called by presentation, windows and containers.
  virtual void loadView();
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated) { (void)animated; }
  // The base class's viewDidAppear and viewDidDisappear run the replaceable
  // implementations of ViewControllerAppearance.h.
  virtual void viewDidAppear(bool animated);
  virtual void viewWillDisappear(bool animated) { (void)animated; }
  virtual void viewDidDisappear(bool animated);

  const std::optional<std::string>& title() const { return title_; }
  void setTitle(std::optional<std::string> title) { title_ = std::move(title); }

  virtual StatusBarStyle preferredStatusBarStyle() const { return StatusBarStyle::LightContent; }
  virtual unsigned supportedInterfaceOrientations() const { return kOrientationMaskPortrait; }
  virtual bool shouldAutorotate() const { return false; }
  virtual bool prefersStatusBarHidden() const { return false; }
  // Rotation, as Screen::rotateTo tells it.
  virtual void willRotateToInterfaceOrientation(InterfaceOrientation orientation, double duration) {
    (void)orientation;
    (void)duration;
  }
  virtual void didRotateFromInterfaceOrientation(InterfaceOrientation from) { (void)from; }
  // Runs before the controller's view lays its subviews out.
  virtual void viewWillLayoutSubviews() {}
  // Whether a navigation controller lays this screen's view under its
  // (translucent) bar, over the whole container, rather than below it.
  virtual bool extendsUnderNavigationBar() const { return false; }

  // Presents `controller` over this one; false (nothing changes) when this
  // one already presents another or `controller` is shown elsewhere.
  bool presentViewController(const std::shared_ptr<ViewController>& controller, bool animated,
                             std::function<void()> completion = {});
  // Dismisses what this controller presents; when it presents nothing, asks
  // the controller that presents it (or its navigation controller) to
  // dismiss it. False when there is nothing to dismiss.
  bool dismissViewController(bool animated, std::function<void()> completion = {});

  std::shared_ptr<ViewController> presentedViewController() const { return presented_; }
  std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }
  std::shared_ptr<NavigationController> navigationController() const;

  // Children: the parent only keeps them; the caller places their views.
  void addChildViewController(const std::shared_ptr<ViewController>& child);
  // A container runs its child's whole appearance (will and did) as it
  // appears or disappears itself.
  void beginAppearanceTransition(bool appearing, bool animated) { appearing ? appear(animated) : disappear(animated); }
  void removeFromParentViewController();
  const std::vector<std::shared_ptr<ViewController>>& childViewControllers() const { return children_; }
  std::shared_ptr<ViewController> parentViewController() const { return parent_.lock(); }

  NavigationItem& navigationItem() { return navigationItem_; }
  // Runs the left bar button's action, as a tap does; false without one
  // (or while it is disabled).
  bool tapLeftBarButton();
  bool tapRightBarButton();
  // Enables or disables the right item; the bar shows the change.
  void setRightBarButtonItemEnabled(bool enabled);

  // Whether the controller is on screen (presented or a window's root, or
  // in such a container).
  bool isVisible() const { return visible_; }
  // Marks a controller as a window's root screen (shown without
  // presentation).
  void becomeVisibleAsRoot();

  // Named views of a storyboard scene (its outlets), for the scene registry.
  const std::map<std::string, std::shared_ptr<View>>& outlets() const { return outlets_; }

 protected:
  virtual void appear(bool animated);
  virtual void disappear(bool animated);
  void setOutlet(const std::string& name, std::shared_ptr<View> view) { outlets_[name] = std::move(view); }

 private:
  friend class NavigationController;

  std::shared_ptr<View> view_;
  std::shared_ptr<ViewController> presented_;
  std::weak_ptr<ViewController> presenting_;
  std::weak_ptr<ViewController> parent_;
  std::weak_ptr<NavigationController> navigation_;
  std::vector<std::shared_ptr<ViewController>> children_;
  std::map<std::string, std::shared_ptr<View>> outlets_;
  NavigationItem navigationItem_;
  std::optional<std::string> title_;
  bool visible_ = false;
};

class NavigationController : public ViewController {
 public:
  static constexpr double kBarHeight = 64;
  static constexpr double kLandscapeBarHeight = 32;

  // A navigation controller around `root`.
  static std::shared_ptr<NavigationController> withRoot(std::shared_ptr<ViewController> root);
  std::shared_ptr<ViewController> rootViewController() const;
  std::shared_ptr<ViewController> topViewController() const;
  const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return stack_; }

  void pushViewController(const std::shared_ptr<ViewController>& controller, bool animated);
  std::shared_ptr<ViewController> popViewController(bool animated);
  void popToRootViewController(bool animated);
  // Pops the screens above `controller` (nothing when it is not stacked).
  void popToViewController(const std::shared_ptr<ViewController>& controller, bool animated);

  bool isNavigationBarHidden() const { return barHidden_; }
  void setNavigationBarHidden(bool hidden);
  // The bar's look: an image stretched over the whole bar (nullopt: the
  // plain grey), and one drawn along its lower edge at its own height.
  const std::optional<Image>& barBackgroundImage() const { return barBackground_; }
  void setBarBackgroundImage(std::optional<Image> image);
  const std::optional<Image>& barShadowImage() const { return barShadow_; }
  void setBarShadowImage(std::optional<Image> image);
  // The colour of the bar's items (their titles), from the next time the
  // bar shows them (a screen sets it as it loads); "1c65c5" when made.
  const Color& tintColor() const { return tint_; }
  void setTintColor(const Color& color);
  // The bar's view (made with the controller's view).
  const std::shared_ptr<View>& navigationBar() const { return bar_; }
  // The top screen changed its navigation item: the bar shows it again.
  void reloadNavigationBar() {
    if (isViewLoaded()) showTop();
  }

  // With its bar shown, the bar's default style (dark text over the light
  // bar); with the bar hidden, the top screen's.
  StatusBarStyle preferredStatusBarStyle() const override;
  bool prefersStatusBarHidden() const override;
  void viewDidLoad() override;
  void viewWillLayoutSubviews() override;

 protected:
  void appear(bool animated) override;
  void disappear(bool animated) override;

 private:
  void showTop();
  // Pops the top screen; the caller lets the interface follow.
  std::shared_ptr<ViewController> popTop(bool animated);
  std::shared_ptr<BackBarButton> addBackButton(double y, double height);
  std::vector<std::shared_ptr<ViewController>> stack_;
  std::shared_ptr<View> bar_;
  std::optional<Image> barBackground_;
  std::optional<Image> barShadow_;
  Size laidOutSize_;
  bool barHidden_ = false;
  Color tint_ = colorWithHexString("1c65c5");
};

}  // namespace platform::ui
