#include "platform/ui/DisplayLink.h"

#include <algorithm>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/View.h"

namespace platform::ui {

std::shared_ptr<DisplayLink> DisplayLink::create(Frame frame) {
  return std::shared_ptr<DisplayLink>(new DisplayLink(std::move(frame)));
}

void DisplayLink::addToMainRunLoop() {
  if (added_ || !valid_) return;
  added_ = true;
  schedule();
}

void DisplayLink::setPaused(bool paused) {
  paused_ = paused;
  if (!paused_) schedule();
}

void DisplayLink::invalidate() {
  valid_ = false;
  frame_ = nullptr;
}

void DisplayLink::schedule() {
  if (scheduled_ || !valid_ || !added_ || paused_) return;
  scheduled_ = true;
  // The queued task holds the link, as the run loop does.
  MainQueue::main().asyncAfter(seconds(kFrameInterval), [self = shared_from_this()] { self->tick(); });
}

void DisplayLink::tick() {
  scheduled_ = false;
  if (!valid_ || paused_) return;
  timestamp_ = mediaTime();
  auto frame = frame_;  // the callback may invalidate the link
  if (frame) frame(*this);
  schedule();
}

std::shared_ptr<Timer> Timer::scheduled(double interval, bool repeats, Fire fire) {
  // A repeating timer of no interval would keep the queue busy for ever.
  double floor = repeats ? 0.001 : 0.0;
  auto timer = std::shared_ptr<Timer>(new Timer(std::max(floor, interval), repeats, std::move(fire)));
  timer->schedule();
  return timer;
}

void Timer::schedule() {
  MainQueue::main().asyncAfter(seconds(interval_), [self = shared_from_this()] {
    if (!self->valid_) return;
    if (!self->repeats_) self->valid_ = false;
    auto fire = self->fire_;
    if (fire) fire(*self);
    if (self->valid_) {
      self->schedule();
    } else {
      self->fire_ = nullptr;
    }
  });
}

void Timer::invalidate() {
  valid_ = false;
  fire_ = nullptr;
}

void dispatchAfter(double delay, std::function<void()> task) {
  MainQueue::main().asyncAfter(seconds(std::max(0.0, delay)), std::move(task));
}

}  // namespace platform::ui
