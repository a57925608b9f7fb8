// Main-queue time sources on the platform clock. A display link calls its
// frame callback at 60 Hz while it is added and not paused, with the frame's
// time stamp in media time (mediaTime()); a timer fires once or repeatedly
// after its interval. Both are delayed tasks of the main queue, so they run
// when the queue is pumped and the clock has reached their time: with a
// manual clock, a test moves the clock on and pumps.
//
// Ownership: a link or timer that is scheduled keeps itself alive until it
// is invalidated (as the run loop holds them); the callback's captures are
// the caller's (use a weak reference to the target). Threading: main
// thread. Nothing fails.
#pragma once

#include <functional>
#include <memory>

namespace platform::ui {

class DisplayLink : public std::enable_shared_from_this<DisplayLink> {
 public:
  static constexpr double kFrameInterval = 1.0 / 60;
  using Frame = std::function<void(DisplayLink&)>;

  static std::shared_ptr<DisplayLink> create(Frame frame);

  // Starts the frames (once); a paused link is added but gets none.
  void addToMainRunLoop();
  void setPaused(bool paused);
  bool isPaused() const { return paused_; }
  // No more frames, ever; the callback (and what it holds) is released.
  void invalidate();
  bool isValid() const { return valid_; }
  // The media time of the frame being delivered (or of the last one).
  double timestamp() const { return timestamp_; }

 private:
  explicit DisplayLink(Frame frame) : frame_(std::move(frame)) {}
  void schedule();
  void tick();

  Frame frame_;
  bool added_ = false;
  bool paused_ = false;
  bool valid_ = true;
  bool scheduled_ = false;
  double timestamp_ = 0;
};

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Fire = std::function<void(Timer&)>;
  // A scheduled timer: fires after `interval` seconds, and again every
  // `interval` when it repeats, until invalidated.
  static std::shared_ptr<Timer> scheduled(double interval, bool repeats, Fire fire);
  void invalidate();
  bool isValid() const { return valid_; }

 private:
  Timer(double interval, bool repeats, Fire fire) : interval_(interval), repeats_(repeats), fire_(std::move(fire)) {}
  void schedule();
  double interval_;
  bool repeats_;
  Fire fire_;
  bool valid_ = true;
};

// Runs `task` on the main queue `delay` seconds from now on the clock.
void dispatchAfter(double delay, std::function<void()> task);

}  // namespace platform::ui
