// The gallery page's handling of the image sync adapter's reports: the
// overall and per-photo progress, the status line, the cloud lists handed
// to the gallery cache, the duplicate query, and the end of a run.
#include <chrono>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/PrintableText.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "stats/KoStatSDK.h"
#include "utils/LMErrors.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

constexpr const char* kBackupEvent = "备份";

std::string indexText(const char* formatKey, std::uint64_t index, std::uint64_t total) {
  return ui::localizedCountString(formatKey, {static_cast<std::int64_t>(index), static_cast<std::int64_t>(total)});
}

double photoShare(std::uint64_t index, std::uint64_t total) {
  return total == 0 ? 0.2 : 0.2 + static_cast<double>(index) * 0.79 / static_cast<double>(total);
}

}  // namespace

void LMGalleryRootViewController::raiseProgress(double progress) {
  if (!syncLoadViewController_) return;
  auto& label = syncLoadViewController_->processLabel;
  if (label->progress() < static_cast<float>(progress)) label->setProgress(static_cast<float>(progress), true);
}

void LMGalleryRootViewController::installReports() {
  auto cancelled = [this] { return adapter()->isCancelled(); };
  auto setProgress = [this](double progress) {
    if (syncLoadViewController_) syncLoadViewController_->processLabel->setProgress(static_cast<float>(progress), true);
  };
  auto setStatus = [this](const std::string& text) {
    if (syncLoadViewController_) syncLoadViewController_->statusLabel->setText(text);
  };

  willAdapterBeginBackup = [this] {
    backupRunning_ = true;
    photoSyncIndex_ = 0;
    photoSyncNum_ = 0;
    photosHandled_ = 0;
    unreadFolders_ = 0;
    failImages_.clear();
    if (auto owner = delegate()) owner->didControllerBeginSync(*this);
  };
  willAdapterBeginBackupAlbums = [cancelled, setStatus] {
    if (!cancelled()) setStatus(ui::localizedString("正在获取云端信息"));
  };
  // The lists arrive on the adapter's worker, for the account it signed
  // for then; one whose account has signed out by the time it would be
  // saved stays out of the cache that the logout cleared.
  didAdapterGetAllServerAlbums = [this](const std::vector<LMAlbum>& albums, std::optional<std::int64_t> sync,
                                        const std::optional<std::string>& extra) {
    auto gallery = adapter();
    platform::MainQueue::main().async([albums, sync, extra, gallery, user = gallery->passports()->userId()] {
      if (!LMGalleryManager::isSignedInAs(*gallery, user)) return;
      LMGalleryManager::sharedManager().saveAlbumObjectsWithArray(albums, sync, extra, true, nullptr);
    });
  };
  willAdapterCreateLumoraAlbums = [cancelled, setProgress, setStatus](std::uint64_t index, std::uint64_t total) {
    if (cancelled()) return;
    if (total > 0) setProgress(static_cast<double>(index) * 0.1 / static_cast<double>(total));
    setStatus(ui::localizedString("正在备份相册"));
  };
  didAdapterFinishBackupAlbums = [cancelled, setProgress](std::uint64_t) {
    if (!cancelled()) setProgress(0.1);
  };
  willAdapterLoadImages = [cancelled, setProgress] {
    if (!cancelled()) setProgress(0.1);
  };
  didAdapterLoadAlbumImages = [this](const std::vector<LMImage>& images, std::optional<std::int64_t> albumID,
                                     std::optional<std::int64_t> sync, const std::optional<std::string>& extra,
                                     bool resync) {
    if (!albumID) return;
    auto gallery = adapter();
    platform::MainQueue::main().async([images, albumID, sync, extra, resync, gallery,
                                       user = gallery->passports()->userId()] {
      if (!LMGalleryManager::isSignedInAs(*gallery, user)) return;
      LMGalleryManager::sharedManager().saveAlbumImageObjects(images, *albumID, sync, extra, resync, nullptr);
    });
  };
  didAdapterLoadAlbumImagesTotalCount = [cancelled, setProgress](std::uint64_t index, std::uint64_t total) {
    if (cancelled() || total == 0) return;
    setProgress((static_cast<double>(index) / static_cast<double>(total) + 1) * 0.1);
  };
  didAdapterFailReadLibraryFolder = [this](const platform::Error&) { ++unreadFolders_; };
  willAdapterUploadImagesCount = [this, cancelled, setProgress](std::uint64_t count) {
    photoSyncNum_ = count;
    if (!cancelled()) setProgress(0.2);
  };
  willAdapterLoadImageIndex = [this, cancelled, setStatus](std::uint64_t index, std::uint64_t total) {
    if (cancelled() || !syncLoadViewController_) return;
    syncLoadViewController_->photoNumLabel->setHidden(true);
    setStatus(indexText("Load Image Index Format", index, total));
    raiseProgress(photoShare(index, total));
  };
  willAdapterUploadImage = [this, cancelled, setStatus](const LMImage& image, std::uint64_t index,
                                                       std::uint64_t total) {
    if (cancelled() || !syncLoadViewController_) return;
    auto& bar = syncLoadViewController_->photoNumLabel;
    bar->setHidden(false);
    bar->setPrefixStr(platform::printableText(image.fileName.value_or("")) + " ");
    bar->setProgress(0, false);
    setStatus(indexText("Backup Image Index Format", index, total));
    raiseProgress(photoShare(index, total));
  };
  serverImageInSameAlbumImage = [this](const LMImage& image) { return serverImage(image); };
  didAdapterUploadImageBytesWritten = [this, cancelled](const LMImage&, std::int64_t, std::int64_t written,
                                                        std::int64_t expected) {
    // Nothing expected is no progress to show: the bar stays as it is.
    if (cancelled() || !syncLoadViewController_ || expected <= 0) return;
    auto& bar = syncLoadViewController_->photoNumLabel;
    const float share = static_cast<float>(static_cast<double>(written) / static_cast<double>(expected));
    if (bar->progress() < share) bar->setProgress(share, true);
  };
  didAdapterUploadImage = [this, cancelled, setStatus](const std::optional<LMImage>&, std::uint64_t index,
                                                      std::uint64_t total) {
    photoSyncIndex_ = index;
    photosHandled_ = index + 1;
    if (cancelled() || !syncLoadViewController_) return;
    setStatus(indexText("Backup Image Index Format", index + 1, total));
    syncLoadViewController_->photoNumLabel->setProgress(1.0f, false);
    raiseProgress(photoShare(index + 1, total));
  };
  didAdapterFailUploadImage = [this, cancelled](const std::optional<LMImage>&, const platform::Error&,
                                                std::uint64_t index, std::uint64_t total) {
    photoSyncIndex_ = index;
    photosHandled_ = index + 1;
    if (!cancelled()) raiseProgress(photoShare(index + 1, total));
  };
  didAdapterFinishBackupImages = [this](const std::vector<LMImage>& failed, std::uint64_t total) {
    finishRun(failed, total);
  };
  didAdapterFailBackupImages = [this](const platform::Error& error) { failRun(error); };
  didSyncIgnoreGalleryWithAdapter = [this](LMImageSyncAdapter&) {
    std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
    platform::MainQueue::main().async([weak] {
      if (auto page = weak.lock()) page->delayPerformSyncGalleryTask();
    });
  };

  didSyncLoadViewControllerCompleted = [this](ui::ViewController&) {
    if (auto owner = delegate()) owner->didControllerEndSync(*this);
  };
  didSyncLoadViewControllerCancelled = [this](ui::ViewController&) {
    auto gallery = adapter();
    if (!gallery->isSyncing() || gallery->isCancelled()) return;
    gallery->suspendSync();
    const std::string message =
        photoSyncNum_ <= photoSyncIndex_ + 1
            ? ui::localizedString("Cancel Backup Info")
            : ui::localizedCountString("Cancel Backup Info Format",
                                       static_cast<std::int64_t>(photoSyncNum_ - 1 - photoSyncIndex_));
    showAlert("停止备份", "", {"关闭", "停止备份"}, true, message);
  };
  didCancelErrorPhotoCollectionViewController = [this] { dismissViewController(true); };
}

