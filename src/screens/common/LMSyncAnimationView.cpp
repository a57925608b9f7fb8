#include "screens/common/LMSyncAnimationView.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMSyncAnimationView> LMSyncAnimationView::create(const ui::Rect& frame) {
  auto view = std::shared_ptr<LMSyncAnimationView>(new LMSyncAnimationView(frame));
  view->animateParamInit();
  return view;
}

void LMSyncAnimationView::animateParamInit() {
  double scale = ui::Screen::main().scale();
  animationDuration = 2.0;
  smallCircleBeginAlpha = 0.55;
  smallCircleEndAlpha = 0;
  smallCircleBeginRadius = 90 * scale;
  smallCircleEndRadius = 127 * scale;
  smallCircleLineWidth = 2 * scale;
  bigCircleBeginAlpha = 0.15;
  bigCircleEndAlpha = 0;
  bigCircleBeginRadius = 100 * scale;
  bigCircleEndRadius = 130 * scale;
  bigCircleLineWidth = 1 * scale;
  drawingSize_ = {frame().width * scale, frame().height * scale};
  accelerateVelocityInit();
}

void LMSyncAnimationView::accelerateVelocityInit() {
  smallCircleAccelerateVelocity = (smallCircleEndRadius - smallCircleBeginRadius) * 16;
  bigCircleAccelerateVelocity = (bigCircleEndRadius - bigCircleBeginRadius) * 19;
}

void LMSyncAnimationView::startSyncAnimation() {
  if (!isStop_) return;
  isStop_ = false;
  startTime_ = ui::mediaTime();
  setImage(imageWithAnimateProcess(0));
  displayLink_ = LMWeakProxy::displayLinkWithTarget(std::static_pointer_cast<LMSyncAnimationView>(shared_from_this()));
  displayLink_->addToMainRunLoop();
  displayLink_->setPaused(false);
}

void LMSyncAnimationView::animateFrame(ui::DisplayLink& displayLink) {
  double process = animationDuration > 0 ? (displayLink.timestamp() - startTime_) / animationDuration : 1;
  if (process < 1) {
    setImage(imageWithAnimateProcess(process));
    return;
  }
  isStop_ = true;
  if (displayLink_) {
    displayLink_->setPaused(true);
    displayLink_->invalidate();
    displayLink_.reset();
  }
  setImage(imageWithAnimateProcess(1));
  if (auto delegate = delegate_.lock()) delegate->syncAnimationDidFinish();
}

LMSyncAnimationView::Ring LMSyncAnimationView::smallCircleAt(double p) const {
  p = std::min(p, 1.0);
  double rb = smallCircleBeginRadius;
  double re = smallCircleEndRadius;
  double a = smallCircleAccelerateVelocity;
  double radius;
  if (p <= 0.25) {
    radius = rb + p * p * a / 2;
  } else if (p <= 0.5) {
    radius = (rb + re) / 2 + (0.0625 - (0.5 - p) * (0.5 - p)) * a / 2;
  } else if (p <= 0.75) {
    radius = re - (p - 0.5) * (p - 0.5) * a / 2;
  } else {
    radius = (rb + re) / 2 - (0.0625 - (1 - p) * (1 - p)) * a / 2;
  }
  double alpha = smallCircleEndAlpha + std::fabs(1 - 2 * p) * (smallCircleBeginAlpha - smallCircleEndAlpha);
  return {radius, alpha};
}

LMSyncAnimationView::Ring LMSyncAnimationView::bigCircleAt(double p) const {
  p = std::min(p, 1.0);
  double rb = bigCircleBeginRadius;
  double re = bigCircleEndRadius;
  double a = bigCircleAccelerateVelocity;
  double span = bigCircleBeginAlpha - bigCircleEndAlpha;
  if (p <= 0.225) return {rb + p * p * a / 2, bigCircleEndAlpha + (1 - p / 0.45) * span};
  if (p <= 0.45) {
    return {(rb + re) / 2 + (0.050625 - (0.45 - p) * (0.45 - p)) * a / 2, bigCircleEndAlpha + (1 - p / 0.45) * span};
  }
  if (p <= 0.55) return {re, 0};
  double alpha = bigCircleEndAlpha + ((p - 0.55) / 0.45) * span;
  if (p <= 0.775) return {re - (p - 0.55) * (p - 0.55) * a / 2, alpha};
  return {(rb + re) / 2 - (0.050625 - (1 - p) * (1 - p)) * a / 2, alpha};
}

ui::Image LMSyncAnimationView::imageWithAnimateProcess(double process) const {
  Ring small = smallCircleAt(process);
  Ring big = bigCircleAt(process);
  ui::DisplayList picture;
  ui::Point centre{drawingSize_.width / 2, drawingSize_.height / 2};
  picture.strokeCircle(centre, small.radius, smallCircleLineWidth, ui::Color::white().withAlpha(small.alpha));
  picture.strokeCircle(centre, big.radius, bigCircleLineWidth, ui::Color::white().withAlpha(big.alpha));
  return ui::Image::imageWithPicture(std::move(picture), drawingSize_);
}

}  // namespace lumora
