// The one object that owns a run's event analytics: the settings switches,
// the session and its open fragment, a serial logging queue per priority
// (0 high, 1 medium, 2 low) with the lazily opened log file of each, and
// the maintenance half: a timer from the last maintenance date, and the
// chain that opens a new fragment, packages the closed ones, uploads them
// one at a time, prunes what waits beyond the bound and repairs the tree.
//
// Ownership: made shared (make); tasks on its queues keep it alive while
// they run, the timer and notification observers refer to it weakly.
// Threading: any thread calls in. Settings, the crash event, the timer and
// every maintenance step run on the maintenance queue; the file of
// priority p is only touched on the queue of p. Priority 0 and 1 writes
// block the caller until written; priority 2 returns at once.
// Failure: nothing reaches the host; failures are logged while the
// platform's debug switch is on. make() answers null when the first
// fragment cannot be prepared. Maintenance errors have the domain
// "BBXAnalyticsControllerErrorDomain": -1 upload already under way, -2 no
// upload URL, -3 pruning ran out of files it may delete.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "harbor/analytics/BBXAnalyticsIdentifierGenerator.h"
#include "harbor/analytics/BBXAnalyticsMetadataController.h"
#include "harbor/analytics/BBXAnalyticsNetworkingClient.h"
#include "harbor/analytics/BBXAnalyticsTimestampGenerator.h"
#include "harbor/analytics/BBXAnalyticsViewControllerTrackingController.h"
#include "harbor/analytics/BBXEventLogEventFile.h"
#include "harbor/analytics/BBXEventLogSessionRepository.h"
#include "harbor/analytics/BBXTallyEvent.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/SerialQueue.h"

