#include "platform/ui/Window.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/Control.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"

namespace platform::ui {

const std::vector<DeviceProfile>& DeviceProfile::all() {
  static const std::vector<DeviceProfile> profiles = {
      {"320x480", {320, 480}, 2},
      {"320x568", {320, 568}, 2},
      {"375x667", {375, 667}, 2},
      {"414x736", {414, 736}, 3},
  };
  return profiles;
}

std::optional<DeviceProfile> DeviceProfile::named(const std::string& name) {
  for (const auto& profile : all()) {
    if (profile.name == name) return profile;
  }
  return std::nullopt;
}

Window::Window(Rect frame) : View(frame) {}

void Window::setRootViewController(std::shared_ptr<ViewController> root) {
  if (root_ && root_ != root && root_->isViewLoaded()) root_->view()->removeFromSuperview();
  root_ = std::move(root);
  if (!isHidden() && Screen::main().isShowing(*this)) {
    installRootView();
    Screen::main().followFrontScreen();
  }
}

void Window::installRootView() {
  if (!root_) return;
  auto view = root_->view();
  if (view->superview().get() == this) return;
  view->setFrame(bounds());
  insertSubview(view, 0);
  if (!root_->isVisible()) root_->becomeVisibleAsRoot();
}

void Window::makeKeyAndVisible() {
  View::setHidden(false);
  Screen::main().showWindow(std::static_pointer_cast<Window>(shared_from_this()), true);
  installRootView();
  Screen::main().followFrontScreen();
}

void Window::setHidden(bool hidden) {
  View::setHidden(hidden);
  if (!hidden) return;
  const bool shown = Screen::main().isShowing(*this);
  Screen::main().hideWindow(*this);
  if (shown) Screen::main().followFrontScreen();
}

bool Window::isKeyWindow() const { return Screen::main().keyWindow().get() == this; }

void Window::layoutSubviews() {
  if (root_ && root_->isViewLoaded() && root_->view()->superview().get() == this) root_->view()->setFrame(bounds());
}

Screen& Screen::main() {
  static Screen* screen = new Screen();
  return *screen;
}

Screen::Screen() : profile_(DeviceProfile::all().front()) {}

std::vector<std::shared_ptr<Window>> Screen::windows() const {
  auto shown = windows_;
  std::stable_sort(shown.begin(), shown.end(), [](const Shown& a, const Shown& b) {
    if (a.window->windowLevel() != b.window->windowLevel()) return a.window->windowLevel() < b.window->windowLevel();
    return a.order < b.order;
  });
  std::vector<std::shared_ptr<Window>> out;
  for (auto& s : shown) out.push_back(s.window);
  return out;
}

void Screen::showWindow(const std::shared_ptr<Window>& window, bool makeKey) {
  auto found = std::find_if(windows_.begin(), windows_.end(), [&](const Shown& s) { return s.window == window; });
  if (found == windows_.end()) windows_.push_back({window, nextOrder_++});
  if (makeKey) key_ = window;
}

bool Screen::isShowing(const Window& window) const {
  return std::any_of(windows_.begin(), windows_.end(), [&](const Shown& s) { return s.window.get() == &window; });
}

void Screen::hideWindow(const Window& window) {
  std::shared_ptr<Window> keep;
  std::erase_if(windows_, [&](const Shown& s) {
    if (s.window.get() != &window) return false;
    keep = s.window;
    return true;
  });
  if (key_.lock().get() == &window) {
    key_.reset();
    // The front-most normal window becomes key again.
    auto rest = windows();
    if (!rest.empty()) key_ = rest.back();
  }
}

namespace {

// A screen presented by `controller` or by a screen inside it (a child, or
// a navigation controller's top): a page of a container presents its login.
std::shared_ptr<ViewController> presentedWithin(const ViewController& controller) {
  if (auto presented = controller.presentedViewController()) return presented;
  auto inner = controller.childViewControllers();
  if (auto navigation = dynamic_cast<const NavigationController*>(&controller)) {
    if (auto top = navigation->topViewController()) inner.push_back(top);
  }
  for (const auto& child : inner) {
    if (auto presented = presentedWithin(*child)) return presented;
  }
  return nullptr;
}

}  // namespace

// The last screen presented in the front window with a root, which decides
// (a navigation controller by its own rule).
StatusBarStyle Screen::statusBarStyle() const {
  auto all = windows();
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    auto front = (*it)->rootViewController();
    if (!front) continue;
    while (auto presented = presentedWithin(*front)) front = presented;
    return front->preferredStatusBarStyle();
  }
  return StatusBarStyle::Default;
}

