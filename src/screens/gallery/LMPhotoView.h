// One page of the photo browser: a zooming scroll view showing one cloud
// photo fitted to the page: the large image from the disk cache when it is
// there, else the cached thumbnail while the large image loads by its
// address (asked of the cloud when the database has none, or once more
// when the server refused the one it has), both drawn upright for the
// photo's EXIF orientation (LMCloudPhotoImage). It zooms open from the grid
// cell the browser names the first time, zooms in on a double tap around
// the tapped point (back out at the largest scale), reports a single tap
// 0.4 s later unless a double tap came meanwhile, and zooms back into the
// cell when closed.
//
// Ownership: a view (create()); the delegate is held weakly. Threading:
// main thread. Nothing here fails: an image that does not load leaves the
// page empty.
#pragma once

#include <cstdint>
#include <memory>
#include <set>

#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/ScrollView.h"
#include "screens/gallery/LMGalleryObjects.h"
#include "screens/gallery/LMThumbnailImageView.h"

namespace lumora {

class LMPhotoView;

// What the page tells the browser. Every method is optional: the defaults
// stand for a delegate that does not answer.
class LMPhotoViewDelegate {
 public:
  virtual ~LMPhotoViewDelegate() = default;
  virtual void photoViewWillHide(LMPhotoView&) {}
  virtual void photoViewImageFinishLoad(LMPhotoView&) {}
  virtual void photoViewSingleTap(LMPhotoView&) {}
  virtual void photoViewDidEndZoom(LMPhotoView&) {}
  virtual bool shouldPhotoViewAnimate(LMPhotoView&) { return false; }
  // The grid cell's rectangle; the zero rectangle for none.
  virtual platform::ui::Rect animateFrameWithPhotoView(LMPhotoView&) { return {}; }
};

class LMPhotoView : public platform::ui::ScrollView, public platform::ui::ScrollViewDelegate {
 public:
  static constexpr double kMaximumZoomScale = 1.2;
  static constexpr double kOpenDuration = 0.3;
  static constexpr double kCloseDuration = 0.25;
  static constexpr double kSingleTapDelay = 0.4;
  static constexpr double kPlaySize = 40;

  static constexpr const char* kVideoType = "ALAssetTypeVideo";

  using ScrollView::ScrollView;
  ~LMPhotoView() override;
  static std::shared_ptr<LMPhotoView> create(const platform::ui::Rect& frame = {});

  const std::shared_ptr<LMImageObject>& photo() const { return photo_; }
  // Shows `photo` (the previous load cancelled).
  void setPhoto(std::shared_ptr<LMImageObject> photo);
  // The images whose refused address was asked for again already, shared by
  // the pages of one screen.
  void setReRequested(std::shared_ptr<std::set<std::int64_t>> ids) { reRequested_ = std::move(ids); }
  void clearImageView();
  void showImage();

  void setPhotoViewDelegate(std::weak_ptr<LMPhotoViewDelegate> delegate) { delegate_ = std::move(delegate); }
  const std::shared_ptr<LMThumbnailImageView>& imageView() const { return imageView_; }
  const std::shared_ptr<platform::ui::ImageView>& playView() const { return playView_; }

  // Fits the image shown to the page (scales, content size, frame), zooming
  // open from the grid cell when the delegate asks for it.
  void adjustFrame();
  // Zooms back into the grid cell (or at once without one) and reports.
  void hidePhotoView();
  // The rectangle around `center` that shows at `scale`.
  platform::ui::Rect zoomRectForScale(double scale, platform::ui::Point center) const;

  void handleSingleTap(platform::ui::GestureRecognizer& recognizer);
  void handleDoubleTap(platform::ui::GestureRecognizer& recognizer);

  std::shared_ptr<platform::ui::View> viewForZoomingInScrollView(platform::ui::ScrollView&) override;
  void scrollViewDidZoom(platform::ui::ScrollView&) override;
  void layoutSubviews() override;

 protected:
  std::shared_ptr<LMPhotoViewDelegate> delegate() const { return delegate_.lock(); }

 private:
  void initialize();
  void checkSingleTap();
  bool isVideo() const;
  void requestLargeURL(bool afterFailure);

  std::weak_ptr<LMPhotoViewDelegate> delegate_;
  std::shared_ptr<LMThumbnailImageView> imageView_;
  std::shared_ptr<platform::ui::ImageView> playView_;
  bool doubleTap_ = false;
  std::shared_ptr<LMImageObject> photo_;
  std::shared_ptr<std::set<std::int64_t>> reRequested_ = std::make_shared<std::set<std::int64_t>>();
};

}  // namespace lumora
