// The grid of the photos that the last backup could not upload: their
// thumbnails from the device's library (100 x 100 points, prepared ahead by
// a caching image manager once the view is loaded) and a back button. It is
// read-only. Thumbnails are kept in the shared image cache's memory under
// the asset id, so scrolling back asks the library nothing; a thumbnail
// that arrives after its cell was reused for another photo is cached but
// not shown there, and a reused cell shows nothing until its own photo
// arrives.
//
// Ownership: made by its scene inside a navigation controller; the
// delegate is held weakly. Threading: main thread.
// Failure: a photo no longer in the library leaves its cell as it was.
#pragma once

#include <functional>
#include <memory>
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

class LMErrorImageCollectionViewCell : public platform::ui::CollectionViewCell {
 public:
  static constexpr const char* kReuseIdentifier = "PhotoCollectionCell";
  explicit LMErrorImageCollectionViewCell(const platform::ui::Rect& frame);
  void layoutSubviews() override;

  std::string imageIdentifier;
  std::shared_ptr<platform::ui::ImageView> imageView;
};

class LMErrorPhotoCollectionViewController : public platform::ui::ViewController,
                                             public platform::ui::CollectionViewDataSource {
 public:
  static constexpr const char* kSceneIdentifier = "errorPhotoNavigationController";
  static constexpr double kItemSide = 100;

  void loadView() override;
  void viewDidLoad() override;

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

 private:
  std::vector<LMImage> errorImages_;
  std::weak_ptr<LMErrorPhotoCollectionViewControllerDelegate> delegate_;
  std::shared_ptr<platform::ui::CollectionView> collectionView_;
  std::unique_ptr<platform::photos::CachingImageManager> imageManager_;
};

}  // namespace lumora
