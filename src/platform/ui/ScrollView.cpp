#include "platform/ui/ScrollView.h"

#include <algorithm>
#include <cmath>

namespace platform::ui {

namespace {
constexpr double kZoomAnimation = 0.3;
}  // namespace

ScrollView::ScrollView(Rect frame) : View(frame) { setClipsToBounds(true); }

Point ScrollView::clampedOffset(Point offset) const {
  const double minX = -contentInset_.left;
  const double minY = -contentInset_.top;
  double maxX = std::max(minX, contentSize_.width + contentInset_.right - frame().width);
  double maxY = std::max(minY, contentSize_.height + contentInset_.bottom - frame().height);
  return {std::clamp(offset.x, minX, maxX), std::clamp(offset.y, minY, maxY)};
}

bool ScrollView::canScrollBy(double dx, double dy) const {
  if (!scrollEnabled_) return false;
  const Point offset = contentOffset();
  const bool pulls = bounceVertical_ && std::abs(dy) > std::abs(dx);
  return pulls || clampedOffset({offset.x - dx, offset.y - dy}) != offset;
}

bool ScrollView::scrollBy(double dx, double dy) {
  if (!scrollEnabled_ || paging_ || tracking_ || dragging_) return false;
  const Point offset = contentOffset();
  const Point target = clampedOffset({offset.x + dx, offset.y + dy});
  if (target == offset) return false;
  setContentOffset(target);
  return true;
}

void ScrollView::setContentInset(const EdgeInsets& inset) { contentInset_ = inset; }

void ScrollView::addObserver(std::weak_ptr<const void> owner, Observer observer) {
  observers_.emplace_back(std::move(owner), std::move(observer));
}

void ScrollView::notify(Event event) {
  std::erase_if(observers_, [](const auto& entry) { return entry.first.expired(); });
  auto observers = observers_;  // an observer may add another
  for (auto& [owner, observer] : observers) {
    if (auto alive = owner.lock()) observer(*this, event);
  }
}

void ScrollView::setContentOffset(Point offset, bool) {
  if (offset == contentOffset()) return;
  setBoundsOrigin(offset);
  if (auto d = scrollDelegate_.lock()) d->scrollViewDidScroll(*this);
  notify(Event::Scrolled);
}

void ScrollView::scrollRectToVisible(const Rect& rect, bool animated) {
  const Size view = frame().size();
  Point o = contentOffset();
  auto axis = [](double offset, double start, double length, double visible) {
    if (start < offset) return start;
    if (start + length > offset + visible) return std::min(start, start + length - visible);
    return offset;
  };
  o.x = axis(o.x, rect.x, rect.width, view.width);
  o.y = axis(o.y, rect.y, rect.height, view.height);
  setContentOffset(clampedOffset(o), animated);
}

void ScrollView::applyZoom(double scale, std::optional<Point> focus) {
  auto d = scrollDelegate_.lock();
  auto zoomed = d ? d->viewForZoomingInScrollView(*this) : nullptr;
  if (!zoomed) return;
  scale = std::clamp(scale, minZoom_, std::max(minZoom_, maxZoom_));
  if (!(scale > 0)) return;
  // The zoomed view's size at scale 1.
  const double current = zoomScale_ > 0 ? zoomScale_ : 1;
  const Size base{zoomed->frame().width / current, zoomed->frame().height / current};
  zoomScale_ = scale;
  const Size size{base.width * scale, base.height * scale};
  zoomed->setFrame({0, 0, size.width, size.height});
  setContentSize(size);
  setContentOffset(clampedOffset(focus.value_or(contentOffset())));
  d->scrollViewDidZoom(*this);
}

void ScrollView::setZoomScale(double scale, bool animated) {
  if (!animated) {
    applyZoom(scale, std::nullopt);
    return;
  }
  View::animate(kZoomAnimation, [&] { applyZoom(scale, std::nullopt); });
}

void ScrollView::zoomToRect(const Rect& rect, bool animated) {
  if (!(rect.width > 0) || !(rect.height > 0)) return;
  double scale = std::min(frame().width / rect.width, frame().height / rect.height);
  scale = std::clamp(scale, minZoom_, std::max(minZoom_, maxZoom_));
  const Point focus{rect.midX() * scale - frame().width / 2, rect.midY() * scale - frame().height / 2};
  if (!animated) {
    applyZoom(scale, focus);
    return;
  }
  View::animate(kZoomAnimation, [&] { applyZoom(scale, focus); });
}

void ScrollView::touchesBegan(const Touch& touch) {
  tracking_ = true;
  dragging_ = false;
  forwarding_ = false;
  touchStart_ = touch.location;
  offsetStart_ = contentOffset();
}

void ScrollView::touchesMoved(const Touch& touch) {
  if (forwarding_) {
    View::touchesMoved(touch);
    return;
  }
  if (!tracking_) return;
  double dx = touch.location.x - touchStart_.x;
  double dy = touch.location.y - touchStart_.y;
  if (!dragging_ && std::hypot(dx, dy) < kDragSlop) return;
  Point wanted{offsetStart_.x - dx, offsetStart_.y - dy};
  Point clamped = clampedOffset(wanted);
  if (!dragging_) {
    if (!canScrollBy(dx, dy)) {
      // Nothing to scroll this way: the views behind take the drag.
      forwarding_ = true;
      tracking_ = false;
      Touch began = touch;
      began.phase = TouchPhase::Began;
      began.location = touchStart_;
      View::touchesBegan(began);
      View::touchesMoved(touch);
      return;
    }
  }
  dragging_ = true;
  if (bounceVertical_ && wanted.y < clamped.y) clamped.y += (wanted.y - clamped.y) / 2;
  setContentOffset(clamped);
}

void ScrollView::touchesEnded(const Touch& touch) {
  if (forwarding_) {
    forwarding_ = false;
    View::touchesEnded(touch);
    return;
  }
  if (!tracking_) return;
  tracking_ = false;
  if (!dragging_) {
    tappedAt(convertPointFromView(touch.location, nullptr));
    return;
  }
  dragging_ = false;
  notify(Event::EndedDragging);
  Point o = contentOffset();
  if (paging_ && frame().width > 0 && frame().height > 0) {
    double dx = touch.location.x - touchStart_.x;
    // A drag of a fifth of a page turns the page.
    double page = offsetStart_.x / frame().width;
    if (dx < -frame().width / 5) page = std::floor(page) + 1;
    if (dx > frame().width / 5) page = std::ceil(page) - 1;
    o.x = std::round(page) * frame().width;
  }
  o = clampedOffset(o);
  const bool decelerates = o != contentOffset();
  if (auto d = scrollDelegate_.lock()) d->scrollViewDidEndDragging(*this, decelerates);
  if (!decelerates) return;
  setContentOffset(o);
  if (auto d = scrollDelegate_.lock()) d->scrollViewDidEndDecelerating(*this);
}

void ScrollView::touchesCancelled(const Touch& touch) {
  if (forwarding_) View::touchesCancelled(touch);
  forwarding_ = false;
  tracking_ = false;
  dragging_ = false;
}

}  // namespace platform::ui
