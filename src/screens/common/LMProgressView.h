// The app's horizontal progress bar: a grey track and a blue fill, two
// stretchable images, the fill 11 points wide at 0 and growing linearly
// over the rest of the width (nothing clamps a value above 1). A value is
// shown at once or animated linearly over animationDuration, frame by frame
// through a display link on the platform clock; a new animated value
// during an animation restarts the leg from the value shown.
//
// Ownership: a view, made with create(); its running link reaches it through
// a weak proxy, so releasing the bar ends the animation. Threading: main
// thread. Nothing fails.
#pragma once

#include <memory>

#include "platform/ui/DisplayLink.h"
#include "platform/ui/Label.h"
#include "platform/ui/View.h"
#include "screens/common/LMWeakProxy.h"

namespace lumora {

class LMProgressView : public platform::ui::View, public LMDisplayLinkTarget {
 public:
  // As made in code without a frame (0.3 s animations) or with one (0.5 s).
  static std::shared_ptr<LMProgressView> create();
  static std::shared_ptr<LMProgressView> create(const platform::ui::Rect& frame);

  double progress() const { return progress_; }
  void setProgress(double progress);
  void setProgress(float progress, bool animated);
  double animationDuration() const { return animationDuration_; }
  void setAnimationDuration(double seconds) { animationDuration_ = seconds; }
  void animateToProgress(float progress);
  void animateFrame(platform::ui::DisplayLink& displayLink) override;
  void updateProgress();

  float fromProgress() const { return fromProgress_; }
  float toProgress() const { return toProgress_; }
  double startTime() const { return startTime_; }
  const std::shared_ptr<platform::ui::DisplayLink>& displayLink() const { return displayLink_; }
  const std::shared_ptr<platform::ui::ImageView>& progressBgView() const { return progressBgView_; }
  const std::shared_ptr<platform::ui::ImageView>& progressView() const { return progressView_; }

  void layoutSubviews() override;

 private:
  LMProgressView(const platform::ui::Rect& frame, double duration) : View(frame), animationDuration_(duration) {}
  void initializeInterface();
  void stopDisplayLink();
  platform::ui::Rect fillFrame() const;

  double progress_ = 0;
  double animationDuration_;
  float fromProgress_ = 0;
  float toProgress_ = 0;
  double startTime_ = 0;
  std::shared_ptr<platform::ui::DisplayLink> displayLink_;
  std::shared_ptr<platform::ui::ImageView> progressBgView_;
  std::shared_ptr<platform::ui::ImageView> progressView_;
};

}  // namespace lumora
