// One cloud album's photos and videos as a grid of square thumbnails,
// newest first, read from the gallery database through a fetched-results
// controller. Every appearance pulls the album's list from the cloud
// behind the pull-to-refresh header; thumbnail addresses are asked for when
// the database has none (and once more, at most, after a load the server
// refused). A tap opens the photo browser over the window, which the grid
// keeps told of rows that left or changed.
//
// Ownership: made by the scene registry and pushed by the album grid; it
// owns its fetched-results controller and the open browser.
// Threading: main thread; the refresh is asked on a global queue.
// Failure: refresh errors only stop the header; a thumbnail that does not
// load leaves its cell grey; a failed fetch is logged.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "platform/storage/FetchedResultsController.h"
#include "platform/ui/CollectionView.h"
#include "platform/ui/RefreshHeaderView.h"
#include "platform/ui/ViewController.h"
#include "screens/gallery/LMFetchedChangesBatch.h"
#include "screens/gallery/LMGalleryObjects.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"

namespace lumora {

class LMPhotoCollectionViewCell;

class LMGalleryPhotoCollectionViewController : public platform::ui::ViewController,
                                               public platform::ui::CollectionViewDataSource,
                                               public platform::ui::CollectionViewDelegate,
                                               public LMGalleryPhotoBrowseViewControllerDelegate {
 public:
  static constexpr const char* kSceneIdentifier = "galleryPhotoCollectionViewController";
  static constexpr const char* kCellIdentifier = "LMPhotoCollectionCell";
  static constexpr const char* kVideoType = "ALAssetTypeVideo";

  ~LMGalleryPhotoCollectionViewController() override;

  // Takes another album (by server id); the same album again changes nothing.
  void setAlbumObject(std::shared_ptr<LMAlbumObject> album);
  const std::shared_ptr<LMAlbumObject>& albumObject() const { return albumObject_; }
  std::shared_ptr<platform::objectstore::FetchedResultsController> fetchedResultsController();
  const std::shared_ptr<platform::ui::CollectionView>& collectionView() const { return collectionView_; }
  const std::shared_ptr<platform::ui::RefreshHeaderView>& refreshHeader() const { return refreshHeader_; }
  const std::shared_ptr<LMGalleryPhotoBrowseViewController>& photoBrowser() const { return browser_; }
  platform::ui::Size itemSize() const { return itemSize_; }

  void refreshImages();
  void cancelCheck();
  // A tap on the cell showing `row`.
  void imageButtonPressed(std::size_t row);

  // The controller.
  void loadView() override;
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void viewWillLayoutSubviews() override;
  bool shouldAutorotate() const override { return true; }
  unsigned supportedInterfaceOrientations() const override {
    return platform::ui::kOrientationMaskAllButUpsideDown;
  }
  bool prefersStatusBarHidden() const override { return statusBarHidden_ || photoBrowseStatusBarHidden_; }
  bool extendsUnderNavigationBar() const override { return true; }
  void willRotateToInterfaceOrientation(platform::ui::InterfaceOrientation orientation, double duration) override;

  // The grid.
  int numberOfItemsInSection(platform::ui::CollectionView&, int section) override;
  std::shared_ptr<platform::ui::CollectionViewCell> cellForItemAtIndexPath(platform::ui::CollectionView& view,
                                                                           platform::ui::IndexPath path) override;
  std::optional<platform::ui::Size> sizeForItemAtIndexPath(platform::ui::CollectionView&,
                                                           platform::ui::IndexPath) override {
    return itemSize_;
  }

  // The browser.
  platform::ui::Rect photoViewFrameWithIndex(std::size_t index) override;
  void hideStatusBar(bool hidden) override { photoBrowseStatusBarHidden_ = hidden; }
  void didPhotoBrowseViewDisappear() override;
  void didDeleteAllPhotos() override;

 private:
  void interfaceInitialize();
  std::shared_ptr<LMImageObject> imageAt(std::size_t row);
  void requestThumbnail(const std::shared_ptr<LMPhotoCollectionViewCell>& cell, std::int64_t imageID,
                        platform::ui::Size size);
  void loadThumbnail(const std::shared_ptr<LMPhotoCollectionViewCell>& cell, const std::shared_ptr<LMImageObject>& image,
                     std::size_t row);
  void willChangeContent();
  void didChangeObject(std::optional<std::size_t> from, platform::objectstore::FetchedResultsChangeType type,
                       std::optional<std::size_t> to);
  void didChangeContent();

  platform::ui::Size itemSize_;
  platform::ui::EdgeInsets itemInsets_;
  bool photoBrowseStatusBarHidden_ = false;
  bool statusBarHidden_ = false;
  std::shared_ptr<LMGalleryPhotoBrowseViewController> browser_;
  std::shared_ptr<LMAlbumObject> albumObject_;
  LMFetchedChangesBatch itemChanges_;
  // Rows of the open browser that left, told to it once the change is over.
  std::vector<std::size_t> browserDeletes_;
  std::shared_ptr<platform::objectstore::FetchedResultsController> fetchedResultsController_;
  std::shared_ptr<platform::objectstore::FetchedResultsControllerDelegate> fetchDelegate_;
  std::shared_ptr<platform::ui::RefreshHeaderView> refreshHeader_;
  std::shared_ptr<platform::ui::CollectionView> collectionView_;
  // Images whose refused thumbnail was asked for again already.
  std::set<std::int64_t> reRequested_;
};

}  // namespace lumora
