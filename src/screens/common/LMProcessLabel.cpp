#include "screens/common/LMProcessLabel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
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
  // The percentage of the value the float stands for: the shortest decimal
  // that reads back as the same float ("0.53" for 0.53f) with its point
  // moved two places, cut to a whole number. Multiplying in double (0.9f is
  // 0.8999999761...) cut 50 of the 101 values k/100 to k - 1; in single
  // precision 0.53f times 100 still rounds below 53.
  std::int64_t whole = 0;
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, progress, std::chars_format::fixed);
  if (std::isfinite(progress) && written.ec == std::errc()) {
    std::string digits(buffer, written.ptr);
    const std::size_t point = std::min(digits.find('.'), digits.size());
    std::string fraction = point < digits.size() ? digits.substr(point + 1) : std::string();
    fraction.resize(2, '0');
    const double percent = std::strtod((digits.substr(0, point) + fraction.substr(0, 2)).c_str(), nullptr);
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
