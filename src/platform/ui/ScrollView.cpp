#include "platform/ui/ScrollView.h"

#include <algorithm>
#include <cmath>

namespace platform::ui {

ScrollView::ScrollView(Rect frame) : View(frame) { setClipsToBounds(true); }

Point ScrollView::clampedOffset(Point offset) const {
  double maxX = std::max(0.0, contentSize_.width - frame().width);
  double maxY = std::max(0.0, contentSize_.height - frame().height);
  return {std::clamp(offset.x, 0.0, maxX), std::clamp(offset.y, 0.0, maxY)};
}

void ScrollView::setContentOffset(Point offset, bool) {
  if (offset == contentOffset()) return;
  setBoundsOrigin(offset);
  if (auto d = scrollDelegate_.lock()) d->scrollViewDidScroll(*this);
}

void ScrollView::setZoomScale(double scale, bool) {
  auto d = scrollDelegate_.lock();
  auto zoomed = d ? d->viewForZoomingInScrollView(*this) : nullptr;
  if (!zoomed) return;
  scale = std::clamp(scale, minZoom_, std::max(minZoom_, maxZoom_));
  if (zoomScale_ == 1) unzoomed_ = zoomed->frame().size();
  zoomScale_ = scale;
  Size size{unzoomed_.width * scale, unzoomed_.height * scale};
  zoomed->setFrame({0, 0, size.width, size.height});
  setContentSize(size);
  setContentOffset(clampedOffset(contentOffset()));
  d->scrollViewDidZoom(*this);
}

void ScrollView::touchesBegan(const Touch& touch) {
  tracking_ = true;
  dragging_ = false;
  touchStart_ = touch.location;
  offsetStart_ = contentOffset();
}

void ScrollView::touchesMoved(const Touch& touch) {
  if (!tracking_ || !scrollEnabled_) return;
  double dx = touch.location.x - touchStart_.x;
  double dy = touch.location.y - touchStart_.y;
  if (!dragging_ && std::hypot(dx, dy) < 10) return;
  dragging_ = true;
  setContentOffset(clampedOffset({offsetStart_.x - dx, offsetStart_.y - dy}));
}

void ScrollView::touchesEnded(const Touch& touch) {
  if (!tracking_) return;
  tracking_ = false;
  if (!dragging_) {
    tappedAt(convertPointFromView(touch.location, nullptr));
    return;
  }
  dragging_ = false;
  if (paging_ && frame().width > 0 && frame().height > 0) {
    Point o = contentOffset();
    double dx = touch.location.x - touchStart_.x;
    // A drag of a fifth of a page turns the page.
    double page = offsetStart_.x / frame().width;
    if (dx < -frame().width / 5) page = std::floor(page) + 1;
    if (dx > frame().width / 5) page = std::ceil(page) - 1;
    setContentOffset(clampedOffset({std::round(page) * frame().width, o.y}));
  }
  if (auto d = scrollDelegate_.lock()) d->scrollViewDidEndDecelerating(*this);
}

}  // namespace platform::ui
