// A scroll view: its bounds origin is the content offset, moved by dragging
// within the content size widened by the content inset (snapped to whole
// pages when paging; pulled past the top while dragging when it always
// bounces vertically, and let go back), and its zoom scale resizes the view
// its delegate names for zooming (zoomed views keep their size at scale 1,
// so a frame set at another scale counts as that scale's). A drag that this
// view cannot follow (nothing to scroll that way) goes on to the views
// behind it, so a page inside a pager still turns the page. The delegate
// (held weakly) hears of scrolling and zooming; its methods are optional;
// observers (held as long as their owner lives) hear of every offset change
// and of the end of each drag. A mouse wheel scrolls it too (scrollBy).
//
// Ownership: a view, made with std::make_shared. Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/ui/View.h"

namespace platform::ui {

class ScrollView;

class ScrollViewDelegate {
 public:
  virtual ~ScrollViewDelegate() = default;
  virtual void scrollViewDidScroll(ScrollView&) {}
  // A drag ended; `willDecelerate`: the view goes on to a page of its own
  // (then scrollViewDidEndDecelerating follows once it is there).
  virtual void scrollViewDidEndDragging(ScrollView&, bool willDecelerate) { (void)willDecelerate; }
  virtual void scrollViewDidEndDecelerating(ScrollView&) {}
  virtual void scrollViewDidZoom(ScrollView&) {}
  // The view that zooming resizes; nullptr: the view does not zoom.
  virtual std::shared_ptr<View> viewForZoomingInScrollView(ScrollView&) { return nullptr; }
};

class ScrollView : public View {
 public:
  enum class Event { Scrolled, EndedDragging };
  using Observer = std::function<void(ScrollView&, Event)>;

  // How far a touch moves before it counts as a drag.
  static constexpr double kDragSlop = 10;

  explicit ScrollView(Rect frame = {});

  Size contentSize() const { return contentSize_; }
  void setContentSize(Size size) { contentSize_ = size; }
  Point contentOffset() const { return bounds().origin(); }
  void setContentOffset(Point offset, bool animated = false);
  // Scrolls as little as it takes to show `rect` (content coordinates),
  // as far as the content allows.
  void scrollRectToVisible(const Rect& rect, bool animated);
  bool isPagingEnabled() const { return paging_; }
  void setPagingEnabled(bool paging) { paging_ = paging; }
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }
  bool isDragging() const { return dragging_; }
  const EdgeInsets& contentInset() const { return contentInset_; }
  void setContentInset(const EdgeInsets& inset);
  bool alwaysBounceVertical() const { return bounceVertical_; }
  void setAlwaysBounceVertical(bool bounces) { bounceVertical_ = bounces; }
  void addObserver(std::weak_ptr<const void> owner, Observer observer);
  // Whether a drag by (dx, dy) from the present offset would move the
  // content (or pull it past the top, when it always bounces vertically).
  bool canScrollBy(double dx, double dy) const;
  // Moves the content offset by (dx, dy) as a mouse wheel or a touchpad
  // does, within the content; false when it cannot move that way (nothing
  // left to scroll, scrolling off, a drag under way, or paging, whose pages
  // only a drag turns).
  bool scrollBy(double dx, double dy);

  void setDelegate(std::weak_ptr<ScrollViewDelegate> delegate) { scrollDelegate_ = std::move(delegate); }
  std::shared_ptr<ScrollViewDelegate> scrollViewDelegate() const { return scrollDelegate_.lock(); }

  double zoomScale() const { return zoomScale_; }
  void setZoomScale(double scale, bool animated = false);
  // Zooms so that `rect` (in the zoomed view's unzoomed coordinates) fills
  // the view as far as the scale limits allow, and scrolls to it.
  void zoomToRect(const Rect& rect, bool animated);
  double minimumZoomScale() const { return minZoom_; }
  double maximumZoomScale() const { return maxZoom_; }
  void setMinimumZoomScale(double scale) { minZoom_ = scale; }
  void setMaximumZoomScale(double scale) { maxZoom_ = scale; }

  void touchesBegan(const Touch& touch) override;
  void touchesMoved(const Touch& touch) override;
  void touchesEnded(const Touch& touch) override;
  void touchesCancelled(const Touch& touch) override;

 protected:
  // A touch that ended without dragging: a tap at `location` (bounds
  // coordinates). The default does nothing.
  virtual void tappedAt(Point location) { (void)location; }
  Point clampedOffset(Point offset) const;

 private:
  void notify(Event event);
  void applyZoom(double scale, std::optional<Point> focus);

  Size contentSize_;
  EdgeInsets contentInset_;
  bool bounceVertical_ = false;
  bool forwarding_ = false;
  std::vector<std::pair<std::weak_ptr<const void>, Observer>> observers_;
  bool paging_ = false;
  bool scrollEnabled_ = true;
  bool dragging_ = false;
  bool tracking_ = false;
  Point touchStart_;
  Point offsetStart_;
  double zoomScale_ = 1;
  double minZoom_ = 1;
  double maxZoom_ = 1;
  std::weak_ptr<ScrollViewDelegate> scrollDelegate_;
};

}  // namespace platform::ui