namespace lumora {

class Harbor;
class BBXUserDefaults;

inline constexpr const char* kBBXAnalyticsControllerErrorDomain = "BBXAnalyticsControllerErrorDomain";
// The bound on waiting files when the settings name none: a hundred files
// hold the logs of at least 33 closed fragments (one file per priority), so
// the events of many maintenance chains survive a run of failed uploads,
// while a host that can never upload stops growing there (priority 2
// pruned first).
inline constexpr std::uint32_t kBBXAnalyticsDefaultMaxPendingSendFileCount = 100;

class BBXAnalyticsController : public BBXAnalyticsViewControllerTrackingDelegate,
                               public std::enable_shared_from_this<BBXAnalyticsController> {
 public:
  using URL = std::filesystem::path;
  using Completion = std::function<void(const platform::Status&)>;

  // What make() builds over; tests hand in their own.
  struct Collaborators {
    Harbor* harbor = nullptr;                // the shared platform object when null
    BBXUserDefaults* defaults = nullptr;     // the standard store when null
    platform::NotificationCenter* notificationCenter = nullptr;  // the default centre when null
    std::shared_ptr<BBXAnalyticsIdentifierGenerator> identifierGenerator;
    std::shared_ptr<BBXAnalyticsTimestampGenerator> timestampGenerator;
    std::shared_ptr<BBXAnalyticsNetworkingClient> networkingClient;
    std::optional<std::uint64_t> sessionTimestamp;  // a new time stamp when none
  };

  static std::shared_ptr<BBXAnalyticsController> make(const std::string& sessionIdentifier, const URL& rootDirectory,
                                                       const std::optional<std::string>& betaToken,
                                                       Collaborators collaborators);
  static std::shared_ptr<BBXAnalyticsController> make(const std::string& sessionIdentifier, const URL& rootDirectory,
                                                       const std::optional<std::string>& betaToken) {
    return make(sessionIdentifier, rootDirectory, betaToken, Collaborators());
  }
  ~BBXAnalyticsController() override;

  // An app extension (Info.plist "NSExtension" with a point identifier) has
  // no analytics.
  static bool supported();
  static bool isRunningInAppExtension();
  // <caches>/com.blackbox.data/<sanitized bundle id>/analytics.
  static URL defaultRootDirectoryURL();

  // Settings, applied on the maintenance queue; none counts as no settings.
  void setSettings(std::shared_ptr<const platform::Json> settings);
  void setSettings(const std::optional<platform::Json>& settings);
  bool analyticsFeatureSwitchEnabled() const;
  bool customEventsFeatureSwitchEnabled() const;
  bool predefinedEventsFeatureSwitchEnabled() const;

  // Event intake.
  void logPredefinedEvent(const std::optional<BBXTallyEvent>& event);
  void logCustomEvent(const std::optional<BBXTallyEvent>& event);
  void logTallyEvent(const std::optional<BBXTallyEvent>& event);
  void logEvent(const std::optional<BBXEventLogEvent>& event);
  void applicationLifecycleEvent(const std::string& notificationName);
  void logAppInstalled();
  void logAppLaunched();
  // Seconds since 1970 of the previous run's crash.
  void logPreviousSessionCrashedOnDate(std::optional<double> date);
  void viewControllerTrackingControllerDidDetectAppearanceOfViewController(
      BBXAnalyticsViewControllerTrackingController& controller, platform::ui::ViewController& viewController) override;
  void viewControllerTrackingControllerDidDetectDisappearanceOfViewController(
      BBXAnalyticsViewControllerTrackingController& controller, platform::ui::ViewController& viewController) override;

  // Maintenance.
  void scheduleSessionMaintenance();
  void cancelSessionMaintenance();
  // Seconds from now of the first timer fire.
  double initialMaintenanceDelayWithFlushInterval(double interval);
  double lastMaintenanceDate();
  void saveLastMaintenanceDate(double date);
  void maintainSessionFragmentsIgnoringError();
  void maintainSessionFragments(Completion completion);
  void openNewSessionFragment(Completion completion);
  void packageClosedSessionFragments(Completion completion);
  void transmitPackagedSessionFragments(Completion completion);
  void pruneSessionFragmentLogFiles(Completion completion);
  void cleanUpRepository(Completion completion);
  // Groups by priority (index), each sorted by path.
  static std::vector<std::vector<URL>> mutableSortedFileURLsGroupedByPrioritiesFromLogFileURLs(
      const std::vector<URL>& files);

  platform::SerialQueue& sessionMaintenanceQueue() { return *queues_[kMaintenance]; }
  // The writing queue of priority 0, 1 or 2.
  platform::SerialQueue& priorityEventLoggingQueue(std::size_t priority) { return *queues_[priority]; }
  const std::string& sessionIdentifier() const { return sessionIdentifier_; }
  std::optional<URL> currentSessionFragmentDirectoryURL() const;
  BBXEventLogSessionRepository& logSessionRepository() { return repository_; }
  const platform::Bytes& metadataJSONData() const { return metadataController_.metadataJSONData(); }
  // Whether a maintenance timer is set.
  bool maintenanceTimerScheduled() const;

 private:
  enum { kMaintenance = 3 };
  struct SettingsValues {
    bool haveSettings = false;
    bool collect = false;
    std::optional<std::string> url;
    bool trackViewControllers = false;
    bool flushOnBackground = false;
    std::uint64_t maxByteSizePerFile = 0;
    std::uint32_t flushIntervalSecs = 0;
    std::uint32_t maxPendingSendFileCount = 0;
    bool trackCustomEvents = true;
    bool trackPredefinedEvents = true;
    std::int64_t samplingRate = 0;
  };

  BBXAnalyticsController(const std::string& sessionIdentifier, std::uint64_t sessionTimestamp, const URL& root,
                         const std::optional<std::string>& betaToken, Collaborators collaborators,
                         BBXAnalyticsMetadataController metadataController);
  bool start();
  SettingsValues settings() const;
  void applySettings(const platform::Json* settings);
  void handleDisabledFeatureSwitch();
  void dispatchToQueue(platform::SerialQueue& queue, bool asynchronous, std::function<void()> block);
  platform::Status ensureLogFileExistsForPriority(std::uint64_t priority);
  platform::Status prepareNewSessionFragment(const std::string& identifier, std::uint64_t timestamp);
  bool handleSizeTriggeredMaintainSessionFragmentForLogFile(const BBXEventLogEventFile& file);
  bool handlePriorityTriggeredMaintainSessionFragmentForEvent(const BBXEventLogEvent& event);
  void readLastSessionInformation();
  void saveCurrentSessionInformation();
  platform::Status runPackageClosedSessionFragments();
  platform::Status packageLogsFromActiveSessionFragmentDirectoryURL(const URL& active, const URL& packaged);
  platform::Result<std::vector<URL>> sessionFragmentDirectoryURLsForStateName(const std::string& state);
  bool isOpenSessionFragmentDirectoryURL(const URL& url) const;
  void transmitNextPackagedSessionFragment(Completion completion);
  platform::Status runPruneSessionFragmentLogFiles();
  void armTimer(std::uint64_t generation, double delay, double interval);
  void onMaintenanceQueue(std::function<void()> block);

  URL rootDirectoryURL_;
  std::string sessionIdentifier_;
  std::uint64_t sessionTimestamp_;
  std::optional<std::string> betaToken_;
  Harbor& harbor_;
  BBXUserDefaults& defaults_;
  platform::NotificationCenter& notificationCenter_;
  std::shared_ptr<BBXAnalyticsIdentifierGenerator> identifierGenerator_;
  std::shared_ptr<BBXAnalyticsTimestampGenerator> timestampGenerator_;
  std::shared_ptr<BBXAnalyticsNetworkingClient> networkingClient_;
  BBXAnalyticsMetadataController metadataController_;
  BBXEventLogSessionRepository repository_;

  mutable std::mutex settingsMutex_;
  SettingsValues settings_;
  std::atomic<bool> performSessionMaintenanceAfterSettingsArrive_{false};
  bool loggedAnalyticsEnabled_ = false;

  // Maintenance queue only.
  std::string currentSessionFragmentIdentifier_;
  std::uint64_t currentSessionFragmentTimestamp_ = 0;
  mutable std::mutex fragmentMutex_;
  std::optional<URL> currentSessionFragmentDirectoryURL_;
  std::optional<std::deque<URL>> sessionFragmentsToTransmit_;
  // Open while the work list exists.
  std::optional<BBXEventLogSessionRepository::Pass> transmitPass_;
  std::atomic<std::uint64_t> timerGeneration_{0};
  std::atomic<bool> timerScheduled_{false};

  // Index p: only on the queue of p.
  std::array<std::optional<URL>, 3> priorityCurrentFragmentEventFileURLs_;
  std::array<std::unique_ptr<BBXEventLogEventFile>, 3> priorityCurrentFragmentEventFiles_;
  std::array<std::unique_ptr<platform::SerialQueue>, 4> queues_;

  std::optional<std::string> lastSessionIdentifier_;
  std::uint64_t lastSessionTimestamp_ = 0;
  std::optional<platform::Bytes> lastSessionMetadata_;
  std::vector<platform::ObserverToken> observers_;
};

}  // namespace lumora
