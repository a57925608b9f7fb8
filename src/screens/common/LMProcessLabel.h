// A label that shows a progress value (0 to 1) as a whole percentage after
// an optional prefix, and moves from the value shown to a new one linearly
// over animationDuration, frame by frame on the platform clock. Each text
// update at 0.99 or more tells the delegate (when it listens) that the
// animation is as good as done. A value that is not a finite number shows
// as 0.
//
// Ownership: a view, made with std::make_shared; the delegate is held
// weakly; the running link reaches the label through a weak proxy.
// Threading: main thread. Nothing fails.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/ui/DisplayLink.h"
#include "platform/ui/Label.h"
#include "screens/common/LMWeakProxy.h"

namespace lumora {

class LMProcessLabelDelegate {
 public:
  virtual ~LMProcessLabelDelegate() = default;
  virtual void processAnimationDidFinish() {}
};

class LMProcessLabel : public platform::ui::Label, public LMDisplayLinkTarget {
 public:
  using Label::Label;

  // As loaded from a storyboard scene: 0.5 s animations, showing 0.
  void awakeFromNib();

  float progress() const { return progress_; }
  void setProgress(float progress);
  void setProgress(float progress, bool animated);
  void animateToProgress(float progress);
  void animateFrame(platform::ui::DisplayLink& displayLink) override;
  void updateText();

  double animationDuration() const { return animationDuration_; }
  void setAnimationDuration(double seconds) { animationDuration_ = seconds; }
  const std::optional<std::string>& prefixStr() const { return prefix_; }
  void setPrefixStr(std::optional<std::string> prefix) { prefix_ = std::move(prefix); }
  void setDelegate(std::weak_ptr<LMProcessLabelDelegate> delegate) { delegate_ = std::move(delegate); }
  float fromProgress() const { return fromProgress_; }
  float toProgress() const { return toProgress_; }
  double startTime() const { return startTime_; }
  const std::shared_ptr<platform::ui::DisplayLink>& displayLink() const { return displayLink_; }

  // The text for a value: prefix, whole percentage of the decimal value the
  // float stands for (0 for a value that is not finite, bounded to the
  // integer range), "%".
  static std::string textFor(const std::optional<std::string>& prefix, float progress);

 private:
  void stopDisplayLink();

  float progress_ = 0;
  float fromProgress_ = 0;
  float toProgress_ = 0;
  double animationDuration_ = 0.5;
  double startTime_ = 0;
  std::optional<std::string> prefix_;
  std::weak_ptr<LMProcessLabelDelegate> delegate_;
  std::shared_ptr<platform::ui::DisplayLink> displayLink_;
};

}  // namespace lumora
