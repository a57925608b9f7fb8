#include "screens/gallery/LMPhotoView.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Image.h"
#include "platform/ui/ImageViewWebCache.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/gallery/LMCloudPhotoImage.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMPhotoView> LMPhotoView::create(const ui::Rect& frame) {
  auto page = std::make_shared<LMPhotoView>(frame);
  page->initialize();
  return page;
}

void LMPhotoView::initialize() {
  setBackgroundColor(ui::Color::clear());
  setClipsToBounds(true);
  auto self = std::static_pointer_cast<LMPhotoView>(shared_from_this());
  setDelegate(std::weak_ptr<ui::ScrollViewDelegate>(self));

  imageView_ = std::make_shared<LMThumbnailImageView>();
  imageView_->setContentMode(ui::ContentMode::AspectFill);
  imageView_->setClipsToBounds(true);
  playView_ = std::make_shared<ui::ImageView>(ui::Image::imageNamed(LMPhotoCollectionViewCell::kPlayImageName));
  playView_->setFrame({0, 0, kPlaySize, kPlaySize});
  playView_->setHidden(true);

  std::weak_ptr<LMPhotoView> weak = self;
  auto single = std::make_shared<ui::TapGestureRecognizer>([weak](ui::GestureRecognizer& r) {
    if (auto page = weak.lock()) page->handleSingleTap(r);
  });
  auto twice = std::make_shared<ui::TapGestureRecognizer>([weak](ui::GestureRecognizer& r) {
    if (auto page = weak.lock()) page->handleDoubleTap(r);
  });
  twice->setNumberOfTapsRequired(2);
  addGestureRecognizer(single);
  addGestureRecognizer(twice);
  addSubview(imageView_);
  addSubview(playView_);
}

LMPhotoView::~LMPhotoView() {
  if (imageView_) ui::cancelCurrentImageLoad(*imageView_);
}

void LMPhotoView::setPhoto(std::shared_ptr<LMImageObject> photo) {
  photo_ = std::move(photo);
  clearImageView();
  showImage();
}

void LMPhotoView::clearImageView() {
  ui::cancelCurrentImageLoad(*imageView_);
  imageView_->setImage(std::nullopt);
}

bool LMPhotoView::isVideo() const { return photo_ && photo_->type() == kVideoType; }

void LMPhotoView::showImage() {
  playView_->setHidden(true);
  if (!photo_) {
    adjustFrame();
    return;
  }
  const auto orientation = photo_->getImageObjectOrientation();
  const bool hasLarge = photo_->isImageValidate();
  if (hasLarge) {
    if (auto cached = LMCloudPhotoImage::cachedImage(*photo_->imageUrl(), orientation)) {
      imageView_->setImage(cached);
      adjustFrame();
      playView_->setHidden(!isVideo());
      return;
    }
  }
  std::optional<ui::Image> placeholder;
  if (photo_->isThumbnailValidate()) {
    placeholder = LMCloudPhotoImage::cachedImage(*photo_->thumbnailUrl(), orientation);
    if (placeholder) playView_->setHidden(!isVideo());
  }
  if (hasLarge) {
    std::weak_ptr<LMPhotoView> weak = std::static_pointer_cast<LMPhotoView>(shared_from_this());
    auto photo = photo_;
    ui::WebImageOptions options;
    options.retryFailed = true;
    LMCloudPhotoImage::setImageWithURL(
        imageView_, *photo_->imageUrl(), orientation, placeholder, options,
        [weak, photo](std::optional<ui::Image>, std::optional<platform::Error> error, ui::ImageCacheType,
                      const std::string&) {
          auto page = weak.lock();
          if (!page || page->photo_ != photo) return;
          if (error) {
            if (!isNetworkConditionError(*error)) page->requestLargeURL(true);
            return;
          }
          page->adjustFrame();
          page->playView_->setHidden(!page->isVideo());
        });
  } else {
    imageView_->setImage(placeholder);
    requestLargeURL(false);
  }
  adjustFrame();
}

void LMPhotoView::requestLargeURL(bool afterFailure) {
  auto id = photo_ ? photo_->serverID() : std::nullopt;
  if (!id) return;
  // A server that keeps refusing the address it hands out is asked once.
  if (afterFailure && !reRequested_->insert(*id).second) return;
  imageView_->requestThumbnailUrl(*id, LMCustomUtils::screenSize(), [](platform::Result<platform::Json> content) {
    if (content.ok()) LMGalleryManager::sharedManager().setImageThumbnailURLs(*content, true);
  });
}

