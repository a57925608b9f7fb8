#include "platform/ui/View.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <typeinfo>

#include <fmt/format.h>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

namespace platform::ui {

double mediaTime() {
  return std::chrono::duration<double>(Clock::current()->steadyNow().time_since_epoch()).count();
}

namespace {
// The animation block being run (View::animate), if any.
struct OpenViewAnimation {
  double duration;
  double start;
};
OpenViewAnimation* openViewAnimation = nullptr;
double lastAnimationEnd = 0;

double viewAnimationProgress(double start, double duration, double now) {
  if (duration <= 0) return 1;
  return std::clamp((now - start) / duration, 0.0, 1.0);
}
}  // namespace

void View::setFrame(const Rect& frame) {
  if (openViewAnimation && !(frame == frame_)) recordAnimation(false, alpha_, presentationFrame());
  const double dw = frame.width - frame_.width;
  const double dh = frame.height - frame_.height;
  frame_ = frame;
  if (dw == 0 && dh == 0) return;
  needsLayout_ = true;
  for (auto& child : subviews_) {
    const unsigned mask = child->autoresizing_;
    if (mask == kAutoresizingNone) continue;
    Rect f = child->frame_;
    if (mask & kAutoresizingFlexibleWidth) f.width = std::max(0.0, f.width + dw);
    if (mask & kAutoresizingFlexibleHeight) {
      f.height = std::max(0.0, f.height + dh);
    } else if (mask & kAutoresizingFlexibleTopMargin) {
      f.y += dh;
    }
    child->setFrame(f);
  }
}

void View::setBoundsOrigin(Point origin) {
  boundsOrigin_ = origin;
  needsLayout_ = true;
}

void View::setCenter(Point center) {
  setFrame({center.x - frame_.width / 2, center.y - frame_.height / 2, frame_.width, frame_.height});
}

void View::setAlpha(double alpha) {
  if (openViewAnimation && alpha != alpha_) recordAnimation(true, presentationAlpha(), frame_);
  alpha_ = alpha;
}

void View::recordAnimation(bool alpha, double fromAlpha, const Rect& fromFrame) {
  std::erase_if(animations_, [alpha](const Animation& a) { return a.alpha == alpha; });
  animations_.push_back({alpha, fromAlpha, fromFrame, openViewAnimation->start, openViewAnimation->duration});
}

void View::animate(double duration, const std::function<void()>& changes,
                   std::function<void(bool finished)> completion) {
  OpenViewAnimation open{duration, mediaTime()};
  if (duration > 0) lastAnimationEnd = std::max(lastAnimationEnd, open.start + duration);
  OpenViewAnimation* outer = openViewAnimation;
  openViewAnimation = duration > 0 ? &open : nullptr;
  if (changes) changes();
  openViewAnimation = outer;
  if (!completion) return;
  MainQueue::main().asyncAfter(seconds(std::max(0.0, duration)),
                               [completion = std::move(completion)] { completion(true); });
}

double View::presentationAlpha() const {
  for (const auto& a : animations_) {
    if (!a.alpha) continue;
    double t = viewAnimationProgress(a.start, a.duration, mediaTime());
    return a.fromAlpha + (alpha_ - a.fromAlpha) * t;
  }
  return alpha_;
}

Rect View::presentationFrame() const {
  for (const auto& a : animations_) {
    if (a.alpha) continue;
    double t = viewAnimationProgress(a.start, a.duration, mediaTime());
    auto mix = [t](double from, double to) { return from + (to - from) * t; };
    return {mix(a.fromFrame.x, frame_.x), mix(a.fromFrame.y, frame_.y), mix(a.fromFrame.width, frame_.width),
            mix(a.fromFrame.height, frame_.height)};
  }
  return frame_;
}

void View::removeAllAnimations() { animations_.clear(); }

double View::animationsEnd() { return lastAnimationEnd; }

void View::addSubview(const std::shared_ptr<View>& view) { insertSubview(view, subviews_.size() + 1); }

void View::insertSubview(const std::shared_ptr<View>& view, std::size_t index) {
  if (!view || view.get() == this) return;
  assert(!weak_from_this().expired() && "subviews are added once the view is shared");
  auto keep = view;
  view->removeFromSuperview();
  index = std::min(index, subviews_.size());
  subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), view);
  view->superview_ = weak_from_this();
  needsLayout_ = true;
}

void View::removeFromSuperview() {
  auto parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  auto& siblings = parent->subviews_;
  siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                [this](const std::shared_ptr<View>& v) { return v.get() == this; }),
                 siblings.end());
}

void View::bringSubviewToFront(const View& view) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(), [&](const auto& v) { return v.get() == &view; });
  if (it == subviews_.end()) return;
  auto keep = *it;
  subviews_.erase(it);
  subviews_.push_back(keep);
}

bool View::isDescendantOf(const View& other) const {
  for (const View* v = this; v; v = v->superview_.lock().get()) {
    if (v == &other) return true;
  }
  return false;
}

std::shared_ptr<Window> View::window() const {
  std::shared_ptr<const View> v = shared_from_this();
  while (auto parent = v->superview()) v = parent;
  return std::dynamic_pointer_cast<Window>(std::const_pointer_cast<View>(v));
}

