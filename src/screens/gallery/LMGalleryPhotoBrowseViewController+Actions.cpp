// The browser's toolbar: deleting the photo shown from the cloud, and
// downloading it into the phone's library with the space check, the
// mobile-data prompt and the pause and resume as the network changes.
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"

#include <atomic>

#include "platform/app/Application.h"
#include "platform/app/BackgroundTask.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/gallery/LMGalleryManager.h"
#include "utils/LMErrors.h"

namespace lumora {

namespace ui = platform::ui;

namespace {


std::string text(const char* key) { return ui::localizedString(key); }

void tell(const std::string& title, const std::string& message) {
  ui::AlertView::alert(title, message, text("我知道了"), {})->show();
}

}  // namespace

std::shared_ptr<LMImageSyncAdapter> LMGalleryPhotoBrowseViewController::adapter() const {
  return adapter_ ? adapter_ : LMImageSyncAdapter::sharedAdapter();
}

void LMGalleryPhotoBrowseViewController::didPressGalleryToolBarButton(ui::Button&, unsigned index) {
  auto photo = photoAt(photoIndex_);
  if (!photo) return;
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak = self();
  if (index == LMGalleryToolBar::kDeleteIndex) {
    deleteImageObject_ = photo;
    ui::AlertView::alert(text("Remove Photos Title"), "", text("取消"), {text("删除")},
                         [weak](ui::AlertView&, int button) {
                           auto browser = weak.lock();
                           if (browser && button == 1) browser->confirmDelete();
                         })
        ->show();
    return;
  }
  const auto status = platform::ReachabilityMonitor::sharedMonitor().networkReachabilityStatus();
  if (status == platform::ReachabilityStatus::NotReachable) {
    networkGuard_->tellOffline();
  } else if (status != platform::ReachabilityStatus::ReachableViaWiFi && !networkGuard_->isBackupWWAN()) {
    downloadImageObject_ = photo;
    const std::string bytes = LMCustomUtils::stringWithByteNum(photo->imageSize().value_or(0));
    networkGuard_->askBeforeDownload(ui::stringWithFormat(text("Mobile Network Download Format"), {bytes}));
  } else {
    downloadPhoto(photo);
  }
}

void LMGalleryPhotoBrowseViewController::confirmDelete() {
  auto photo = deleteImageObject_;
  if (!photo || !photo->serverID()) return;
  const std::int64_t id = *photo->serverID();
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak = self();
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::Default;
  hud.showWithTitle(text("Removing Selected Photos"), ui::kOrientationMaskAllButUpsideDown, [weak, id] {
    LMGalleryManager::sharedManager().deleteImageByImageID(id, [weak](const std::optional<platform::Error>& error) {
      LMProgressHUD::sharedHUD().dismissWithBlock([weak, error] {
        auto browser = weak.lock();
        if (browser && error) browser->presentTitle(text("Delete Photo Fail"), text("Delete Fail Info"), *error);
      });
      if (auto browser = weak.lock()) browser->deleteImageObject_.reset();
    });
  });
}

void LMGalleryPhotoBrowseViewController::presentTitle(const std::string& title, const std::string& defaultMessage,
                                                      const platform::Error& error) {
  std::optional<std::string> message;
  if (error.domain() == platform::kPOSIXErrorDomain && error.code() == 28) {
    message = text("No Space Left On Device");
  } else {
    message = LMCustomUtils::messageForURLError(error, "照片详情");
    if (!message) message = defaultMessage;
  }
  if (message && !message->empty()) tell(title, *message);
}

void LMGalleryPhotoBrowseViewController::downloadPhoto(const std::shared_ptr<LMImageObject>& photo) {
  const std::int64_t size = photo ? photo->imageSize().value_or(0) : 0;
  if (!LMCustomUtils::hasSpaceForDownload(size)) {
    tell("", text("No Enough Space Left On Device"));
    return;
  }
  auto adapter = this->adapter();
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak = self();
  LMProgressHUD::sharedHUD().showProgressWithTitle(
      text("Download To Phone"), size, ui::kOrientationMaskAllButUpsideDown, text("取消"),
      [adapter] { adapter->cancelSync(); },
      [weak, photo] {
        auto browser = weak.lock();
        if (browser && photo) browser->startDownload(photo);
      });
}

void LMGalleryPhotoBrowseViewController::startDownload(const std::shared_ptr<LMImageObject>& photo) {
  const LMImage image = LMGalleryManager::sharedManager().imageByImageObject(*photo);
  LMAlbum album;
  if (auto owner = photo->album()) album = LMGalleryManager::sharedManager().albumByAlbumObject(*owner);
  const std::int64_t size = photo->imageSize().value_or(0);
  auto adapter = this->adapter();
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak = self();
  auto task = std::make_shared<std::atomic<platform::BackgroundTask::Identifier>>(platform::BackgroundTask::kInvalid);
  task->store(platform::BackgroundTask::begin("download photo", [weak, adapter, task] {
    platform::MainQueue::main().sync([weak, adapter] {
      if (auto browser = weak.lock()) {
        browser->networkGuard_->downloadEnded();
        browser->downloadImageObject_.reset();
      }
      adapter->cancelSync();
      LMProgressHUD::sharedHUD().dismiss();
    });
    platform::BackgroundTask::end(task->load());
  }));
  std::weak_ptr<LMDownloadNetworkGuard> guard = networkGuard_;
  adapter->performTaskBlock([adapter, image, album, weak, task, size, guard] {
    if (auto running = guard.lock()) running->downloadBegan();
    adapter->downloadImageObject(
        image, album,
        [](std::int64_t, std::int64_t read, std::int64_t expected) {
          if (platform::Application::shared().applicationState() != platform::ApplicationState::Active) return;
          platform::MainQueue::main().async(
              [read, expected] { LMProgressHUD::sharedHUD().setProgressWithTotalBytesRead(read, expected); });
        },
        [weak, task, size](const std::optional<platform::Error>& error) {
          platform::MainQueue::main().async([weak, task, size, error] {
            if (auto browser = weak.lock()) {
              browser->finishDownload(error, size, task->load());
            } else {
              platform::BackgroundTask::end(task->load());
            }
          });
        });
  });
}

void LMGalleryPhotoBrowseViewController::finishDownload(const std::optional<platform::Error>& error,
                                                        std::int64_t size, platform::BackgroundTask::Identifier task) {
  networkGuard_->downloadEnded();
  downloadImageObject_.reset();
  if (!error) {
    LMProgressHUD::sharedHUD().dismissProgressWithFileSize(size, [task] { platform::BackgroundTask::end(task); });
    return;
  }
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak = self();
  LMProgressHUD::sharedHUD().dismissWithBlock([weak, error] {
    auto browser = weak.lock();
    if (!browser) return;
    if (error->domain() == kLMLocalErrorDomain && error->code() == kLMLocalErrorCancelled) return;
    if (error->domain() == kLMLocalErrorDomain && error->code() == kLMLocalErrorAssetsGroup) {
      // The same code tells a photo that was on the phone already, in its
      // album: nothing was saved, and that is what the user is told.
      tell(text("Download Photo Title"), text(LMImageSyncAdapter::isImageAlreadyInAlbumError(*error)
                                                  ? "Image Already In Album Info"
                                                  : "Image In Album Info"));
      return;
    }
    browser->presentTitle(text("Download Photo Fail"), text("Download Fail Info"), *error);
  });
  platform::BackgroundTask::end(task);
}

}  // namespace lumora