std::shared_ptr<ui::View> LMPhotoView::viewForZoomingInScrollView(ui::ScrollView&) { return imageView_; }

void LMPhotoView::adjustFrame() {
  const auto& image = imageView_->image();
  if (!image) {
    playView_->setHidden(true);
    return;
  }
  const double W = bounds().width;
  const double H = bounds().height;
  const double w = image->size().width;
  const double h = image->size().height;
  if (!(w > 0) || !(h > 0)) return;
  const double sx = W / w;
  const double sy = H / h;
  const double s = std::min(sx, sy);
  const double minimum = s < 1.0 ? s : 0.8;
  setMaximumZoomScale(kMaximumZoomScale);
  setMinimumZoomScale(minimum);
  setZoomScale(minimum);

  ui::Size fitted;
  if (sx < sy) {
    fitted = {W, W * h / w};
    setContentSize({0, fitted.height});
  } else {
    fitted = {H * w / h, H};
    setContentSize({fitted.width, 0});
  }
  const ui::Rect target{std::floor(static_cast<float>((W - fitted.width) / 2)),
                        std::floor(static_cast<float>((H - fitted.height) / 2)), fitted.width, fitted.height};
  auto d = delegate();
  ui::Rect start;
  if (d && d->shouldPhotoViewAnimate(*this)) start = d->animateFrameWithPhotoView(*this);
  if (start == ui::Rect{}) {
    imageView_->setFrame(target);
  } else {
    imageView_->setFrame(start);
    ui::View::animate(kOpenDuration, [&] { imageView_->setFrame(target); });
  }
  setNeedsLayout();
}

void LMPhotoView::scrollViewDidZoom(ui::ScrollView&) {
  const ui::Size content = contentSize();
  const double dx = std::max(0.0, (bounds().width - content.width) / 2);
  const double dy = std::max(0.0, (bounds().height - content.height) / 2);
  imageView_->setCenter({content.width / 2 + dx, content.height / 2 + dy});
}

void LMPhotoView::layoutSubviews() {
  ScrollView::layoutSubviews();
  const ui::Rect f = imageView_->frame();
  playView_->setFrame({f.midX() - kPlaySize / 2, f.midY() - kPlaySize / 2, kPlaySize, kPlaySize});
}

ui::Rect LMPhotoView::zoomRectForScale(double scale, ui::Point center) const {
  const double height = frame().height / scale;
  const double width = frame().width / scale;
  return {center.x - width / 2, center.y - height / 2, width, height};
}

void LMPhotoView::handleSingleTap(ui::GestureRecognizer&) {
  doubleTap_ = false;
  std::weak_ptr<LMPhotoView> weak = std::static_pointer_cast<LMPhotoView>(shared_from_this());
  platform::MainQueue::main().asyncAfter(platform::seconds(kSingleTapDelay), [weak] {
    if (auto page = weak.lock()) page->checkSingleTap();
  });
}

void LMPhotoView::checkSingleTap() {
  if (doubleTap_) return;
  if (auto d = delegate()) d->photoViewSingleTap(*this);
}

void LMPhotoView::handleDoubleTap(ui::GestureRecognizer& recognizer) {
  doubleTap_ = true;
  if (zoomScale() != maximumZoomScale()) {
    // The tap in the image's own (unzoomed) coordinates.
    ui::Point p = recognizer.locationInView(imageView_.get());
    const double scale = zoomScale() > 0 ? zoomScale() : 1;
    zoomToRect(zoomRectForScale(maximumZoomScale(), {p.x / scale, p.y / scale}), true);
  } else {
    setZoomScale(minimumZoomScale(), true);
  }
}

void LMPhotoView::hidePhotoView() {
  setContentOffset({0, 0});
  auto d = delegate();
  const ui::Rect target = d ? d->animateFrameWithPhotoView(*this) : ui::Rect{};
  playView_->setHidden(true);
  if (target == ui::Rect{}) {
    if (d) d->photoViewWillHide(*this);
    if (d) d->photoViewDidEndZoom(*this);
    return;
  }
  std::weak_ptr<LMPhotoView> weak = std::static_pointer_cast<LMPhotoView>(shared_from_this());
  ui::View::animate(
      kCloseDuration,
      [&] {
        imageView_->setFrame(target);
        d->photoViewWillHide(*this);
      },
      [weak](bool) {
        auto page = weak.lock();
        if (!page) return;
        if (auto delegate = page->delegate()) delegate->photoViewDidEndZoom(*page);
      });
}

}  // namespace lumora
