// Gesture recognisers: taps (a number of taps) and long presses. The screen
// feeds them the touches that land on their view or its subviews (not those
// that a control takes). A recogniser that must wait for another to fail
// (a single tap waiting on a double tap) holds its answer for the double-tap
// interval on the main queue and drops it when the other one recognised.
//
// Ownership: a view owns its recognisers; a recogniser holds its view and
// the recogniser it waits on weakly. Threading: main thread. Nothing fails.
#pragma once

#include <functional>
#include <memory>

#include "platform/ui/Geometry.h"
#include "platform/ui/View.h"

namespace platform::ui {

class GestureRecognizer : public std::enable_shared_from_this<GestureRecognizer> {
 public:
  enum class State { Possible, Began, Changed, Ended, Cancelled, Failed };
  using Action = std::function<void(GestureRecognizer&)>;

  explicit GestureRecognizer(Action action) : action_(std::move(action)) {}
  virtual ~GestureRecognizer() = default;

  State state() const { return state_; }
  std::shared_ptr<View> view() const { return view_.lock(); }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  // Where the last touch was, in `view`'s coordinates (nullptr: the window).
  Point locationInView(const View* view) const;
  void requireGestureRecognizerToFail(const std::shared_ptr<GestureRecognizer>& other) { waitsFor_ = other; }
  // How often the recogniser has recognised its gesture.
  int recognizedCount() const { return recognized_; }

  // The screen's touches (location in the window).
  virtual void touchBegan(const Touch& touch) = 0;
  virtual void touchMoved(const Touch& touch) { last_ = touch.location; }
  virtual void touchEnded(const Touch& touch) = 0;
  // The touch went to a scroll view's drag: no gesture comes of it.
  virtual void touchCancelled(const Touch& touch) { last_ = touch.location; }

 protected:
  void fire(State state);
  Point last_;
  std::weak_ptr<GestureRecognizer> waitsFor_;

 private:
  friend class View;
  Action action_;
  std::weak_ptr<View> view_;
  State state_ = State::Possible;
  bool enabled_ = true;
  int recognized_ = 0;
};

class TapGestureRecognizer : public GestureRecognizer {
 public:
  using GestureRecognizer::GestureRecognizer;
  static constexpr double kMultiTapInterval = 0.35;
  int numberOfTapsRequired() const { return taps_; }
  void setNumberOfTapsRequired(int taps) { taps_ = taps; }
  // A touch that moved further than this is a drag, not a tap.
  static constexpr double kAllowableMovement = 10;
  void touchBegan(const Touch& touch) override { last_ = start_ = touch.location; }
  void touchEnded(const Touch& touch) override;

 private:
  Point start_;
  int taps_ = 1;
  int pending_ = 0;  // bumped per held answer, so a stale one is ignored
};

class LongPressGestureRecognizer : public GestureRecognizer {
 public:
  using GestureRecognizer::GestureRecognizer;
  double minimumPressDuration() const { return duration_; }
  void setMinimumPressDuration(double seconds) { duration_ = seconds; }
  void touchBegan(const Touch& touch) override;
  void touchEnded(const Touch& touch) override;
  void touchCancelled(const Touch& touch) override;

 private:
  double duration_ = 0.5;
  int press_ = 0;
  bool down_ = false;
  bool began_ = false;
};

}  // namespace platform::ui
