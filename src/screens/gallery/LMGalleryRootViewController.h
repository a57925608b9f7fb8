// The gallery page: how many photos still wait for backup, the backup
// button, the network rule (a backup on mobile data asks first, and a move
// to mobile data suspends a running one until the user allows it or Wi-Fi
// comes back; the rule and its answer are for backups only: the screens
// that download photos ask for their own downloads), photo-library access
// and sign-in, background and deferred
// backups, and the progress screen with the run's reports and result
// (this class's +Reports file). It is the image sync adapter's delegate.
//
// A second instance whose view is never loaded serves the app delegate's
// background wake-ups (backupGalleryOnBackground,
// cancelBackgroundBackupGalleryForWWAN).
//
// Ownership: made by its scene (std::make_shared); owns its progress
// screen and the delegate of the login screen it presents; holds the adapter (the shared one unless set) and its own
// reachability listener, removed when it goes.
// Threading: main thread; the adapter's reports arrive there, except the
// duplicate query, which runs on the adapter's worker and reads the gallery
// cache through its read connection.
// Failure: shown as alerts; nothing is retried by itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cloud/model/LMImage.h"
#include "cloud/sync/LMImageSyncAdapterDelegate.h"
#include "platform/app/BackgroundTask.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/Label.h"
#include "screens/account/LMLoginViewControllerDelegate.h"
#include "screens/common/LMBackgroundPages.h"
#include "screens/common/LMCustomButton.h"
#include "screens/common/LMGalleryAlbumCollectionViewControllerDelegate.h"
#include "screens/common/LMSyncLoadViewControllerDelegate.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGallerySyncLoadViewController.h"
#include "screens/shell/LMSynBaseViewController.h"

namespace lumora {

class LMImageSyncAdapter;

class LMGalleryRootViewController : public LMSynBaseViewController,
                                    public LMImageSyncAdapterDelegate,
                                    public LMSyncLoadViewControllerDelegate,
                                    public LMErrorPhotoCollectionViewControllerDelegate,
                                    public LMBackgroundGalleryPage,
                                    public LMGalleryAlbumCollectionViewControllerDelegate {
 public:
  static constexpr const char* kSceneIdentifier = "galleryRootViewController";
  static constexpr const char* kBackupGalleryWifiStatusNotification = "backupGalleryWifiStatusNotif";
  static constexpr const char* kDidLoginNotification = "LMPassportDidLoginNotification";
  static constexpr const char* kLogoutNotification = "LMPassportLogoutNotification";
  static constexpr double kDeferredBackupDelay = 60.0;

  LMGalleryRootViewController();
  ~LMGalleryRootViewController() override;

  std::shared_ptr<LMImageSyncAdapter> adapter() const;
  void setAdapter(std::shared_ptr<LMImageSyncAdapter> adapter) { adapter_ = std::move(adapter); }

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;

  void addNotifyView() override;
  void removeNotifyView() override;
  void interfaceInitialize();
  // The button (a user's tap) and the checked start.
  void backupGalleryPressed();
  void backupGallery();
  void backupGalleryOnBackground() override;
  void cancelBackupGallery();
  void cancelBackgroundBackupGalleryForWWAN() override;
  void backupGalleryWifiStatusChange();
  void checkAuthorizeGallery(std::function<void()> block);
  void hideSyncLoadViewController(bool hide);
  void updateBackupImageNum();
  void displayBackupImageNum(std::uint64_t count);
  void registerNotificationCenter();
  void galleryChangedNotification();
  void delayPerformSyncGalleryTask();
  void performSyncGalleryTask();
  void clearLumoraAccountData();
  void alertView(platform::ui::AlertView& alert, int buttonIndex) override;
  void didSuccessLogin();
  void didCancelLogin();
  void didCancelGalleryBrowse() override { dismissGalleryBrowse(*this); }
  void reachabilityStatusChanged(platform::ReachabilityStatus status);

  // The run's reports (+Reports).
  void notifyBackupGalleryWithSuccessCount(std::int64_t successCount, std::int64_t failCount, bool isCancel);
  void checkDetailsGesture(platform::ui::GestureRecognizer& recognizer);
  std::optional<LMImage> serverImage(const LMImage& image);

  // Read by tests and the scene.
  std::shared_ptr<LMCustomButton> backupButton;
  std::shared_ptr<platform::ui::ImageView> imageView;
  std::shared_ptr<platform::ui::Label> numLabel;
  std::shared_ptr<platform::ui::Label> numInfoLabel;
  std::shared_ptr<platform::ui::Label> infoLabel;
  const std::shared_ptr<LMGallerySyncLoadViewController>& syncLoadViewController() const {
    return syncLoadViewController_;
  }
  const std::shared_ptr<platform::ui::AlertView>& mobileDataAlert() const { return alertView_; }
  const std::vector<LMImage>& failImages() const { return failImages_; }
  bool isBackupWWAN() const { return backupWWAN_; }
  std::int64_t networkStatus() const { return networkStatus_; }
  // A backup run of the adapter is under way (between its first and last
  // report): the one job this page's network rule acts on.
  bool isBackupRunning() const { return backupRunning_; }
  // The offset of numLabel's top from the view's top for a screen height,
  // and the album picture's name ("" for none).
  static double numLabelOffsetForHeight(double height);
  static std::string albumPictureForHeight(double height);

 private:
  void installReports();
  void showMobileDataPrompt();
  void showAlert(const std::string& titleKey, const std::string& messageKey, std::vector<std::string> buttonKeys,
                 bool withDelegate, std::optional<std::string> message = std::nullopt);
  void presentLogin();
  // A fresh delegate of the sign-in screens reporting to this page.
  const std::shared_ptr<LMLoginViewControllerDelegate>& newLoginDelegate();
  void endBackgroundTask();
  void finishRun(const std::vector<LMImage>& failed, std::uint64_t totalCount);
  void failRun(const platform::Error& error);
  // The end of a run whose progress screen does not animate (a background
  // or deferred run): no result reaction, but the permission and the
  // container's lock end with it. False when the screen animates.
  bool endRunWithoutScreen();
  void failureReaction(const platform::Error& error);
  void raiseProgress(double progress);
  std::weak_ptr<LMGalleryRootViewController> weakSelf();

  std::shared_ptr<LMImageSyncAdapter> adapter_;
  std::int64_t networkStatus_ = -1;
  std::shared_ptr<platform::ui::AlertView> alertView_;
  std::shared_ptr<LMGallerySyncLoadViewController> syncLoadViewController_;
  std::vector<LMImage> failImages_;
  std::uint64_t photoSyncIndex_ = 0;
  std::uint64_t photoSyncNum_ = 0;
  std::uint64_t photosHandled_ = 0;  // uploaded or failed in this run
  std::uint64_t unreadFolders_ = 0;  // of the library, in this run
  bool isRegisterGalleryNotice_ = false;
  bool isCaculateBackupImage_ = false;
  bool backupWWAN_ = false;
  bool backupRunning_ = false;
  std::uint64_t deferredGeneration_ = 0;
  platform::BackgroundTask::Identifier backgroundTask_ = platform::BackgroundTask::kInvalid;
  std::optional<platform::ReachabilityMonitor::ListenerToken> reachabilityToken_;
  platform::ObserverToken wifiObserver_ = 0;
  std::shared_ptr<platform::photos::ChangeObserver> photoObserver_;
  // The login screen's delegate while this page presents it.
  std::shared_ptr<LMLoginViewControllerDelegate> loginDelegate_;
};

}  // namespace lumora
