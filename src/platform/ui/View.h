// The headless view tree of the UI kit. A view has a frame in its
// superview, a bounds origin (scroll views move it), a transform, alpha,
// hidden, a background colour, corner radius and clipping; it lays its
// subviews out in layoutSubviews() when asked (setNeedsLayout), records what
// it draws into a DisplayList (draw()), answers hit tests and takes touches
// and gesture recognisers. Alpha and frame changes made inside
// View::animate() move the view's presentation value over the duration on
// the platform clock; the model value changes at once.
//
// Ownership: a view owns its subviews and its recognisers; the superview is
// held weakly. Views must be made with std::make_shared, and a view adds
// subviews only once it is shared (not in its constructor). Threading: main
// thread only (not locked). Nothing here fails.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/Color.h"
#include "platform/ui/DisplayList.h"
#include "platform/ui/Geometry.h"

namespace platform::ui {

class GestureRecognizer;
class ViewController;
class Window;

enum class TouchPhase { Began, Moved, Ended, Cancelled };

struct Touch {
  TouchPhase phase = TouchPhase::Began;
  Point location;  // in the window
  int tapCount = 1;
};

// Seconds of media time on the platform clock's steady line.
double mediaTime();

// How a view follows its superview's size (the platform's autoresizing):
// a flexible width or height changes by as much as the superview's does;
// a flexible top margin keeps the view's distance from the bottom edge.
enum AutoresizingMask : unsigned {
  kAutoresizingNone = 0,
  kAutoresizingFlexibleWidth = 1u << 1,
  kAutoresizingFlexibleTopMargin = 1u << 3,
  kAutoresizingFlexibleHeight = 1u << 4,
};

class View : public std::enable_shared_from_this<View> {
 public:
  View() = default;
  explicit View(Rect frame) : frame_(frame) {}
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  virtual ~View() = default;

  // Geometry.
  const Rect& frame() const { return frame_; }
  void setFrame(const Rect& frame);
  Rect bounds() const { return {boundsOrigin_.x, boundsOrigin_.y, frame_.width, frame_.height}; }
  void setBoundsOrigin(Point origin);
  Point center() const { return frame_.center(); }
  void setCenter(Point center);
  const Transform& transform() const { return transform_; }
  void setTransform(const Transform& transform) { transform_ = transform; }
  unsigned autoresizingMask() const { return autoresizing_; }
  void setAutoresizingMask(unsigned mask) { autoresizing_ = mask; }

  // Look.
  double alpha() const { return alpha_; }
  void setAlpha(double alpha);
  bool isHidden() const { return hidden_; }
  virtual void setHidden(bool hidden) { hidden_ = hidden; }
  const std::optional<Color>& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<Color> color) { backgroundColor_ = std::move(color); }
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double radius) { cornerRadius_ = radius; }
  bool clipsToBounds() const { return clipsToBounds_; }
  void setClipsToBounds(bool clips) { clipsToBounds_ = clips; }
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }

  // The tree. addSubview moves `view` here from any former superview (to
  // the front); inserting at an index puts it behind the later ones.
  void addSubview(const std::shared_ptr<View>& view);
  void insertSubview(const std::shared_ptr<View>& view, std::size_t index);
  void removeFromSuperview();
  void bringSubviewToFront(const View& view);
  std::shared_ptr<View> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  bool isDescendantOf(const View& other) const;
  // The window the view is in (nullptr when none).
  std::shared_ptr<Window> window() const;
  std::shared_ptr<View> viewWithTag(int tag);
  // The controller whose view this is (held weakly).
  std::shared_ptr<ViewController> viewController() const { return controller_.lock(); }
  void setViewController(std::weak_ptr<ViewController> controller) { controller_ = std::move(controller); }

  // Layout.
  void setNeedsLayout() { needsLayout_ = true; }
  bool needsLayout() const { return needsLayout_; }
  // Lays out this view when it needs it, then its subviews, all the way down.
  void layoutIfNeeded();
  virtual void layoutSubviews() {}
  virtual Size sizeThatFits(Size size) const { return size; }
  void sizeToFit();

  // Drawing: the background (colour and corner radius), then draw().
  DisplayList displayList() const;
  virtual void draw(DisplayList& list) const { (void)list; }
  // The view tree with each view's frame, look and display list.
  std::string describe() const;
  // One line: the class's short name and what it shows.
  virtual std::string describeSelf() const;

  // Points between this view's bounds and another's (nullptr: the window).
  Point convertPointToView(Point point, const View* other) const;
  Point convertPointFromView(Point point, const View* other) const;

  // Hit testing, in this view's bounds coordinates.
  virtual bool pointInside(Point point) const { return bounds().contains(point); }
  std::shared_ptr<View> hitTest(Point point);

  // Touches (location in the window); the default passes them up the tree.
  virtual void touchesBegan(const Touch& touch);
  virtual void touchesMoved(const Touch& touch);
  virtual void touchesEnded(const Touch& touch);
  virtual void touchesCancelled(const Touch& touch);

  void addGestureRecognizer(std::shared_ptr<GestureRecognizer> recognizer);
  void removeGestureRecognizer(const GestureRecognizer& recognizer);
  const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const { return recognizers_; }

  // Animation of alpha and frame on the platform clock: the changes made in
  // `changes` are shown moving over `duration` seconds; `completion` runs on
  // the main queue when the time is over (finished: true) or when a new
  // animation of the same property took over (false).
  static void animate(double duration, const std::function<void()>& changes,
                      std::function<void(bool finished)> completion = {});
  double presentationAlpha() const;
  Rect presentationFrame() const;
  // The media time by which every animation begun so far has ended: until
  // then presentation values move without anything else happening.
  static double animationsEnd();
  bool hasAnimations() const { return !animations_.empty(); }
  void removeAllAnimations();

 private:
  friend class GestureRecognizer;
  struct Animation {
    bool alpha;  // else frame
    double fromAlpha;
    Rect fromFrame;
    double start;
    double duration;
  };
  void recordAnimation(bool alpha, double fromAlpha, const Rect& fromFrame);
  void describeInto(std::string& out, int depth) const;

  Rect frame_;
  Point boundsOrigin_;
  Transform transform_;
  double alpha_ = 1;
  bool hidden_ = false;
  std::optional<Color> backgroundColor_;
  double cornerRadius_ = 0;
  bool clipsToBounds_ = false;
  bool userInteractionEnabled_ = true;
  bool needsLayout_ = true;
  int tag_ = 0;
  unsigned autoresizing_ = kAutoresizingNone;
  std::weak_ptr<View> superview_;
  std::weak_ptr<ViewController> controller_;
  std::vector<std::shared_ptr<View>> subviews_;
  std::vector<std::shared_ptr<GestureRecognizer>> recognizers_;
  std::vector<Animation> animations_;
};

// A spinning activity indicator: grey spokes, drawn while it spins (or
// always, unless hidesWhenStopped).
class ActivityIndicatorView : public View {
 public:
  using View::View;
  void startAnimating() { animating_ = true; }
  void stopAnimating() { animating_ = false; }
  bool isAnimating() const { return animating_; }
  void draw(DisplayList& list) const override;
  std::string describeSelf() const override;

 private:
  bool animating_ = false;
};

}  // namespace platform::ui
