// The album grid's download: the selected albums' photo lists brought up to
// date, the mobile-data question, the free-space check, and the adapter's
// download behind the progress panel inside a background task; and the
// error presentation the grid shares with its deletion.
#include <memory>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/app/Application.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "stats/KoStatSDK.h"
#include "utils/LMErrors.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

std::string downloadText(const char* key) { return ui::localizedString(key); }

void downloadNotice(const std::string& title, const std::string& message) {
  ui::AlertView::alert(title, message, downloadText("我知道了"), {})->show();
}

}  // namespace

void LMGalleryAlbumCollectionViewController::downloadButtonPressed() {
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  if (!monitor.isReachable()) {
    networkGuard_->tellOffline();
    return;
  }
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  const std::vector<std::int64_t> selected(selectedItemIDs_.begin(), selectedItemIDs_.end());
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  hud.showWithTitle(downloadText("Calculate Download Photo"), ui::kOrientationMaskPortrait, [weak, selected] {
    platform::globalQueue().async([weak, selected] {
      LMGalleryManager::sharedManager().requestAllImageObjectsWithAlbums(selected);
      platform::MainQueue::main().async([weak] {
        LMProgressHUD::sharedHUD().dismissWithBlock([weak] {
          auto grid = weak.lock();
          if (!grid) return;
          auto& network = platform::ReachabilityMonitor::sharedMonitor();
          if (!network.isReachableViaWiFi() && !grid->networkGuard_->isBackupWWAN()) {
            const std::int64_t total = grid->totalSizeOfDownloadImages();
            if (total >= 1) {
              grid->networkGuard_->askBeforeDownload(ui::stringWithFormat(
                  downloadText("Mobile Network Download Format"), {LMCustomUtils::stringWithByteNum(total)}));
              return;
            }
          }
          grid->downloadAlbums();
        });
      });
    });
  });
}

std::int64_t LMGalleryAlbumCollectionViewController::totalSizeOfDownloadImages() {
  std::int64_t total = 0;
  auto controller = fetchedResultsController();
  for (std::size_t row = 0; row < controller->numberOfObjects(); ++row) {
    auto album = albumAt(row);
    if (!album || !album->serverID() || !selectedItemIDs_.count(*album->serverID())) continue;
    for (const auto& image : album->images()) total += image->imageSize().value_or(0);
  }
  return total;
}

LMGalleryAlbumCollectionViewController::DownloadRequest LMGalleryAlbumCollectionViewController::downloadRequest() {
  DownloadRequest request;
  auto& manager = LMGalleryManager::sharedManager();
  auto controller = fetchedResultsController();
  for (std::size_t row = 0; row < controller->numberOfObjects(); ++row) {
    auto album = albumAt(row);
    if (!album || !album->serverID() || !selectedItemIDs_.count(*album->serverID())) continue;
    const auto images = album->images();
    if (images.empty()) continue;
    request.albums.push_back(manager.albumByAlbumObject(*album));
    auto& list = request.albumImages[*album->serverID()];
    for (const auto& image : images) {
      list.push_back(manager.imageByImageObject(*image));
      request.size += list.back().size.value_or(0);
    }
  }
  return request;
}

void LMGalleryAlbumCollectionViewController::downloadAlbums() {
  const DownloadRequest request = downloadRequest();
  if (!LMCustomUtils::hasSpaceForDownload(request.size)) {
    downloadNotice("", downloadText("No Enough Space Left On Device"));
    return;
  }
  auto adapter = this->adapter();
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  hud.showProgressWithTitle(
      downloadText("Download To Phone"), request.size, ui::kOrientationMaskPortrait, [adapter] { adapter->cancelSync(); },
      [weak, request] {
        if (auto grid = weak.lock()) grid->startDownload(request);
      });
}