std::shared_ptr<View> View::viewWithTag(int tag) {
  if (tag_ == tag) return shared_from_this();
  for (auto& child : subviews_) {
    if (auto found = child->viewWithTag(tag)) return found;
  }
  return nullptr;
}

void View::layoutIfNeeded() {
  if (needsLayout_) {
    needsLayout_ = false;
    auto controller = controller_.lock();
    if (controller && controller->isViewLoaded() && controller->view().get() == this) {
      controller->viewWillLayoutSubviews();
    }
    layoutSubviews();
  }
  auto children = subviews_;  // layout may change the tree
  for (auto& child : children) child->layoutIfNeeded();
}

void View::sizeToFit() {
  Size fitted = sizeThatFits(frame_.size());
  setFrame({frame_.x, frame_.y, fitted.width, fitted.height});
}

DisplayList View::displayList() const {
  DisplayList list;
  if (backgroundColor_ && !backgroundColor_->isClear()) list.fillRect(bounds(), *backgroundColor_, cornerRadius_);
  draw(list);
  return list;
}

std::string View::describeSelf() const {
  std::string name = typeid(*this).name();
  // Drop the length prefixes of the mangled name: "N8platform2ui4ViewE" -> "View".
  std::string last;
  for (std::size_t i = 0; i < name.size();) {
    if (std::isdigit(static_cast<unsigned char>(name[i]))) {
      std::size_t len = 0;
      while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) len = len * 10 + (name[i++] - '0');
      last = name.substr(i, len);
      i += len;
    } else {
      ++i;
    }
  }
  return last.empty() ? name : last;
}

void View::describeInto(std::string& out, int depth) const {
  std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  out += fmt::format("{}{} {:g} {:g} {:g}x{:g}", indent, describeSelf(), frame_.x, frame_.y, frame_.width,
                     frame_.height);
  if (alpha_ != 1) out += fmt::format(" alpha {:g}", alpha_);
  if (hidden_) out += " hidden";
  if (clipsToBounds_) out += " clips";
  out += "\n";
  out += displayList().describe(indent + "  | ");
  for (const auto& child : subviews_) child->describeInto(out, depth + 1);
}

std::string View::describe() const {
  std::string out;
  describeInto(out, 0);
  return out;
}

Point View::convertPointToView(Point point, const View* other) const {
  Point p = point;
  const View* v = this;
  while (v != other) {
    auto parent = v->superview_.lock();
    if (!parent) break;  // p is in the root's (the window's) coordinates
    p = {p.x - v->boundsOrigin_.x + v->frame_.x, p.y - v->boundsOrigin_.y + v->frame_.y};
    v = parent.get();
  }
  if (v == other || !other) return p;
  return other->convertPointFromView(p, nullptr);
}

Point View::convertPointFromView(Point point, const View* other) const {
  Point inWindow = other ? other->convertPointToView(point, nullptr) : point;
  Point origin = convertPointToView({boundsOrigin_.x, boundsOrigin_.y}, nullptr);
  return {inWindow.x - origin.x + boundsOrigin_.x, inWindow.y - origin.y + boundsOrigin_.y};
}

std::shared_ptr<View> View::hitTest(Point point) {
  if (hidden_ || alpha_ < 0.01 || !userInteractionEnabled_) return nullptr;
  if (!pointInside(point)) return nullptr;
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    const auto& child = *it;
    Point local{point.x - child->frame_.x + child->boundsOrigin_.x, point.y - child->frame_.y + child->boundsOrigin_.y};
    if (auto hit = child->hitTest(local)) return hit;
  }
  return shared_from_this();
}

void View::touchesBegan(const Touch& touch) {
  if (auto parent = superview()) parent->touchesBegan(touch);
}
void View::touchesMoved(const Touch& touch) {
  if (auto parent = superview()) parent->touchesMoved(touch);
}
void View::touchesEnded(const Touch& touch) {
  if (auto parent = superview()) parent->touchesEnded(touch);
}
void View::touchesCancelled(const Touch& touch) {
  if (auto parent = superview()) parent->touchesCancelled(touch);
}

void View::addGestureRecognizer(std::shared_ptr<GestureRecognizer> recognizer) {
  if (!recognizer) return;
  recognizer->view_ = weak_from_this();
  recognizers_.push_back(std::move(recognizer));
}

void View::removeGestureRecognizer(const GestureRecognizer& recognizer) {
  std::erase_if(recognizers_, [&](const auto& r) { return r.get() == &recognizer; });
}

void ActivityIndicatorView::draw(DisplayList& list) const {
  if (!animating_) return;
  Rect b = bounds();
  double r = std::min(b.width, b.height) / 2;
  for (int i = 0; i < 12; ++i) {
    double angle = i * M_PI / 6;
    double c = std::cos(angle);
    double s = std::sin(angle);
    list.line({b.midX() + c * r * 0.45, b.midY() + s * r * 0.45}, {b.midX() + c * r * 0.9, b.midY() + s * r * 0.9},
              std::max(1.0, r * 0.18), Color::gray(0.5, 0.25 + 0.75 * i / 11.0));
  }
}

std::string ActivityIndicatorView::describeSelf() const {
  return animating_ ? "ActivityIndicatorView spinning" : "ActivityIndicatorView";
}

}  // namespace platform::ui
