// The network rule of a screen that downloads photos through the shared
// image sync adapter: before a download on mobile data it asks ("流量提示",
// "取消" / "继续"), and while the screen's own download runs it follows the
// network: a move from Wi-Fi to mobile data suspends it and asks, a return
// to Wi-Fi resumes it (and takes back the question). The user's "继续"
// holds for the current download only: the screen clears it when a
// download ends. Other jobs of the adapter (the gallery page's backups,
// another screen's download) are left to the screens that run them, so no
// answer given here allows or stops them.
//
// "继续" starts a download only when the prompt was asked before one; a
// prompt raised for a suspended download that has ended since starts
// nothing.
//
// With no network at all the question has no sense: it is taken back, a
// suspended download resumes and fails offline as any download does, and a
// download not yet begun is refused with the offline notice.
//
// Ownership: made by make() and owned by its screen; it holds a listener of
// the shared reachability monitor of its own from startListening() until
// stopListening() or its end, and leaves other screens' listeners alone.
// The callbacks hold the screen weakly.
// Threading: main thread (the monitor's listeners run there), except
// downloadBegan(), which the download's task calls on the adapter's worker.
// Failure: nothing fails here.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/device/ReachabilityMonitor.h"
#include "platform/ui/AlertView.h"

namespace lumora {

class LMImageSyncAdapter;

class LMDownloadNetworkGuard : public std::enable_shared_from_this<LMDownloadNetworkGuard> {
 public:
  static constexpr const char* kPromptTitle = "流量提示";

  using AdapterSource = std::function<std::shared_ptr<LMImageSyncAdapter>()>;
  // `startDownload`: the screen's download, run by "继续" on a prompt asked
  // before a download while the adapter is idle. `offlineTitleKey`: the
  // title of the screen's notice that a download needs a network.
  static std::shared_ptr<LMDownloadNetworkGuard> make(AdapterSource adapter, std::function<void()> startDownload,
                                                      std::string offlineTitleKey);
  ~LMDownloadNetworkGuard();
  LMDownloadNetworkGuard(const LMDownloadNetworkGuard&) = delete;
  LMDownloadNetworkGuard& operator=(const LMDownloadNetworkGuard&) = delete;

  // Reads the current status and listens from now on; forgets any
  // permission and prompt.
  void startListening();
  void stopListening();

  // The user allowed the current download to use mobile data.
  bool isBackupWWAN() const { return backupWWAN_; }
  // The screen's download task has begun on the adapter (any thread).
  void downloadBegan() { downloading_ = true; }
  // A download ended (or its time ran out): the next one asks again.
  void downloadEnded() {
    downloading_ = false;
    backupWWAN_ = false;
  }
  bool isDownloading() const { return downloading_; }
  platform::ReachabilityStatus networkStatus() const { return networkStatus_; }
  // The prompt on screen, or nullptr.
  const std::shared_ptr<platform::ui::AlertView>& alertView() const { return alertView_; }

  // The notice that a download cannot start without a network.
  void tellOffline() const;
  // Asks before a download, with the message given (its size in words).
  void askBeforeDownload(const std::string& message);
  void networkChanged(platform::ReachabilityStatus status);

 private:
  LMDownloadNetworkGuard(AdapterSource adapter, std::function<void()> startDownload, std::string offlineTitleKey);
  void wentOffline();
  void showPrompt(const std::string& message, bool beforeDownload);
  void answered(bool proceed, bool beforeDownload);

  AdapterSource adapter_;
  std::function<void()> startDownload_;
  std::string offlineTitleKey_;
  bool backupWWAN_ = false;
  std::atomic<bool> downloading_{false};
  platform::ReachabilityStatus networkStatus_ = platform::ReachabilityStatus::Unknown;
  platform::ReachabilityMonitor::ListenerToken listener_ = 0;
  std::shared_ptr<platform::ui::AlertView> alertView_;
  // The prompt on screen was asked before a download.
  bool promptBeforeDownload_ = false;
};

}  // namespace lumora
