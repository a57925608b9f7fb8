// The sync screens' pulse: two concentric white rings on a transparent
// picture, the inner one growing from its begin radius to its end radius and
// back over one pulse while it fades out and in, the outer one likewise
// (and invisible around mid-pulse). Each frame of a running pulse records
// the picture of its phase, which the renderer rasterises at the view's
// pixel size; at the end of a pulse the delegate (when it listens) hears of
// it. Radii and widths are in pixels (points times the screen scale).
//
// Ownership: a view, made with create() or from a scene (awakeFromNib); the
// delegate is held weakly; the running link reaches the view through a
// weak proxy. Threading: main thread. Nothing fails.
#pragma once

#include <memory>

#include "platform/ui/DisplayLink.h"
#include "platform/ui/Image.h"
#include "platform/ui/Label.h"
#include "screens/common/LMWeakProxy.h"

namespace lumora {

class LMSyncAnimationViewDelegate {
 public:
  virtual ~LMSyncAnimationViewDelegate() = default;
  virtual void syncAnimationDidFinish() {}
};

class LMSyncAnimationView : public platform::ui::ImageView, public LMDisplayLinkTarget {
 public:
  static std::shared_ptr<LMSyncAnimationView> create(const platform::ui::Rect& frame);
  // As loaded from a scene: the defaults for the frame the scene gave.
  void awakeFromNib() { animateParamInit(); }

  void startSyncAnimation();
  platform::ui::Image imageWithAnimateProcess(double process) const;
  void animateFrame(platform::ui::DisplayLink& displayLink) override;
  void animateParamInit();
  void accelerateVelocityInit();

  // One ring of a phase: radius and opacity.
  struct Ring {
    double radius;
    double alpha;
  };
  Ring smallCircleAt(double process) const;
  Ring bigCircleAt(double process) const;

  double animationDuration = 2.0;
  double smallCircleBeginAlpha = 0.55;
  double smallCircleEndAlpha = 0;
  double smallCircleBeginRadius = 0;
  double smallCircleEndRadius = 0;
  double smallCircleLineWidth = 0;
  double bigCircleBeginAlpha = 0.15;
  double bigCircleEndAlpha = 0;
  double bigCircleBeginRadius = 0;
  double bigCircleEndRadius = 0;
  double bigCircleLineWidth = 0;
  double smallCircleAccelerateVelocity = 0;
  double bigCircleAccelerateVelocity = 0;
  double smallCircleAccelerateAlpha = 0;
  double bigCircleAccelerateAlpha = 0;

  bool isStop() const { return isStop_; }
  double startTime() const { return startTime_; }
  const std::shared_ptr<platform::ui::DisplayLink>& displayLink() const { return displayLink_; }
  void setDelegate(std::weak_ptr<LMSyncAnimationViewDelegate> delegate) { delegate_ = std::move(delegate); }
  // The picture's size in pixels.
  platform::ui::Size drawingSize() const { return drawingSize_; }

 private:
  explicit LMSyncAnimationView(const platform::ui::Rect& frame) : ImageView(std::nullopt) { setFrame(frame); }

  bool isStop_ = true;
  double startTime_ = 0;
  platform::ui::Size drawingSize_;
  std::shared_ptr<platform::ui::DisplayLink> displayLink_;
  std::weak_ptr<LMSyncAnimationViewDelegate> delegate_;
};

}  // namespace lumora
