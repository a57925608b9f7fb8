// A scroll view: its bounds origin is the content offset, moved by dragging
// within the content size (snapped to whole pages when paging), and its
// zoom scale resizes the view its delegate names for zooming. The delegate
// (held weakly) hears of scrolling and zooming; its methods are optional.
//
// Ownership: a view, made with std::make_shared. Threading: main thread.
#pragma once

#include <memory>

#include "platform/ui/View.h"

namespace platform::ui {

class ScrollView;

class ScrollViewDelegate {
 public:
  virtual ~ScrollViewDelegate() = default;
  virtual void scrollViewDidScroll(ScrollView&) {}
  virtual void scrollViewDidEndDecelerating(ScrollView&) {}
  virtual void scrollViewDidZoom(ScrollView&) {}
  // The view that zooming resizes; nullptr: the view does not zoom.
  virtual std::shared_ptr<View> viewForZoomingInScrollView(ScrollView&) { return nullptr; }
};

class ScrollView : public View {
 public:
  explicit ScrollView(Rect frame = {});

  Size contentSize() const { return contentSize_; }
  void setContentSize(Size size) { contentSize_ = size; }
  Point contentOffset() const { return bounds().origin(); }
  void setContentOffset(Point offset, bool animated = false);
  bool isPagingEnabled() const { return paging_; }
  void setPagingEnabled(bool paging) { paging_ = paging; }
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }
  bool isDragging() const { return dragging_; }

  void setDelegate(std::weak_ptr<ScrollViewDelegate> delegate) { scrollDelegate_ = std::move(delegate); }
  std::shared_ptr<ScrollViewDelegate> scrollViewDelegate() const { return scrollDelegate_.lock(); }

  double zoomScale() const { return zoomScale_; }
  void setZoomScale(double scale, bool animated = false);
  double minimumZoomScale() const { return minZoom_; }
  double maximumZoomScale() const { return maxZoom_; }
  void setMinimumZoomScale(double scale) { minZoom_ = scale; }
  void setMaximumZoomScale(double scale) { maxZoom_ = scale; }

  void touchesBegan(const Touch& touch) override;
  void touchesMoved(const Touch& touch) override;
  void touchesEnded(const Touch& touch) override;

 protected:
  // A touch that ended without dragging: a tap at `location` (bounds
  // coordinates). The default does nothing.
  virtual void tappedAt(Point location) { (void)location; }
  Point clampedOffset(Point offset) const;

 private:
  Size contentSize_;
  bool paging_ = false;
  bool scrollEnabled_ = true;
  bool dragging_ = false;
  bool tracking_ = false;
  Point touchStart_;
  Point offsetStart_;
  double zoomScale_ = 1;
  double minZoom_ = 1;
  double maxZoom_ = 1;
  Size unzoomed_;
  std::weak_ptr<ScrollViewDelegate> scrollDelegate_;
};

}  // namespace platform::ui
