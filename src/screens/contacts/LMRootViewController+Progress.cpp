// The contacts page while the adapter runs a sync: status lines and the
// percentage of the progress screen, the counts of the changes, the end of
// a sync (last-sync time, statistics, local notification, result message,
// the one-time rating prompt) and the reactions to a failed sync.
#include <chrono>

#include "applog/LoggerRegistry.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

double progressSecondsSince1970() {
  return std::chrono::duration<double>(platform::Clock::current()->now().time_since_epoch()).count();
}

// The status line of each process state (none: unchanged).
const char* progressStatusKey(std::int32_t state) {
  switch (state) {
    case kLMSyncProcessBegin:
      return "正在获取云端数据";
    case kLMSyncProcessPushBatch:
      return "正在同步联系人";
    case kLMSyncProcessCloudApplied:
      return "正在保存数据";
    case kLMSyncProcessPhotoData:
      return "正在上传头像";
    case kLMSyncProcessPhotoDownloaded:
      return "正在下载头像";
    default:
      return nullptr;
  }
}

}  // namespace

void LMRootViewController::installAdapterCallbacks() {
  auto weak = weakSelf();
  auto status = [weak](const char* key) {
    auto page = weak.lock();
    if (page && page->syncLoadViewController_) page->syncLoadViewController_->statusLabel()->setText(ui::localizedString(key));
  };
  auto progress = [weak](double value) {
    auto page = weak.lock();
    if (!page) return;
    page->lastProcess_ = value;
    if (page->syncLoadViewController_) page->syncLoadViewController_->processLabel()->setProgress(static_cast<float>(value), true);
  };
  willAdapterBeginSynchronize = [weak] {
    auto page = weak.lock();
    if (!page) return;
    QB_LOG_INFO("Synchronize Begin");
    page->addLocalContactNum = page->modifyLocalContactNum = page->deleteLocalContactNum = 0;
    page->addLumoraContactNum = page->modifyLumoraContactNum = page->deleteLumoraContactNum = 0;
    page->syncBeginDate_ = platform::Clock::current()->now();
  };
  willAdapterSynchronizeGroups = [status] { status("正在同步群组"); };
  willAdapterSynchronizeContacts = [status] { status("正在同步联系人"); };
  didAdapterSynchronizeLocalContacts = [weak](std::uint64_t add, std::uint64_t modify, std::uint64_t remove) {
    if (auto page = weak.lock()) {
      page->addLocalContactNum += static_cast<std::int64_t>(add);
      page->modifyLocalContactNum += static_cast<std::int64_t>(modify);
      page->deleteLocalContactNum += static_cast<std::int64_t>(remove);
    }
  };
  didAdapterSynchronizeLumoraContacts = [weak](std::uint64_t add, std::uint64_t modify, std::uint64_t remove) {
    if (auto page = weak.lock()) {
      page->addLumoraContactNum += static_cast<std::int64_t>(add);
      page->modifyLumoraContactNum += static_cast<std::int64_t>(modify);
      page->deleteLumoraContactNum += static_cast<std::int64_t>(remove);
    }
  };
  didAdapterSyncProcess = [weak, status, progress](std::int32_t state) {
    auto page = weak.lock();
    if (!page) return;
    if (const char* key = progressStatusKey(state)) status(key);
    switch (state) {
      case kLMSyncProcessPushBatch:
      case kLMSyncProcessPhotoUpload:
      case kLMSyncProcessPhotoDownloaded:
        page->requestStep();
        break;
      case kLMSyncProcessCloudApplied:
        progress(0.9);
        break;
      case kLMSyncProcessSaved:
        progress(0.99);
        break;
      default:
        break;
    }
  };
  willAdapterFinishSynchronize = [weak] {
    auto page = weak.lock();
    if (!page) return;
    page->updateLumoraNum();
    auto& defaults = platform::UserDefaults::standard();
    defaults.setDouble(kLastSyncTimeKey, progressSecondsSince1970());
    defaults.synchronize();
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(platform::Clock::current()->now() -
                                                                       page->syncBeginDate_);
    KoStatSDK::recordCalculateEvent("sync_time", "同步时长", static_cast<long>(took.count()));
    page->updateLastSyncTimeLabel();
  };
  didAdapterFinishSynchronize = [weak](bool) {
    auto page = weak.lock();
    if (!page) return;
    QB_LOG_INFO("Synchronize Success");
    page->updateBackupContactsResultWithIsCancel(false);
    page->appConfig().setLastSyncContactsTime(progressSecondsSince1970());
    KoStatSDK::recordCountEvent("sync_success", "同步");
    page->lastProcess_ = 0;
    if (page->syncLoadViewController_) {
      page->syncLoadViewController_->endSyncAnimationWithSuccess(
          [weak] {
            if (auto current = weak.lock()) current->presentSyncResultMessage();
          },
          nullptr);
    }
  };
  didAdapterFailSynchronize = [weak](const platform::Error& error) {
    auto page = weak.lock();
    if (!page) return;
    page->lastProcess_ = 0;
    if (!page->syncLoadViewController_) return;
    page->syncLoadViewController_->endSyncAnimationWithSuccess(nullptr, [weak, error] {
      auto current = weak.lock();
      if (!current) return;
      if (auto root = current->delegate()) root->didControllerEndSync(*current);
      std::optional<std::string> message;
      switch (error.code()) {
        case 81003:
          KoStatSDK::recordCountEvent("fail_2step", "同步");
          pushTwoStepScreen(*current, current->loginDelegate());
          return;
        case 70016:
          KoStatSDK::recordCountEvent("fail_relogin", "同步");
          platform::NotificationCenter::defaultCenter().post("LMPassportLogoutNotification", {{"show", false}});
          current->presentLogin();
          return;
        case -10005:
          KoStatSDK::recordCountEvent("fail_bad_network", "同步");
          message = ui::localizedString("Bad Access to AddressBook");
          break;
        default:
          message = LMCustomUtils::messageForURLError(error, "同步");
          if (!message) message = ui::localizedString("Bad Sync");
          break;
      }
      current->showAlert("同步失败", *message, "我知道了");
    });
  };
  didSyncLoadViewControllerCompleted = [weak](ui::ViewController&) {
    auto page = weak.lock();
    if (!page) return;
    if (auto root = page->delegate()) root->didControllerEndSync(*page);
  };
}

