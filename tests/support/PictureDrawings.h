// The photos the default image manager draws while one of these lives, as
// its drawing threads tell them: which, at what size, and from what. A test
// may also hold a photo's drawing (its request answered only once the test
// lets it go), to have its answer come late.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/photos/ImageManager.h"
#include "support/Sanitizers.h"

namespace testsupport {

class PictureDrawings {
 public:
  using Drawing = platform::photos::ImageManager::Drawing;

  PictureDrawings() {
    platform::photos::ImageManager::defaultManager().setDrawingObserverForTesting(
        [state = state_](const Drawing& drawing) {
          std::unique_lock lock(state->mutex);
          state->all.push_back(drawing);
          state->changed.notify_all();
          state->changed.wait(lock, [&] { return !state->held.count(drawing.localIdentifier); });
        });
  }
  ~PictureDrawings() {
    release();
    platform::photos::ImageManager::defaultManager().setDrawingObserverForTesting(nullptr);
  }
  PictureDrawings(const PictureDrawings&) = delete;
  PictureDrawings& operator=(const PictureDrawings&) = delete;

  std::vector<Drawing> all() const {
    std::lock_guard lock(state_->mutex);
    return state_->all;
  }
  // How many times each photo was drawn.
  std::map<std::string, int> counts() const {
    std::map<std::string, int> counted;
    for (const auto& drawing : all()) ++counted[drawing.localIdentifier];
    return counted;
  }
  // The drawing of this photo waits (its thread held) until released.
  void hold(const std::string& localIdentifier) {
    std::lock_guard lock(state_->mutex);
    state_->held.insert({localIdentifier, true});
  }
  void release() {
    std::lock_guard lock(state_->mutex);
    state_->held.clear();
    state_->changed.notify_all();
  }
  // Waits (real time, at most `timeout`) until the photo was drawn, or
  // its drawing is being held.
  bool waitForDrawing(const std::string& localIdentifier,
                      std::chrono::milliseconds timeout = scaled(std::chrono::seconds(10))) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] {
      return std::any_of(state_->all.begin(), state_->all.end(),
                         [&](const Drawing& drawing) { return drawing.localIdentifier == localIdentifier; });
    });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Drawing> all;
    std::map<std::string, bool> held;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace testsupport
