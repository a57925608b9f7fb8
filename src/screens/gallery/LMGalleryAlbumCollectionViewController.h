// "我的云相册": the user's cloud albums as the gallery database caches them,
// a grid of album cells refreshed from the cloud each time it appears. A tap
// opens an album's photo grid; a long press or "多选" starts selection, in
// which the toolbar slides up to delete the selected albums from the cloud
// or download them into the phone's library (this class's +Download file).
// The cloud's own albums ("snapshot" with id 2, "untitled" with id 1) are
// shown under their localised names and never deleted.
//
// Ownership: its scene is a navigation controller with the grid on top; the
// presenter keeps it. The delegate is held weakly; the grid owns its
// fetched-results controller, toolbar and network guard (a reachability
// listener of its own, removed when the grid goes).
// Threading: main thread; the album refresh, the size refresh and the delete
// walk run on a global queue, the download on the image sync adapter's task
// queue; their results come back on the main queue.
// Failure: a failed album listing, delete and download failures are shown
// in alerts (failed albums stay selected), and a failed listing is made
// again when the network comes back; a cancelled download is silent; a
// failed fetch is logged and leaves the grid empty.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/model/LMAlbum.h"
#include "cloud/model/LMImage.h"
#include "platform/Error.h"
#include "platform/app/BackgroundTask.h"
#include "platform/storage/FetchedResultsController.h"
#include "platform/ui/CollectionView.h"
#include "platform/ui/ViewController.h"
#include "screens/account/LMLoginViewControllerDelegate.h"
#include "screens/common/LMGalleryAlbumCollectionViewControllerDelegate.h"
#include "screens/gallery/LMDownloadNetworkGuard.h"
#include "screens/gallery/LMFetchedChangesBatch.h"
#include "screens/gallery/LMGalleryObjects.h"
#include "screens/gallery/LMGalleryToolBar.h"

