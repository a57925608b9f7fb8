// Windows and the screen. A window is the root view of a tree, shown on the
// screen at its level (higher levels in front: normal 0, status bar 1000,
// alert 2000) once made visible; its root controller's view fills it. The
// screen knows the device profile (size in points and scale), the visible
// windows in order, the key window, the status bar and the first responder,
// and routes touches and typing: a touch goes to the front-most window that
// has a view under it, to that view and the gesture recognisers of it and
// its superviews (a control keeps its touches to itself), and the moves and
// the end go where the touch began, except that a control's touch that
// moves past the drag slop in a way an enclosing scroll view can scroll
// becomes that scroll view's drag (the control's touch is cancelled).
//
// Ownership: Screen::main() is process-wide and holds every visible window
// until it is hidden; a window owns its views and its root controller.
// Threading: main thread. Failure: an unknown profile name gives nullopt.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/View.h"

namespace platform::ui {

class ViewController;
class GestureRecognizer;

inline constexpr double kWindowLevelNormal = 0;
inline constexpr double kWindowLevelStatusBar = 1000;
inline constexpr double kWindowLevelAlert = 2000;

inline constexpr double kStatusBarHeight = 20;

// Posted on the default centre once the interface turned (and the windows
// took their new size); no user info.
inline constexpr const char* kInterfaceOrientationDidChangeNotification =
    "UIApplicationDidChangeStatusBarOrientationNotification";

enum class StatusBarStyle { Default = 0, LightContent = 1 };

// The way the interface is turned; a mask bit is 1 << the value.
enum class InterfaceOrientation { Portrait = 1, PortraitUpsideDown = 2, LandscapeRight = 3, LandscapeLeft = 4 };
inline bool isLandscape(InterfaceOrientation o) {
  return o == InterfaceOrientation::LandscapeRight || o == InterfaceOrientation::LandscapeLeft;
}
inline unsigned orientationMaskBit(InterfaceOrientation o) { return 1u << static_cast<unsigned>(o); }

enum InterfaceOrientationMask : unsigned {
  kOrientationMaskPortrait = 1u << 1,
  kOrientationMaskPortraitUpsideDown = 1u << 2,
  kOrientationMaskLandscapeRight = 1u << 3,
  kOrientationMaskLandscapeLeft = 1u << 4,
  kOrientationMaskLandscape = (1u << 3) | (1u << 4),
  kOrientationMaskAll = 30,
  kOrientationMaskAllButUpsideDown = 26,
};

struct DeviceProfile {
  std::string name;  // "375x667"
  Size size;         // points, portrait
  double scale = 2;  // pixels per point

  static const std::vector<DeviceProfile>& all();
  static std::optional<DeviceProfile> named(const std::string& name);
};

class Window : public View {
 public:
  explicit Window(Rect frame = {});

  double windowLevel() const { return level_; }
  void setWindowLevel(double level) { level_ = level; }
  std::shared_ptr<ViewController> rootViewController() const { return root_; }
  // Puts the root's view into the window (filling it) when the window shows.
  void setRootViewController(std::shared_ptr<ViewController> root);

  // Shows the window on the screen and makes it the key window.
  void makeKeyAndVisible();
  // Hiding takes the window off the screen.
  void setHidden(bool hidden) override;
  bool isKeyWindow() const;
  void layoutSubviews() override;

 private:
  void installRootView();
  double level_ = kWindowLevelNormal;
  std::shared_ptr<ViewController> root_;
};

class Screen {
 public:
  static Screen& main();

  const DeviceProfile& profile() const { return profile_; }
  void setProfile(const DeviceProfile& profile) { profile_ = profile; }
  Rect bounds() const { return {0, 0, profile_.size.width, profile_.size.height}; }
  double scale() const { return profile_.scale; }

