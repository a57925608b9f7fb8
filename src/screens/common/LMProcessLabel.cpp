#include "screens/common/LMProcessLabel.h"

#include <cmath>
#include <limits>

#include "platform/ui/StringFormat.h"

namespace lumora {

namespace ui = platform::ui;

void LMProcessLabel::awakeFromNib() {
  animationDuration_ = 0.5;
  setProgress(0.0f);
}

void LMProcessLabel::stopDisplayLink() {
  if (!displayLink_) return;
  displayLink_->setPaused(true);
  displayLink_->invalidate();
  displayLink_.reset();
}

void LMProcessLabel::setProgress(float progress) {
  stopDisplayLink();
  progress_ = progress;
  updateText();
}

void LMProcessLabel::setProgress(float progress, bool animated) {
  if (!animated) {
    setProgress(progress);
    return;
  }
  if (progress == progress_) return;
  if (displayLink_) {
    startTime_ = ui::mediaTime();
    fromProgress_ = progress_;
    toProgress_ = progress;
    return;
  }
  animateToProgress(progress);
}

void LMProcessLabel::animateToProgress(float progress) {
  fromProgress_ = progress_;
  toProgress_ = progress;
  startTime_ = ui::mediaTime();
  stopDisplayLink();
  displayLink_ = LMWeakProxy::displayLinkWithTarget(std::static_pointer_cast<LMProcessLabel>(shared_from_this()));
  displayLink_->addToMainRunLoop();
  displayLink_->setPaused(false);
}

void LMProcessLabel::animateFrame(ui::DisplayLink& displayLink) {
  double t = animationDuration_ > 0 ? (displayLink.timestamp() - startTime_) / animationDuration_ : 1;
  if (t < 1) {
    progress_ = static_cast<float>(fromProgress_ + t * (toProgress_ - fromProgress_));
    updateText();
    return;
  }
  stopDisplayLink();
  setProgress(toProgress_);
}

std::string LMProcessLabel::textFor(const std::optional<std::string>& prefix, float progress) {
  double percent = static_cast<double>(progress) * 100;
  std::int64_t whole = 0;
  if (std::isfinite(percent)) {
    constexpr double kHighest = std::numeric_limits<int>::max();
    constexpr double kLowest = std::numeric_limits<int>::min();
    whole = static_cast<std::int64_t>(std::clamp(percent, kLowest, kHighest));
  }
  return prefix.value_or("") + ui::stringWithFormat("%i", {whole}) + "%";
}

void LMProcessLabel::updateText() {
  setText(textFor(prefix_, progress_));
  if (progress_ >= 0.99f) {
    if (auto delegate = delegate_.lock()) delegate->processAnimationDidFinish();
  }
}

}  // namespace lumora
