// The full-screen photo browser the album photo grid opens on a tap: a
// horizontal pager of zoomable pages (never more than three: a window of
// three pages re-centred after each page turn, the page that falls out
// recycled), a translucent top bar with the back button and "index/count",
// and the toolbar that downloads the photo into the phone's library or
// deletes it from the cloud. It reads the grid's photo list and hears of
// rows that left or changed from the grid.
//
// Ownership: made by the scene registry; shown as a child of the key
// window's root controller (its view over everything), removed when it
// closes. The delegate (the grid) is held weakly.
// Threading: main thread; the download runs on the image sync adapter's task
// queue and reports back on the main queue.
// Failure: download and delete failures are shown in alerts; a cancelled
// download is silent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/storage/FetchedResultsController.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"
#include "screens/common/LMCustomNavigationBar.h"
#include "screens/gallery/LMDownloadNetworkGuard.h"
#include "screens/gallery/LMGalleryToolBar.h"
#include "screens/gallery/LMPhotoView.h"

namespace lumora {

class LMImageSyncAdapter;

// What the browser asks of the grid. Every method is optional.
class LMGalleryPhotoBrowseViewControllerDelegate {
 public:
  virtual ~LMGalleryPhotoBrowseViewControllerDelegate() = default;
  // Where the grid shows the photo (zero: nowhere).
  virtual platform::ui::Rect photoViewFrameWithIndex(std::size_t index) {
    (void)index;
    return {};
  }
  virtual void hideStatusBar(bool hidden) { (void)hidden; }
  virtual void didPhotoBrowseViewDisappear() {}
  virtual void didDeleteAllPhotos() {}
};

class LMGalleryPhotoBrowseViewController : public platform::ui::ViewController,
                                           public platform::ui::ScrollViewDelegate,
                                           public LMPhotoViewDelegate,
                                           public LMGalleryToolBarDelegate {
 public:
  static constexpr const char* kSceneIdentifier = "galleryPhotoBrowseViewController";
  static constexpr int kPageTagBase = 1000;
  static constexpr double kAnimation = 0.3;

  void setDelegate(std::weak_ptr<LMGalleryPhotoBrowseViewControllerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  // The grid's photo list (section 0, in the grid's order).
  void setFetchedResultsController(std::shared_ptr<platform::objectstore::FetchedResultsController> controller);
  const std::shared_ptr<platform::objectstore::FetchedResultsController>& fetchedResultsController() const {
    return fetchedResultsController_;
  }
  // Adds the view to the key window and the browser to the window's root.
  void show();
  std::size_t currentPhotoIndex() const { return currentPhotoIndex_; }
  void setCurrentPhotoIndex(std::size_t index);
  // The photo at `row` left the list (already shorter).
  void deletePhotoIndex(std::size_t row);
  // The photo at `row` changed.
  void updatePhotoIndex(std::size_t row);
  void cancelCheck();
  // Starts a download after the space check.
  void downloadPhoto(const std::shared_ptr<LMImageObject>& photo);
  // A failure's alert: the POSIX no-space text, the screens' message for
  // the error, else `defaultMessage`.
  void presentTitle(const std::string& title, const std::string& defaultMessage, const platform::Error& error);
  // The shared image sync adapter unless a test gave another.
  std::shared_ptr<LMImageSyncAdapter> adapter() const;
  void setAdapter(std::shared_ptr<LMImageSyncAdapter> adapter) { adapter_ = std::move(adapter); }

  std::size_t photoIndex() const { return photoIndex_; }
  bool isBackupWWAN() const { return networkGuard_ && networkGuard_->isBackupWWAN(); }
  const std::shared_ptr<platform::ui::ScrollView>& photoScrollView() const { return photoScrollView_; }
  const std::shared_ptr<LMCustomNavigationBar>& navigationBar() const { return navigationBar_; }
  const std::shared_ptr<LMGalleryToolBar>& toolBar() const { return toolBar_; }
  const std::shared_ptr<platform::ui::Label>& titleLabel() const { return titleLabel_; }
  // The mobile-data prompt on screen, or nullptr.
  std::shared_ptr<platform::ui::AlertView> alertView() const {
    return networkGuard_ ? networkGuard_->alertView() : nullptr;
  }
  // The pages in the pager, by photo index.
  std::vector<std::pair<std::size_t, std::shared_ptr<LMPhotoView>>> visiblePages() const;

  // The controller.
  void loadView() override;
  void viewDidLoad() override;
  void viewWillLayoutSubviews() override;
  bool shouldAutorotate() const override { return true; }
  unsigned supportedInterfaceOrientations() const override {
    return platform::ui::kOrientationMaskAllButUpsideDown;
  }
  void willRotateToInterfaceOrientation(platform::ui::InterfaceOrientation orientation, double duration) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;

  // The pager.
  void scrollViewDidScroll(platform::ui::ScrollView&) override;
  // The pages.
  void photoViewWillHide(LMPhotoView&) override;
  void photoViewSingleTap(LMPhotoView&) override;
  void photoViewDidEndZoom(LMPhotoView&) override;
  bool shouldPhotoViewAnimate(LMPhotoView& page) override;
  platform::ui::Rect animateFrameWithPhotoView(LMPhotoView&) override;
  // The toolbar.
  void didPressGalleryToolBarButton(platform::ui::Button& button, unsigned index) override;

 protected:
  // The photo list: how many photos, and a page given the photo at an index.
  virtual std::size_t photoCount() const;
  virtual void givePagePhoto(LMPhotoView& page, std::size_t index);

 private:
  // The pager page that shows `index` among `count` photos.
  static std::size_t pageForIndex(std::size_t index, std::size_t count);
  // The first photo of the window of pages around `index`.
  static std::size_t windowStart(std::size_t index, std::size_t count);
  // Puts the window of pages around the photo shown in order: pages outside
  // it recycled, missing ones placed, the pager sized and scrolled to it.
  void refillWindow();
  void showPhotoViewIndex(std::size_t index, std::size_t page);
  std::shared_ptr<LMPhotoView> pageWithIndex(std::size_t index) const;
  void recyclePage(const std::shared_ptr<LMPhotoView>& page);
  void trimReusable();
  void movePage(const std::shared_ptr<LMPhotoView>& page, std::size_t pagerPage);
  void setPagerOffset(double x);
  void showPhotos();
  void updateIndexLabel();
  bool barsHidden() const;
  void removeBrowser();
  std::shared_ptr<LMImageObject> photoAt(std::size_t index) const;
  std::shared_ptr<LMGalleryPhotoBrowseViewController> self();
  void confirmDelete();
  void startDownload(const std::shared_ptr<LMImageObject>& photo);
  void finishDownload(const std::optional<platform::Error>& error, std::int64_t size, std::uint64_t task);

  std::weak_ptr<LMGalleryPhotoBrowseViewControllerDelegate> delegate_;
  std::shared_ptr<platform::ui::ScrollView> photoScrollView_;
  std::shared_ptr<LMCustomNavigationBar> navigationBar_;
  std::shared_ptr<platform::ui::Label> titleLabel_;
  std::shared_ptr<LMGalleryToolBar> toolBar_;
  std::vector<std::shared_ptr<LMPhotoView>> visiblePhotoViews_;
  std::vector<std::shared_ptr<LMPhotoView>> reusablePhotoViews_;
  std::size_t currentPhotoIndex_ = 0;
  std::size_t photoIndex_ = 0;
  bool isFirstAnimate_ = true;
  bool isRotating_ = false;
  // The browser moves the pager itself: its scroll events are not page turns.
  bool movingPager_ = false;
  std::shared_ptr<platform::objectstore::FetchedResultsController> fetchedResultsController_;
  std::shared_ptr<LMImageObject> deleteImageObject_;
  std::shared_ptr<LMImageObject> downloadImageObject_;
  std::shared_ptr<LMDownloadNetworkGuard> networkGuard_;
  std::shared_ptr<LMImageSyncAdapter> adapter_;
  // Images whose refused large address was asked for again on this screen.
  std::shared_ptr<std::set<std::int64_t>> reRequested_ = std::make_shared<std::set<std::int64_t>>();
};

}  // namespace lumora