  // Visible windows, back to front (by level, then by when they showed).
  std::vector<std::shared_ptr<Window>> windows() const;
  std::shared_ptr<Window> keyWindow() const { return key_.lock(); }
  void showWindow(const std::shared_ptr<Window>& window, bool makeKey);
  void hideWindow(const Window& window);
  bool isShowing(const Window& window) const;

  // The status bar: what the key window's front controller asks for.
  StatusBarStyle statusBarStyle() const;

  // The device turns: the screen keeps how it is held, and the interface
  // follows as followFrontScreen() lets it. Returns whether the interface
  // turned to `orientation`.
  bool rotateTo(InterfaceOrientation orientation, double duration = 0.3);
  InterfaceOrientation deviceOrientation() const { return device_; }
  // The interface follows the front screen of the front normal window (a
  // presented one, else a navigation controller's top), as it must after
  // that screen changed (a push, a pop, a presentation, a dismissal, a
  // window shown or hidden): one that rotates and allows the way the device
  // is held gets it; one that does not support the way the interface is
  // turned gets one it supports (the device's, else upright; upright too
  // when it names none). A turn: every controller of that window hears
  // willRotate, the windows take the turned size (the screen's bounds stay
  // portrait), are laid out, and the controllers hear didRotate. Returns
  // whether the interface turned.
  bool followFrontScreen(double duration = 0.3);
  InterfaceOrientation interfaceOrientation() const { return orientation_; }
  // The screen as the interface is turned now (the windows' size).
  Rect interfaceBounds() const;
  // Whether the front screen of the front window at or under the status
  // bar's level hides the status bar (a window above it, as the progress
  // overlay's, leaves it as the screens under have it).
  bool isStatusBarHidden() const;

  // Touch input, location in screen points (windows fill the screen).
  // `timestamp`: when the touch happened, in media time (when it arrives
  // if not given). The taps of a double tap are counted by it, so that the
  // interval between them is the user's, however late one is delivered.
  void sendTouch(TouchPhase phase, Point location, std::optional<double> timestamp = std::nullopt);
  // A press and release at one place.
  void tap(Point location);
  // A mouse wheel or a touchpad's scroll at `location`: the innermost
  // scroll view under it that can move by (dx, dy) points of content
  // offset does; false when none can.
  bool scrollWheel(Point location, double dx, double dy);
  // The view a touch at `location` would go to.
  std::shared_ptr<View> hitTest(Point location) const;

  std::shared_ptr<View> firstResponder() const { return responder_.lock(); }
  void setFirstResponder(std::shared_ptr<View> responder) { responder_ = responder; }
  // Typing and input-method text go to the first responder (a TextField).
  void insertText(const std::string& text);
  void deleteBackward();
  // Tab and Shift-Tab of a hardware keyboard: the next (or previous) text
  // field of the front-most window that shows any, in reading order (top
  // to bottom, then left to right), becomes the first responder, wrapping
  // round; without one in that window, the first (or last). False when no
  // field is shown.
  bool focusNextTextField(bool backwards);

  // No windows, no responder, the 320x480 profile.
  void resetForTesting();

 private:
  Screen();
  bool handDragToScrollView(const std::shared_ptr<View>& control, const Touch& touch);
  void turnInterface(const std::shared_ptr<ViewController>& root, InterfaceOrientation orientation, double duration);
  struct Shown {
    std::shared_ptr<Window> window;
    std::uint64_t order;
  };
  std::vector<Shown> windows_;
  std::uint64_t nextOrder_ = 0;
  std::weak_ptr<Window> key_;
  std::weak_ptr<View> responder_;
  DeviceProfile profile_;
  InterfaceOrientation orientation_ = InterfaceOrientation::Portrait;
  InterfaceOrientation device_ = InterfaceOrientation::Portrait;
  bool turning_ = false;

  // The touch under way.
  std::weak_ptr<View> touched_;
  Point touchStart_;
  std::vector<std::weak_ptr<GestureRecognizer>> recognizers_;
  double lastTapTime_ = -1;
  Point lastTapPoint_;
  int tapCount_ = 0;
};

}  // namespace platform::ui
