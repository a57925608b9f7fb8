// The statistics kit's controller: turns the facade's calls into pooled
// points, decides when the pool is committed (handed to the uploader) under
// one of five send types, keeps the session (the named timer "session"),
// adds the first-run and upgrade points, and schedules the upload of
// network samples under the limits the service sets.
//
// Send types: 0 commits once when set (unless the first-run or upgrade step
// committed) and on each return to the foreground; 1 after every point
// recorded with upload flag 1 and on each return to the foreground; 2 after
// such a point while Wi-Fi is reachable; 3 by a repeating main-queue timer
// every interval (a period of 0 arms none); 4 only by triggerUploadManually.
// A commit also uploads the pending crash record when the crash catcher
// defers its upload to the commits.
//
// Ownership: shareKoStatSDKSingletion() is process-wide, made on first use
// on the shared pool, uploader and crash controller, never destroyed; other
// controllers (tests) borrow theirs and must be destroyed on the main
// thread: their timers and queued outcomes then do nothing. The network
// delegate is held weakly. Threading: the main thread (app-state
// notifications, timers and outcomes run there); setNetworkWithURL from the
// URL loading threads. Failures: refused points answer false; upload
// failures keep the pool and are only logged (and posted as
// "kostat_sdk_debug" outside the "online" run mode).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/http/UrlProtocol.h"
#include "stats/KoAPointStore.h"
#include "stats/KoAPointUpload.h"
#include "stats/KoStatCrashController.h"

namespace lumora {

// May rewrite the URL of each network sample, or veto it (nullopt or "").
// Called on the URL loading threads, only when set.
class KoAAnalyticsNetworkDelegate {
 public:
  virtual ~KoAAnalyticsNetworkDelegate() = default;
  std::function<std::optional<std::string>(const std::string& url)> kostatAnalyticsNetwork;
};

class KoStatSDKController {
 public:
  static constexpr const char* kAppVersionKey = "KOSTAT_SDK_C_APP_VERSION";
  static constexpr const char* kBanTimeKey = "KOSTAT_SDK_C_STAT_NETWORK_BAN_TIME";
  static constexpr const char* kSampleKey = "KOSTAT_SDK_C_STAT_NETWORK_SAMPLE";
  static constexpr const char* kUploadTimeKey = "KOSTAT_SDK_C_STAT_NETWORK_UPLOAD_TIME";
  static constexpr const char* kDelayKey = "KOSTAT_SDK_C_STAT_NETWORK_DELAY";
  static constexpr const char* kDebugNotification = "kostat_sdk_debug";
  static constexpr const char* kSessionName = "session";

  static KoStatSDKController& shareKoStatSDKSingletion();
  // Observes the app's state, loads the pool and starts a session.
  KoStatSDKController(KoAPointStore& pool, KoAPointUpload& upload, KoStatCrashController& crash);
  ~KoStatSDKController();
  KoStatSDKController(const KoStatSDKController&) = delete;
  KoStatSDKController& operator=(const KoStatSDKController&) = delete;

  void doAppWillEnterForeground();
  void doAppDidEnterBackground();

  void setSendType(std::int32_t type);
  std::int32_t getSendType() const { return nSendType_; }
  static void setChannel(std::optional<std::string> channel);
  // Seconds, truncated.
  void setSendInterval(double seconds) { nSendInterval_ = static_cast<std::int32_t>(seconds); }
  double getSessionValue() const { return nSession_; }

  // On: the URL loading system offers every http/https request to the
  // sampling interceptor first, and the delegate is kept; off: no longer
  // (the delegate stays).
  void enableAnalyticsNetwork(bool enable, std::weak_ptr<KoAAnalyticsNetworkDelegate> delegate);

  void commit();
  void checkAndCommit();
  void commitNetRequestList();
  void clean() {}

  // The uploader's outcomes (public for the uploader's delegate).
  void sendPointDidFinish(std::int32_t state, const platform::Json& content, std::uint64_t uploadID);
  void sendNetRequestDidFinish(std::int32_t state, const platform::Json& content, std::uint64_t uploadID);

  // False (nothing stored) for an empty key.
  bool setPointWithKey(const std::string& key, KoAPointValue value, std::optional<std::string> category,
                       std::int32_t type, std::int32_t upload, std::optional<platform::Json> params);
  double setBeginTimeWithKey(const std::string& name);
  bool setEndTimeWithKey(const std::string& name, std::int32_t type, std::int32_t upload);
  // One timed request; false when the delegate vetoed its URL.
  bool setNetworkWithURL(const std::string& url, double start, double cost, std::int64_t stateCode,
                         std::optional<std::string> desc);

  bool analyticsBasePoint();
  void sendPointTask();
  void sendNetRequestTask();

  // The sample-rate draw (a 32-bit random number); tests may fix it.
  void setRandomSource(std::function<std::uint32_t()> random) { random_ = std::move(random); }

 private:
  // Arms a main-queue timer calling `fire` every `period` seconds, first one
  // period from now; nothing for a period of 0 or less.
  void armTimer(std::int64_t period, void (KoStatSDKController::*fire)());
  // Runs `task` on the main queue while this controller lives.
  void onMain(std::function<void()> task);

  KoAPointStore& objLocalPoint_;
  KoAPointUpload& objMakePackage_;
  KoStatCrashController& crash_;
  std::int32_t nSendType_ = 0;
  std::int32_t nSendInterval_ = 0;
  double nSession_ = 0;
  std::mutex delegateMutex_;
  std::weak_ptr<KoAAnalyticsNetworkDelegate> iNetworkDelegate_;
  std::shared_ptr<const platform::http::UrlProtocolClass> interceptClass_;
  std::function<std::uint32_t()> random_;
  std::shared_ptr<KoAMakePackagePoolDelegate> delegate_;
  // Expires with the controller: timers and queued outcomes check it.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
  platform::ObserverToken foreground_ = 0;
  platform::ObserverToken background_ = 0;
};

}  // namespace lumora