std::optional<LMImage> LMGalleryRootViewController::serverImage(const LMImage& image) {
  if (!image.sha1 || !image.size || !image.serverGroupID) return std::nullopt;
  auto stored = LMGalleryManager::sharedManager().getImageBySha1(*image.sha1, *image.size, *image.serverGroupID);
  if (!stored) return std::nullopt;
  LMImage found;
  found.serverID = stored->serverID;
  found.sync = stored->sync;
  found.sha1 = stored->sha1;
  return found;
}

bool LMGalleryRootViewController::endRunWithoutScreen() {
  if (syncLoadViewController_ && !syncLoadViewController_->isStop()) return false;
  backupWWAN_ = false;
  if (auto owner = delegate()) owner->didControllerEndSync(*this);
  return true;
}

void LMGalleryRootViewController::finishRun(const std::vector<LMImage>& failed, std::uint64_t totalCount) {
  backupRunning_ = false;
  updateBackupImageNum();
  // The photos of the run that went up: the failed ones are not among them.
  const auto failedCount = static_cast<std::uint64_t>(failed.size());
  const std::int64_t done = static_cast<std::int64_t>(totalCount > failedCount ? totalCount - failedCount : 0);
  notifyBackupGalleryWithSuccessCount(done, static_cast<std::int64_t>(failedCount), false);
  LMAppSettingConfig::sharedConfig().setLastBackupGalleryTime(
      std::chrono::duration<double>(platform::Clock::current()->now().time_since_epoch()).count());
  raiseProgress(0.99);
  if (endRunWithoutScreen()) return;
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  syncLoadViewController_->endSyncAnimationWithSuccess(
      [weak, failed, totalCount] {
        auto page = weak.lock();
        if (!page) return;
        page->backupWWAN_ = false;
        // Photos in a folder that could not be read were not backed up: the
        // run is not told complete.
        if (page->unreadFolders_ > 0) {
          page->syncLoadViewController_->statusLabel->setText(ui::localizedCountString(
              "Library Folders Unread Format", static_cast<std::int64_t>(page->unreadFolders_)));
        }
        if (totalCount == 0 || failed.empty()) return;
        page->failImages_ = failed;
        auto& link = page->syncLoadViewController_->linkLabel;
        link->setPrefixString(ui::localizedCountString("Backup Image Error Format",
                                                       static_cast<std::int64_t>(failed.size())),
                              ui::localizedString("查看详情"));
        link->setHidden(false);
      },
      nullptr);
}