namespace {

// The screen in front within `root`: the last one presented, or the top of a
// navigation controller.
std::shared_ptr<ViewController> frontController(std::shared_ptr<ViewController> front) {
  for (;;) {
    if (auto presented = presentedWithin(*front)) {
      front = presented;
    } else if (auto navigation = std::dynamic_pointer_cast<NavigationController>(front);
               navigation && navigation->topViewController()) {
      front = navigation->topViewController();
    } else {
      return front;
    }
  }
}

// Every controller of a tree: children, presented ones, navigation stacks.
void collectControllers(const std::shared_ptr<ViewController>& controller,
                        std::vector<std::shared_ptr<ViewController>>& out) {
  if (!controller || std::find(out.begin(), out.end(), controller) != out.end()) return;
  out.push_back(controller);
  for (const auto& child : controller->childViewControllers()) collectControllers(child, out);
  if (auto navigation = std::dynamic_pointer_cast<NavigationController>(controller)) {
    for (const auto& stacked : navigation->viewControllers()) collectControllers(stacked, out);
  }
  collectControllers(controller->presentedViewController(), out);
}

}  // namespace

Rect Screen::interfaceBounds() const {
  Rect b = bounds();
  if (isLandscape(orientation_)) std::swap(b.width, b.height);
  return b;
}

// A window above the status bar's level (the progress overlay's) lies over
// the status bar and does not decide whether it shows: the screens under it
// keep it as they have it, shown or hidden.
bool Screen::isStatusBarHidden() const {
  auto all = windows();
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if ((*it)->windowLevel() > kWindowLevelStatusBar) continue;
    if (auto root = (*it)->rootViewController()) return frontController(root)->prefersStatusBarHidden();
  }
  return false;
}

bool Screen::rotateTo(InterfaceOrientation orientation, double duration) {
  device_ = orientation;
  return followFrontScreen(duration) && orientation_ == orientation;
}

bool Screen::followFrontScreen(double duration) {
  if (turning_) return false;
  std::shared_ptr<ViewController> root;
  auto all = windows();
  for (auto it = all.rbegin(); it != all.rend() && !root; ++it) {
    if ((*it)->windowLevel() == kWindowLevelNormal) root = (*it)->rootViewController();
  }
  if (!root) return false;
  const auto front = frontController(root);
  const unsigned mask = front->supportedInterfaceOrientations();
  const auto allows = [mask](InterfaceOrientation o) { return (mask & orientationMaskBit(o)) != 0; };
  InterfaceOrientation target = orientation_;
  if (front->shouldAutorotate() && allows(device_)) {
    target = device_;
  } else if (!allows(orientation_)) {
    // The first this screen supports, the way the device is held first.
    target = InterfaceOrientation::Portrait;
    for (auto o : {device_, InterfaceOrientation::Portrait, InterfaceOrientation::LandscapeLeft,
                   InterfaceOrientation::LandscapeRight, InterfaceOrientation::PortraitUpsideDown}) {
      if (allows(o)) {
        target = o;
        break;
      }
    }
  }
  if (target == orientation_) return false;
  turning_ = true;
  turnInterface(root, target, duration);
  turning_ = false;
  return true;
}

void Screen::turnInterface(const std::shared_ptr<ViewController>& root, InterfaceOrientation orientation,
                           double duration) {
  std::vector<std::shared_ptr<ViewController>> controllers;
  collectControllers(root, controllers);
  for (const auto& controller : controllers) controller->willRotateToInterfaceOrientation(orientation, duration);
  const InterfaceOrientation from = orientation_;
  orientation_ = orientation;
  const Rect turned = interfaceBounds();
  for (const auto& window : windows()) {
    const Rect old = window->bounds();
    window->setFrame({window->frame().x, window->frame().y, turned.width, turned.height});
    // Views that filled the window (screens, presented ones) fill it again.
    for (const auto& view : window->subviews()) {
      if (view->frame() == Rect{0, 0, old.width, old.height}) view->setFrame(window->bounds());
    }
    window->setNeedsLayout();
    window->layoutIfNeeded();
  }
  for (const auto& controller : controllers) controller->didRotateFromInterfaceOrientation(from);
  NotificationCenter::defaultCenter().post(kInterfaceOrientationDidChangeNotification);
}

std::shared_ptr<View> Screen::hitTest(Point location) const {
  auto all = windows();
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    auto& window = *it;
    window->layoutIfNeeded();
    Rect f = window->frame();
    if (auto hit = window->hitTest({location.x - f.x, location.y - f.y})) return hit;
  }
  return nullptr;
}

