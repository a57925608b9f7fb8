#include "platform/ui/GestureRecognizer.h"

#include <cmath>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"

namespace platform::ui {

Point GestureRecognizer::locationInView(const View* view) const {
  return view ? view->convertPointFromView(last_, nullptr) : last_;
}

void GestureRecognizer::fire(State state) {
  state_ = state;
  if (state == State::Ended || state == State::Began) ++recognized_;
  if (action_) {
    auto action = action_;
    action(*this);
  }
  if (state == State::Ended) state_ = State::Possible;
}

void TapGestureRecognizer::touchEnded(const Touch& touch) {
  last_ = touch.location;
  if (!isEnabled() || touch.tapCount != taps_) return;
  if (std::hypot(last_.x - start_.x, last_.y - start_.y) > kAllowableMovement) return;
  auto other = waitsFor_.lock();
  if (!other) {
    fire(State::Ended);
    return;
  }
  // Hold the answer until the other one can no longer recognise.
  int seen = other->recognizedCount();
  int ticket = ++pending_;
  std::weak_ptr<GestureRecognizer> weak = shared_from_this();
  MainQueue::main().asyncAfter(seconds(kMultiTapInterval), [weak, ticket, seen] {
    auto self = std::static_pointer_cast<TapGestureRecognizer>(weak.lock());
    if (!self || self->pending_ != ticket) return;
    auto waited = self->waitsFor_.lock();
    if (waited && waited->recognizedCount() != seen) return;  // the other one won
    self->fire(State::Ended);
  });
}

void LongPressGestureRecognizer::touchBegan(const Touch& touch) {
  last_ = touch.location;
  down_ = true;
  began_ = false;
  int ticket = ++press_;
  std::weak_ptr<GestureRecognizer> weak = shared_from_this();
  MainQueue::main().asyncAfter(seconds(duration_), [weak, ticket] {
    auto self = std::static_pointer_cast<LongPressGestureRecognizer>(weak.lock());
    if (!self || self->press_ != ticket || !self->down_ || !self->isEnabled()) return;
    self->began_ = true;
    self->fire(State::Began);
  });
}

void LongPressGestureRecognizer::touchEnded(const Touch& touch) {
  last_ = touch.location;
  down_ = false;
  if (!began_) return;
  began_ = false;
  fire(State::Ended);
}

void LongPressGestureRecognizer::touchCancelled(const Touch& touch) {
  last_ = touch.location;
  down_ = false;
  if (!began_) return;
  began_ = false;
  fire(State::Cancelled);
}

}  // namespace platform::ui