void LMGalleryRootViewController::failRun(const platform::Error& error) {
  backupRunning_ = false;
  updateBackupImageNum();
  // What was handled before the stop; nothing when no photo was reached.
  const auto handled = static_cast<std::int64_t>(photosHandled_);
  const auto left = static_cast<std::int64_t>(photoSyncNum_ > photosHandled_ ? photoSyncNum_ - photosHandled_ : 0);
  notifyBackupGalleryWithSuccessCount(handled, left, true);
  if (endRunWithoutScreen()) return;
  std::weak_ptr<LMGalleryRootViewController> weak = weakSelf();
  syncLoadViewController_->endSyncAnimationWithSuccess(nullptr, [weak, error] {
    if (auto page = weak.lock()) page->failureReaction(error);
  });
}

void LMGalleryRootViewController::failureReaction(const platform::Error& error) {
  if (auto owner = delegate()) owner->didControllerEndSync(*this);
  backupWWAN_ = false;
  const bool local = error.domain() == kLMLocalErrorDomain;
  if (local && error.code() == -10012) return;
  if (local && error.code() == -10013) {
    KoStatSDK::recordCountEvent("fail_photo_authority", kBackupEvent);
    showAlert("No Photos Authority", "No Photos Authority Message", {"我知道了"}, false);
  } else if (error.domain() == kLMServerErrorDomain && error.code() == 50006) {
    KoStatSDK::recordCountEvent("fail_photo_space_full", kBackupEvent);
    showAlert("存储空间已满", "Backup Space Full Info", {"我知道了", "去访问"}, true);
  } else if (error.code() == 70016) {
    KoStatSDK::recordCountEvent("fail_relogin", kBackupEvent);
    platform::NotificationCenter::defaultCenter().post(kLogoutNotification, platform::Json{{"show", false}});
    presentLogin();
  } else if (error.code() == 81003) {
    KoStatSDK::recordCountEvent("fail_2step", kBackupEvent);
    pushTwoStepScreen(*this, newLoginDelegate());
  } else {
    auto message = LMCustomUtils::messageForURLError(error, kBackupEvent);
    auto alert = ui::AlertView::alert(ui::localizedString("备份失败"),
                                      message.value_or(ui::localizedString("Backup Fail Info")), std::nullopt,
                                      {ui::localizedString("我知道了")});
    alert->show();
  }
}

void LMGalleryRootViewController::notifyBackupGalleryWithSuccessCount(std::int64_t successCount,
                                                                      std::int64_t failCount, bool isCancel) {
  if (successCount < 1) return;
  std::optional<std::string> message;
  if (!isCancel) {
    message = ui::localizedCountString("备份照片结果样式1", successCount);
  } else if (failCount >= 1) {
    message = ui::localizedCountString("备份照片结果样式3", {successCount, failCount});
  }
  // A stop with nothing left over has no text: nothing is scheduled.
  if (message) LMCustomUtils::localNotifWithMessage(*message);
}

void LMGalleryRootViewController::checkDetailsGesture(ui::GestureRecognizer& recognizer) {
  if (recognizer.state() != ui::GestureRecognizer::State::Ended || !syncLoadViewController_) return;
  auto& link = syncLoadViewController_->linkLabel;
  if (!link->linkRect().contains(recognizer.locationInView(link.get()))) return;
  auto scene = LMStoryboard::instantiateViewControllerWithIdentifier(LMErrorPhotoCollectionViewController::kSceneIdentifier);
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(scene);
  auto grid = navigation ? std::dynamic_pointer_cast<LMErrorPhotoCollectionViewController>(navigation->topViewController())
                         : nullptr;
  if (!grid) return;
  grid->setErrorImages(failImages_);
  grid->setDelegate(std::static_pointer_cast<LMErrorPhotoCollectionViewControllerDelegate>(
      std::static_pointer_cast<LMGalleryRootViewController>(shared_from_this())));
  presentViewController(navigation, true);
}

}  // namespace lumora
