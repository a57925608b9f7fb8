#include "screens/gallery/LMDownloadNetworkGuard.h"

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/ui/Resources.h"

namespace lumora {

namespace ui = platform::ui;
using platform::ReachabilityMonitor;
using platform::ReachabilityStatus;

std::shared_ptr<LMDownloadNetworkGuard> LMDownloadNetworkGuard::make(AdapterSource adapter,
                                                                     std::function<void()> startDownload,
                                                                     std::string offlineTitleKey) {
  return std::shared_ptr<LMDownloadNetworkGuard>(
      new LMDownloadNetworkGuard(std::move(adapter), std::move(startDownload), std::move(offlineTitleKey)));
}

LMDownloadNetworkGuard::LMDownloadNetworkGuard(AdapterSource adapter, std::function<void()> startDownload,
                                               std::string offlineTitleKey)
    : adapter_(std::move(adapter)),
      startDownload_(std::move(startDownload)),
      offlineTitleKey_(std::move(offlineTitleKey)) {}

void LMDownloadNetworkGuard::tellOffline() const {
  ui::AlertView::alert(ui::localizedString(offlineTitleKey_), ui::localizedString("Bad Network"),
                       ui::localizedString("我知道了"), {})
      ->show();
}

LMDownloadNetworkGuard::~LMDownloadNetworkGuard() { stopListening(); }

void LMDownloadNetworkGuard::startListening() {
  stopListening();
  alertView_.reset();
  backupWWAN_ = false;
  auto& monitor = ReachabilityMonitor::sharedMonitor();
  networkStatus_ = monitor.networkReachabilityStatus();
  std::weak_ptr<LMDownloadNetworkGuard> weak = weak_from_this();
  listener_ = monitor.addListener([weak](ReachabilityStatus status) {
    if (auto guard = weak.lock()) guard->networkChanged(status);
  });
}

void LMDownloadNetworkGuard::stopListening() {
  if (listener_) ReachabilityMonitor::sharedMonitor().removeListener(listener_);
  listener_ = 0;
}

void LMDownloadNetworkGuard::askBeforeDownload(const std::string& message) { showPrompt(message, true); }

void LMDownloadNetworkGuard::showPrompt(const std::string& message, bool beforeDownload) {
  if (alertView_) alertView_->dismiss();
  promptBeforeDownload_ = beforeDownload;
  std::weak_ptr<LMDownloadNetworkGuard> weak = weak_from_this();
  alertView_ = ui::AlertView::alert(ui::localizedString(kPromptTitle), message, ui::localizedString("取消"),
                                    {ui::localizedString("继续")}, [weak, beforeDownload](ui::AlertView&, int button) {
                                      if (auto guard = weak.lock()) guard->answered(button == 1, beforeDownload);
                                    });
  alertView_->show();
}

void LMDownloadNetworkGuard::answered(bool proceed, bool beforeDownload) {
  alertView_.reset();
  auto adapter = adapter_();
  if (!proceed) {
    backupWWAN_ = false;
    if (downloading_ && adapter->isSyncing()) adapter->cancelSync();
    return;
  }
  if (downloading_) {
    backupWWAN_ = true;
    if (adapter->isSuspended()) adapter->resumeSync();
    return;
  }
  // Only the prompt asked before a download starts one (behind any job the
  // adapter runs now): a prompt raised for a suspended download that has
  // ended since starts nothing, and allows nothing for the next download.
  if (!beforeDownload) return;
  backupWWAN_ = true;
  if (startDownload_) startDownload_();
}

void LMDownloadNetworkGuard::networkChanged(ReachabilityStatus status) {
  auto adapter = adapter_();
  if (status == ReachabilityStatus::ReachableViaWiFi) {
    if (networkStatus_ != ReachabilityStatus::ReachableViaWiFi && downloading_ && adapter->resumeSync() &&
        alertView_) {
      if (alertView_->isVisible()) alertView_->dismiss();
      alertView_.reset();
    }
  } else if (status == ReachabilityStatus::ReachableViaWWAN) {
    if (networkStatus_ == ReachabilityStatus::ReachableViaWiFi && !backupWWAN_ && downloading_ &&
        adapter->suspendSync()) {
      showPrompt(ui::localizedString("Mobile Network Info"), false);
    }
  } else if (status == ReachabilityStatus::NotReachable) {
    wentOffline();
  }
  networkStatus_ = status == ReachabilityStatus::NotReachable || status == ReachabilityStatus::ReachableViaWWAN ||
                           status == ReachabilityStatus::ReachableViaWiFi
                       ? status
                       : ReachabilityStatus::Unknown;
}

void LMDownloadNetworkGuard::wentOffline() {
  if (!alertView_ || !alertView_->isVisible()) return;
  const bool beforeDownload = promptBeforeDownload_;
  alertView_->dismiss();
  alertView_.reset();
  auto adapter = adapter_();
  if (downloading_) {
    // The download finds the network gone and tells its own failure.
    if (adapter->isSuspended()) adapter->resumeSync();
  } else if (beforeDownload) {
    tellOffline();
  }
}

}  // namespace lumora