void LMGalleryAlbumCollectionViewController::startDownload(const DownloadRequest& request) {
  auto adapter = this->adapter();
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  // The task's identifier, shared by its expiry and the download's end
  // (both on the main queue): whichever comes first ends it.
  auto task = std::make_shared<platform::BackgroundTask::Identifier>(platform::BackgroundTask::kInvalid);
  *task = platform::BackgroundTask::begin("download albums", [weak, adapter, task] {
    adapter->cancelSync();
    LMProgressHUD::sharedHUD().dismiss();
    if (auto grid = weak.lock()) grid->networkGuard_->downloadEnded();
    platform::BackgroundTask::end(*task);
    *task = platform::BackgroundTask::kInvalid;
  });
  std::weak_ptr<LMDownloadNetworkGuard> guard = networkGuard_;
  adapter->performTaskBlock([adapter, request, weak, task, guard] {
    if (auto running = guard.lock()) running->downloadBegan();
    adapter->downloadAlbums(
        request.albums, request.albumImages, request.size,
        [](std::int64_t, std::int64_t read, std::int64_t expected) {
          if (platform::Application::shared().applicationState() != platform::ApplicationState::Active) return;
          platform::MainQueue::main().async(
              [read, expected] { LMProgressHUD::sharedHUD().setProgressWithTotalBytesRead(read, expected); });
        },
        [weak, task, size = request.size](const std::vector<LMImage>& failed, const std::optional<platform::Error>& error) {
          // The permission is the screen's: it is cleared where the screen
          // lives, on the main queue.
          platform::MainQueue::main().async([weak, task, size, failed, error] {
            auto grid = weak.lock();
            if (grid) {
              grid->finishDownload(failed, error, size, *task);
            } else {
              platform::BackgroundTask::end(*task);
            }
            *task = platform::BackgroundTask::kInvalid;
          });
        });
  });
}

void LMGalleryAlbumCollectionViewController::finishDownload(const std::vector<LMImage>& failed,
                                                            const std::optional<platform::Error>& error,
                                                            std::int64_t size, platform::BackgroundTask::Identifier task) {
  networkGuard_->downloadEnded();
  auto& hud = LMProgressHUD::sharedHUD();
  if (!error && failed.empty()) {
    hud.dismissProgressWithFileSize(size, [task] { platform::BackgroundTask::end(task); });
    return;
  }
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  const auto failedCount = static_cast<std::int64_t>(failed.size());
  hud.dismissWithBlock([weak, error, failedCount, task] {
    auto grid = weak.lock();
    if (grid && error) {
      const bool cancelled = error->domain() == kLMLocalErrorDomain && error->code() == kLMLocalErrorCancelled;
      if (!cancelled) grid->presentTitle(downloadText("Download Photo Fail"), downloadText("Download Fail Info"), *error);
    } else if (grid) {
      downloadNotice(downloadText("Download Albums"),
                     ui::localizedCountString("Download Albums Fail Num Info", failedCount));
    }
    platform::BackgroundTask::end(task);
  });
}

void LMGalleryAlbumCollectionViewController::presentTitle(const std::string& title, const std::string& defaultMessage,
                                                          const platform::Error& error) {
  std::optional<std::string> message;
  if (error.domain() == platform::kPOSIXErrorDomain && error.code() == 28) {
    message = downloadText("No Space Left On Device");
  } else if (error.code() == 70016) {
    KoStatSDK::recordCountEvent("fail_relogin", "备份");
    platform::NotificationCenter::defaultCenter().post("LMPassportLogoutNotification", platform::Json{{"show", false}});
    presentLogin();
    return;
  } else if (error.code() == 81003) {
    KoStatSDK::recordCountEvent("fail_2step", "备份");
    pushTwoStepScreen(*this, newLoginDelegate());
    return;
  } else {
    message = LMCustomUtils::messageForURLError(error, "相册下载");
    if (!message) message = defaultMessage;
  }
  if (message && !message->empty()) downloadNotice(title, *message);
}

}  // namespace lumora