void Screen::sendTouch(TouchPhase phase, Point location, std::optional<double> timestamp) {
  Touch touch{phase, location, 1};
  const double when = timestamp.value_or(mediaTime());
  if (phase == TouchPhase::Began) {
    bool near = std::hypot(location.x - lastTapPoint_.x, location.y - lastTapPoint_.y) < 20;
    tapCount_ = (lastTapTime_ >= 0 && when - lastTapTime_ <= TapGestureRecognizer::kMultiTapInterval && near)
                    ? tapCount_ + 1
                    : 1;
    touch.tapCount = tapCount_;
    auto hit = hitTest(location);
    touched_ = hit;
    touchStart_ = location;
    recognizers_.clear();
    if (!hit) return;
    // A control keeps its touches from the recognisers of the views around
    // it, not from those attached to the control itself.
    const bool control = dynamic_cast<Control*>(hit.get()) != nullptr;
    for (auto v = hit; v && (!control || v == hit); v = v->superview()) {
      for (auto& r : v->gestureRecognizers()) {
        if (r->isEnabled()) recognizers_.push_back(r);
      }
    }
    if (responder_.lock() && responder_.lock() != hit) responder_.reset();
    hit->touchesBegan(touch);
    for (auto& weak : recognizers_) {
      if (auto r = weak.lock()) r->touchBegan(touch);
    }
    return;
  }
  touch.tapCount = tapCount_;
  auto target = touched_.lock();
  auto recognizers = recognizers_;
  if (phase == TouchPhase::Ended || phase == TouchPhase::Cancelled) {
    touched_.reset();
    recognizers_.clear();
    lastTapTime_ = when;
    lastTapPoint_ = location;
  }
  if (!target) return;
  switch (phase) {
    case TouchPhase::Moved:
      if (handDragToScrollView(target, touch)) break;
      target->touchesMoved(touch);
      for (auto& weak : recognizers) {
        if (auto r = weak.lock()) r->touchMoved(touch);
      }
      break;
    case TouchPhase::Ended:
      target->touchesEnded(touch);
      for (auto& weak : recognizers) {
        if (auto r = weak.lock()) r->touchEnded(touch);
      }
      break;
    default:
      target->touchesCancelled(touch);
      break;
  }
}

bool Screen::handDragToScrollView(const std::shared_ptr<View>& control, const Touch& touch) {
  if (!dynamic_cast<Control*>(control.get())) return false;
  const double dx = touch.location.x - touchStart_.x;
  const double dy = touch.location.y - touchStart_.y;
  if (std::hypot(dx, dy) < ScrollView::kDragSlop) return false;
  for (auto v = control->superview(); v; v = v->superview()) {
    auto scroll = std::dynamic_pointer_cast<ScrollView>(v);
    if (!scroll || !scroll->canScrollBy(dx, dy)) continue;
    control->touchesCancelled(touch);
    for (auto& weak : recognizers_) {
      if (auto r = weak.lock()) r->touchCancelled(touch);
    }
    recognizers_.clear();
    touched_ = scroll;
    Touch began = touch;
    began.phase = TouchPhase::Began;
    began.location = touchStart_;
    scroll->touchesBegan(began);
    scroll->touchesMoved(touch);
    return true;
  }
  return false;
}

void Screen::tap(Point location) {
  sendTouch(TouchPhase::Began, location);
  sendTouch(TouchPhase::Ended, location);
}

bool Screen::scrollWheel(Point location, double dx, double dy) {
  for (auto v = hitTest(location); v; v = v->superview()) {
    auto scroll = std::dynamic_pointer_cast<ScrollView>(v);
    if (scroll && scroll->scrollBy(dx, dy)) return true;
  }
  return false;
}

void Screen::insertText(const std::string& text) {
  if (auto field = std::dynamic_pointer_cast<TextField>(responder_.lock())) field->insertText(text);
}

void Screen::deleteBackward() {
  if (auto field = std::dynamic_pointer_cast<TextField>(responder_.lock())) field->deleteBackward();
}

namespace {
// The text fields a user sees in `view`'s tree (shown, enabled), with
// their places in the window.
void collectTextFields(const std::shared_ptr<View>& view,
                       std::vector<std::pair<Point, std::shared_ptr<TextField>>>& out) {
  if (view->isHidden() || view->alpha() <= 0) return;
  // Nothing of a view folded to no room shows (a row 0 points high).
  if (!dynamic_cast<Window*>(view.get()) && (view->frame().width <= 0 || view->frame().height <= 0)) return;
  if (auto field = std::dynamic_pointer_cast<TextField>(view); field && field->isEnabled()) {
    out.emplace_back(field->convertPointToView({0, 0}, nullptr), field);
  }
  for (const auto& child : view->subviews()) collectTextFields(child, out);
}
}  // namespace

bool Screen::focusNextTextField(bool backwards) {
  auto all = windows();
  std::vector<std::pair<Point, std::shared_ptr<TextField>>> fields;
  for (auto it = all.rbegin(); it != all.rend() && fields.empty(); ++it) {
    (*it)->layoutIfNeeded();
    collectTextFields(*it, fields);
  }
  if (fields.empty()) return false;
  std::stable_sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) {
    return a.first.y != b.first.y ? a.first.y < b.first.y : a.first.x < b.first.x;
  });
  const auto current = responder_.lock();
  const auto at = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.second == current; });
  const auto n = static_cast<std::ptrdiff_t>(fields.size());
  std::ptrdiff_t next = 0;
  if (at == fields.end()) {
    next = backwards ? n - 1 : 0;
  } else {
    next = ((at - fields.begin()) + (backwards ? n - 1 : 1)) % n;
  }
  return fields[static_cast<std::size_t>(next)].second->becomeFirstResponder();
}

void Screen::resetForTesting() {
  windows_.clear();
  key_.reset();
  responder_.reset();
  touched_.reset();
  recognizers_.clear();
  lastTapTime_ = -1;
  tapCount_ = 0;
  profile_ = DeviceProfile::all().front();
  orientation_ = InterfaceOrientation::Portrait;
  device_ = InterfaceOrientation::Portrait;
  turning_ = false;
}

}  // namespace platform::ui
