// The grid of the photos that the last backup could not upload: their
// thumbnails from the device's library (100 x 100 points) and a back
// button. It is read-only. However many photos failed, only those near the
// screen are asked of the library: each tile shown asks for its photo, and
// the photos within half a screen above and below what is shown are asked
// for ahead, nearest first; a photo that leaves that reach before it was
// drawn is no longer asked for, and a tile given another photo drops the
// request of its last one. Each photo is drawn once, at the size of its
// tile in the screen's pixels (a tile's request and the one made ahead
// wait for the same drawing, through a caching image manager). Thumbnails
// are kept in the shared image cache's memory under the asset id, so
// scrolling back asks the library nothing; the page keeps there the
// kKeptThumbnailPixels of them shown or made last, and takes them away
// when it goes. A thumbnail that arrives after its cell was reused for
// another photo is cached but not shown there, and a reused cell shows its
// bare grey tile until its own photo arrives.
//
// Ownership: made by its scene inside a navigation controller; the
// delegate is held weakly. Threading: main thread.
// Failure: a photo that cannot be drawn (no longer in the library, its
// file gone, unreadable or damaged) has the unavailable-photo mark in its
// tile, so every failed photo has a tile that shows; nothing of it is
// cached, and the library is asked again when the tile is shown again. A
// request dropped (its tile given another photo, or the page gone) changes
// no tile.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cloud/model/LMImage.h"
#include "platform/photos/CachingImageManager.h"
#include "platform/ui/CollectionView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"

namespace lumora {

class LMErrorPhotoCollectionViewControllerDelegate {
 public:
  virtual ~LMErrorPhotoCollectionViewControllerDelegate() = default;
  std::function<void()> didCancelErrorPhotoCollectionViewController;
};

// One failed photo: its thumbnail over a grey tile, or on that tile the
// mark of a photo that cannot be shown (a picture frame struck through),
// drawn by the kit so that it is sharp at every screen scale.
class LMErrorImageCollectionViewCell : public platform::ui::CollectionViewCell {
 public:
  static constexpr const char* kReuseIdentifier = "PhotoCollectionCell";
  static constexpr const char* kTileColor = "898989";
  explicit LMErrorImageCollectionViewCell(const platform::ui::Rect& frame);
  void layoutSubviews() override;
  void draw(platform::ui::DisplayList& list) const override;
  std::string describeSelf() const override;

  // The thumbnail, or nothing and the unavailable-photo mark.
  void showImage(std::optional<platform::ui::Image> image);
  void showUnavailable();
  bool showsUnavailable() const { return unavailable_; }

  std::string imageIdentifier;
  std::shared_ptr<platform::ui::ImageView> imageView;
  // The request of imageIdentifier's picture while it is not answered.
  platform::photos::ImageRequestID imageRequest = 0;

 private:
  bool unavailable_ = false;
};

class LMErrorPhotoCollectionViewController : public platform::ui::ViewController,
                                             public platform::ui::CollectionViewDataSource {
 public:
  static constexpr const char* kSceneIdentifier = "errorPhotoNavigationController";
  static constexpr double kItemSide = 100;
  // The most thumbnail pixels the page keeps in the shared image cache:
  // some twenty screens of tiles at 2x, eight at 3x.
  static constexpr double kKeptThumbnailPixels = 16'000'000;

  ~LMErrorPhotoCollectionViewController() override;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillLayoutSubviews() override;

  const std::vector<LMImage>& errorImages() const { return errorImages_; }
  void setErrorImages(std::vector<LMImage> images);
  void setDelegate(std::weak_ptr<LMErrorPhotoCollectionViewControllerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  void cancelCheckErrorPhotos();

  const std::shared_ptr<platform::ui::CollectionView>& collectionView() const { return collectionView_; }
  int numberOfItemsInSection(platform::ui::CollectionView& collectionView, int section) override;
  std::shared_ptr<platform::ui::CollectionViewCell> cellForItemAtIndexPath(platform::ui::CollectionView& collectionView,
                                                                           platform::ui::IndexPath indexPath) override;

  // The scene: a navigation controller around a new grid.
  static std::shared_ptr<platform::ui::ViewController> instantiateScene();

  // The size thumbnails are drawn at, in pixels: a tile's side on the
  // main screen.
  static double thumbnailPixels();

 private:
  // The photos within half a screen above and below what is shown
  // asked for ahead, nearest first; those that left that reach no longer.
  void preparePhotosNearTheScreen();
  void stopPreparing();
  // A photo's answer on the main queue: its thumbnail kept.
  static std::optional<platform::ui::Image> thumbnailArrived(
      const std::weak_ptr<LMErrorPhotoCollectionViewController>& page, const std::string& assetID,
      const std::optional<platform::Image>& image);
  // The thumbnail in the shared image cache, as the one shown or made last.
  void keep(const std::string& assetID, const platform::ui::Image& thumbnail);
  void shown(const std::string& assetID);

  std::vector<LMImage> errorImages_;
  std::weak_ptr<LMErrorPhotoCollectionViewControllerDelegate> delegate_;
  std::shared_ptr<platform::ui::CollectionView> collectionView_;
  std::unique_ptr<platform::photos::CachingImageManager> imageManager_;
  // The rows asked for ahead, with their photos and requests.
  struct Preparing {
    platform::photos::Asset asset;
    platform::photos::ImageRequestID request = 0;
  };
  std::map<int, Preparing> preparing_;
  double preparedPixels_ = 0;
  // The page's thumbnails in the shared image cache, the last shown or
  // made first, and their pixels.
  std::list<std::string> kept_;
  std::map<std::string, std::pair<std::list<std::string>::iterator, double>> keptAt_;
  double keptPixels_ = 0;
};

}  // namespace lumora
