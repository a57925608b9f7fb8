#include "screens/common/LMProgressView.h"

#include "platform/ui/Image.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMProgressView> LMProgressView::create() {
  auto view = std::shared_ptr<LMProgressView>(new LMProgressView({}, 0.3));
  view->initializeInterface();
  return view;
}

std::shared_ptr<LMProgressView> LMProgressView::create(const ui::Rect& frame) {
  auto view = std::shared_ptr<LMProgressView>(new LMProgressView(frame, 0.5));
  view->initializeInterface();
  return view;
}

void LMProgressView::initializeInterface() {
  setBackgroundColor(ui::Color::clear());
  const ui::EdgeInsets caps{4.5, 5.5, 4.0, 5.5};
  auto stretchable = [&](const char* name) -> std::optional<ui::Image> {
    auto image = ui::Image::imageNamed(name);
    if (!image) return std::nullopt;
    return image->resizableImageWithCapInsets(caps);
  };
  progressBgView_ = std::make_shared<ui::ImageView>(stretchable("云相册进度条灰色.png"));
  progressView_ = std::make_shared<ui::ImageView>(stretchable("云相册进度条蓝色.png"));
  addSubview(progressBgView_);
  addSubview(progressView_);
  progressBgView_->setFrame(bounds());
  updateProgress();
}

ui::Rect LMProgressView::fillFrame() const {
  ui::Rect b = bounds();
  return {b.x, b.y, 11 + (b.width - 11) * progress_, b.height};
}

void LMProgressView::stopDisplayLink() {
  if (!displayLink_) return;
  displayLink_->setPaused(true);
  displayLink_->invalidate();
  displayLink_.reset();
}

void LMProgressView::setProgress(double progress) {
  stopDisplayLink();
  progress_ = progress;
  updateProgress();
}

void LMProgressView::setProgress(float progress, bool animated) {
  if (!animated) {
    setProgress(static_cast<double>(progress));
    return;
  }
  if (progress_ == static_cast<double>(progress)) return;
  if (displayLink_) {
    startTime_ = ui::mediaTime();
    fromProgress_ = static_cast<float>(progress_);
    toProgress_ = progress;
    return;
  }
  animateToProgress(progress);
}

void LMProgressView::animateToProgress(float progress) {
  fromProgress_ = static_cast<float>(progress_);
  toProgress_ = progress;
  startTime_ = ui::mediaTime();
  stopDisplayLink();
  displayLink_ = LMWeakProxy::displayLinkWithTarget(
      std::static_pointer_cast<LMProgressView>(shared_from_this()));
  displayLink_->addToMainRunLoop();
  displayLink_->setPaused(false);
}

void LMProgressView::animateFrame(ui::DisplayLink& displayLink) {
  double t = animationDuration_ > 0 ? (displayLink.timestamp() - startTime_) / animationDuration_ : 1;
  if (t < 1) {
    float span = toProgress_ - fromProgress_;
    progress_ = static_cast<double>(fromProgress_) + t * static_cast<double>(span);
    updateProgress();
    return;
  }
  setProgress(static_cast<double>(toProgress_));
}

void LMProgressView::updateProgress() {
  if (progressView_) progressView_->setFrame(fillFrame());
}

void LMProgressView::layoutSubviews() {
  progressBgView_->setFrame(bounds());
  progressView_->setFrame(fillFrame());
}

}  // namespace lumora
