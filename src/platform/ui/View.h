// Headless stand-ins for the phone's views and windows: a tree of views with
// a frame and a transform (rotation and scale), nothing drawn. Screens and
// overlays that the account SDK lays over the window (the authorisation
// dialog) use them so tests can see what is shown where.
//
// Ownership: a view owns its subviews; the superview is held weakly.
// Threading: main thread only (not locked). Nothing here fails.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class ViewController;

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A rotation (radians) and a uniform scale, applied about the view's centre.
struct Transform {
  double rotation = 0;
  double scale = 1;
  static Transform identity() { return {}; }
  static Transform rotated(double radians) { return {radians, 1}; }
  Transform scaled(double by) const { return {rotation, scale * by}; }
  friend bool operator==(const Transform&, const Transform&) = default;
};

class View : public std::enable_shared_from_this<View> {
 public:
  View() = default;
  explicit View(Rect frame) : frame_(frame) {}
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  virtual ~View() = default;

  const Rect& frame() const { return frame_; }
  void setFrame(const Rect& frame) { frame_ = frame; }
  const Transform& transform() const { return transform_; }
  void setTransform(const Transform& transform) { transform_ = transform; }

  // Moves `view` here from any former superview (to the front).
  void addSubview(const std::shared_ptr<View>& view);
  void removeFromSuperview();
  std::shared_ptr<View> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }

 private:
  Rect frame_;
  Transform transform_;
  std::weak_ptr<View> superview_;
  std::vector<std::shared_ptr<View>> subviews_;
};

// A spinning activity indicator: only whether it spins.
class ActivityIndicatorView : public View {
 public:
  using View::View;
  void startAnimating() { animating_ = true; }
  void stopAnimating() { animating_ = false; }
  bool isAnimating() const { return animating_; }

 private:
  bool animating_ = false;
};

// A button: a title and the action a tap runs.
class Button : public View {
 public:
  using View::View;
  void setTitle(std::string title) { title_ = std::move(title); }
  const std::string& title() const { return title_; }
  void setAction(std::function<void()> action) { action_ = std::move(action); }
  // Runs the action, as a touch-up inside does; false without one.
  bool tap() {
    if (!action_) return false;
    auto action = action_;  // the action may replace itself
    action();
    return true;
  }

 private:
  std::string title_;
  std::function<void()> action_;
};

// The app's window: a view with the root screen.
class Window : public View {
 public:
  using View::View;
  std::shared_ptr<ViewController> rootViewController() const { return root_; }
  void setRootViewController(std::shared_ptr<ViewController> root) { root_ = std::move(root); }

 private:
  std::shared_ptr<ViewController> root_;
};

}  // namespace platform