namespace lumora {

class LMAlbumCollectionViewCell;
class LMImageSyncAdapter;

class LMGalleryAlbumCollectionViewController : public platform::ui::ViewController,
                                               public platform::ui::CollectionViewDataSource,
                                               public platform::ui::CollectionViewDelegate,
                                               public LMGalleryToolBarDelegate {
 public:
  static constexpr const char* kSceneIdentifier = "galleryDownloadViewController";
  static constexpr const char* kCellIdentifier = "LMAlbumCollectionCell";
  static constexpr double kToolBarSlide = 0.3;
  static constexpr double kToolBarLift = 14;

  // The scene: a navigation controller with a new grid on top.
  static std::shared_ptr<platform::ui::ViewController> instantiateScene();
  ~LMGalleryAlbumCollectionViewController() override;

  void setDelegate(std::weak_ptr<LMGalleryAlbumCollectionViewControllerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  // A system album: the cloud's own "snapshot" (2) or "untitled" (1).
  static bool isSystemAlbum(const std::optional<std::string>& name, std::optional<std::int64_t> serverID);

  bool isBeginSelectAlbums() const { return isBeginSelectAlbums_; }
  void setIsBeginSelectAlbums(bool on);
  const std::set<std::int64_t>& selectedItemIDs() const { return selectedItemIDs_; }
  const std::shared_ptr<LMGalleryToolBar>& toolBar() const { return toolBar_; }
  const std::shared_ptr<platform::ui::CollectionView>& collectionView() const { return collectionView_; }
  const std::shared_ptr<LMDownloadNetworkGuard>& networkGuard() const { return networkGuard_; }
  bool isBackupWWAN() const { return networkGuard_ && networkGuard_->isBackupWWAN(); }
  platform::ui::Size itemSize() const { return itemSize_; }
  platform::ui::EdgeInsets itemInsets() const { return itemInsets_; }
  std::shared_ptr<platform::objectstore::FetchedResultsController> fetchedResultsController();

  // The shared image sync adapter unless a test gave another.
  std::shared_ptr<LMImageSyncAdapter> adapter() const;
  void setAdapter(std::shared_ptr<LMImageSyncAdapter> adapter) { adapter_ = std::move(adapter); }

  // The user's actions (a user's tap records its statistics event).
  void albumButtonPressed(std::size_t row);
  void albumButtonLongPressed(std::size_t row);
  void cancelCheck(bool fromUser);
  void cancelSelected();
  void selectAlbums();
  void didPressGalleryToolBarButton(platform::ui::Button& button, unsigned index) override;
  void deleteAlbums();

  // The download (+Download).
  std::int64_t totalSizeOfDownloadImages();
  void downloadAlbums();
  // A failure's alert, or the screen the error asks for (sign-in, two-step).
  void presentTitle(const std::string& title, const std::string& defaultMessage, const platform::Error& error);

  void didSuccessLogin();
  void didCancelLogin();

  // The controller.
  void loadView() override;
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void viewWillLayoutSubviews() override;
  bool shouldAutorotate() const override { return false; }
  unsigned supportedInterfaceOrientations() const override { return platform::ui::kOrientationMaskPortrait; }

  // The grid.
  int numberOfItemsInSection(platform::ui::CollectionView&, int section) override;
  std::shared_ptr<platform::ui::CollectionViewCell> cellForItemAtIndexPath(platform::ui::CollectionView& view,
                                                                           platform::ui::IndexPath path) override;
  std::optional<platform::ui::Size> sizeForItemAtIndexPath(platform::ui::CollectionView&,
                                                           platform::ui::IndexPath) override {
    return itemSize_;
  }

 private:
  // What a download asks of the adapter: the albums in grid order, their
  // images by album id, and the bytes of them all.
  struct DownloadRequest {
    std::vector<LMAlbum> albums;
    std::map<std::int64_t, std::vector<LMImage>> albumImages;
    std::int64_t size = 0;
  };
  void interfaceInitialize();
  // Asks the database for the cloud's album list; a failure is told.
  void refreshAlbums();
  void albumListingFailed(const platform::Error& error);
  std::shared_ptr<LMGalleryAlbumCollectionViewController> self();
  std::shared_ptr<LMAlbumObject> albumAt(std::size_t row);
  void attachRecognizers(const std::shared_ptr<LMAlbumCollectionViewCell>& cell);
  void enableToolBar();
  // Where the toolbar rests: below the view, or lifted in selection mode.
  platform::ui::Rect toolBarFrame();
  void confirmDelete(std::size_t albums, std::uint64_t photos);
  void finishDelete(const std::vector<std::int64_t>& failed);
  void downloadButtonPressed();
  DownloadRequest downloadRequest();
  void startDownload(const DownloadRequest& request);
  void finishDownload(const std::vector<LMImage>& failed, const std::optional<platform::Error>& error,
                      std::int64_t size, platform::BackgroundTask::Identifier task);
  void presentLogin();
  // A fresh delegate of the sign-in screens reporting to this grid.
  const std::shared_ptr<LMLoginViewControllerDelegate>& newLoginDelegate();

  platform::ui::Size itemSize_;
  platform::ui::EdgeInsets itemInsets_;
  bool isBeginSelectAlbums_ = false;
  std::weak_ptr<LMGalleryAlbumCollectionViewControllerDelegate> delegate_;
  std::shared_ptr<LMGalleryToolBar> toolBar_;
  std::set<std::int64_t> selectedItemIDs_;
  LMFetchedChangesBatch changes_;
  std::shared_ptr<platform::objectstore::FetchedResultsController> fetchedResultsController_;
  std::shared_ptr<platform::objectstore::FetchedResultsControllerDelegate> fetchDelegate_;
  std::shared_ptr<platform::ui::CollectionView> collectionView_;
  std::shared_ptr<LMDownloadNetworkGuard> networkGuard_;
  platform::ReachabilityMonitor::ListenerToken networkListener_ = 0;
  // The last album listing failed: the network's return asks again.
  bool listingFailed_ = false;
  std::shared_ptr<LMImageSyncAdapter> adapter_;
  // The login screen's delegate while the grid presents it.
  std::shared_ptr<LMLoginViewControllerDelegate> loginDelegate_;
};

}  // namespace lumora