void LMRootViewController::requestStep() {
  ++currentRequestCount_;
  const double ratio = static_cast<double>(currentRequestCount_) / static_cast<double>(allRequestCount_);
  const double value = ratio > 1.0 ? 1.0 : std::max(ratio, lastProcess_);
  lastProcess_ = value;
  if (syncLoadViewController_) syncLoadViewController_->processLabel()->setProgress(static_cast<float>(value * 0.79 + 0.1), true);
}

std::vector<std::string> LMRootViewController::getSyncResult() const {
  std::vector<std::string> lines;
  auto change = [](std::int64_t net, std::int64_t added, std::int64_t deleted) -> std::optional<std::string> {
    if (net > 0) return ui::localizedCountString("Add Contact Format", added);
    if (net < 0) return ui::localizedCountString("Delete Contact Format", deleted);
    return std::nullopt;
  };
  const std::int64_t local = addLocalContactNum - deleteLocalContactNum;
  if (auto text = change(local, local, -local)) {
    lines.push_back(ui::stringWithFormat(ui::localizedString("Sync Local Result Format"), {*text}));
  }
  const std::int64_t cloud = addLumoraContactNum - deleteLumoraContactNum;
  if (auto text = change(cloud, addLumoraContactNum, deleteLumoraContactNum)) {
    lines.push_back(ui::stringWithFormat(ui::localizedString("Sync Lumora Result Format"), {*text}));
  }
  return lines;
}

void LMRootViewController::presentSyncResultMessage() {
  auto& defaults = platform::UserDefaults::standard();
  const bool rated = defaults.boolForKey(kNotFirstRatingKey);
  const auto lines = getSyncResult();
  const bool prompt = !rated && isFirstSync_;
  if (prompt) {
    isFirstSync_ = false;
    defaults.setBool(kNotFirstRatingKey, true);
    defaults.synchronize();
  }
  if (lines.empty()) {
    if (prompt) showAlert("同步成功", ui::localizedString("Rating Info"), "我知道了", {"去评分"});
    return;
  }
  // Joined and ended as the language writes a sentence ("，" and "。" in
  // Chinese, ", " and "." in English).
  const std::string separator = ui::localizedString("Sync Result Separator");
  std::string joined;
  for (const auto& line : lines) joined += (joined.empty() ? "" : separator) + line;
  if (prompt) {
    showAlert("同步成功",
              ui::stringWithFormat(ui::localizedString("Sync Result Rating Format"),
                                   {joined, ui::localizedString("Rating Info")}),
              "我知道了", {"去评分"});
  } else {
    ui::AlertView::alert(ui::localizedString("同步成功"),
                         ui::stringWithFormat(ui::localizedString("Sync Result Message Format"), {joined}),
                         ui::localizedString("我知道了"), {})
        ->show();
  }
}

void LMRootViewController::updateBackupContactsResultWithIsCancel(bool) {
  const auto lines = getSyncResult();
  if (lines.empty()) return;
  std::string joined;
  for (const auto& line : lines) joined += (joined.empty() ? "" : ",") + line;
  LMCustomUtils::localNotifWithMessage(joined);
}

}  // namespace lumora
