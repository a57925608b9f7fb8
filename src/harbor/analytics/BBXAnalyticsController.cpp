#include "harbor/analytics/BBXAnalyticsController.h"

#include "harbor/BBXUserDefaults.h"
#include "harbor/HBRBundle.h"
#include "harbor/HBRDebug.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/BBXAnalyticsApplicationLifecycleEvent.h"
#include "harbor/analytics/BBXAnalyticsEvent.h"
#include "harbor/analytics/BBXAnalyticsEventFilter.h"
#include "harbor/analytics/BBXAnalyticsMetadataEvent.h"
#include "harbor/analytics/BBXAnalyticsViewControllerEvent.h"
#include "platform/app/Application.h"
#include "platform/JsonValues.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/http/Url.h"
#include "platform/storage/AppHome.h"
#include "platform/device/Bundle.h"
#include "utils/LMLogRedaction.h"

namespace lumora {

namespace {

constexpr const char* kTrackViewControllersKey = "com.blackbox.insights.enableviewcontrollertracking";
constexpr const char* kLastSessionIdentifierKey = "com.blackbox.insights.lastsessionidentifier";
constexpr const char* kLastSessionTimestampKey = "com.blackbox.insights.lastsessiontimestamp";
constexpr const char* kLastSessionMetadataKey = "com.blackbox.insights.lastsessionmetadata";
constexpr const char* kSettingsAvailableNotification = "HBRSettingsAvailableNotification";

void analyticsDebugLog(const std::string& line) {
  if (HBRDebugEnabled()) platform::consoleLog("[Blackbox:Tally] " + line);
}

bool analyticsJsonBool(const platform::Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key)) return false;
  const auto& value = object[key];
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0;
  return false;
}

std::int64_t analyticsJsonInteger(const platform::Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key) || !object[key].is_number()) return 0;
  const double value = object[key].get<double>();
  if (value >= 9.2e18) return INT64_MAX;
  if (value <= -9.2e18) return INT64_MIN;
  return static_cast<std::int64_t>(value);
}

std::uint32_t analyticsJsonUInt32(const platform::Json& object, const char* key) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(analyticsJsonInteger(object, key)));
}

}  // namespace

std::shared_ptr<BBXAnalyticsController> BBXAnalyticsController::make(const std::string& sessionIdentifier,
                                                                     const URL& rootDirectory,
                                                                     const std::optional<std::string>& betaToken,
                                                                     Collaborators collaborators) {
  if (!collaborators.harbor) collaborators.harbor = &Harbor::sharedSDK();
  if (!collaborators.defaults) collaborators.defaults = &BBXUserDefaults::standardUserDefaults();
  if (!collaborators.notificationCenter) collaborators.notificationCenter = &platform::NotificationCenter::defaultCenter();
  if (!collaborators.identifierGenerator)
    collaborators.identifierGenerator = std::make_shared<BBXAnalyticsIdentifierGenerator>();
  if (!collaborators.timestampGenerator)
    collaborators.timestampGenerator = std::make_shared<BBXAnalyticsTimestampGenerator>();
  if (!collaborators.networkingClient)
    collaborators.networkingClient = std::make_shared<BBXAnalyticsNetworkingClient>();
  const std::uint64_t timestamp =
      collaborators.sessionTimestamp.value_or(collaborators.timestampGenerator->generateAnalyticsTimestamp());
  auto metadata = BBXAnalyticsMetadataController::make(timestamp, betaToken, *collaborators.harbor);
  if (!metadata) return nullptr;
  std::shared_ptr<BBXAnalyticsController> controller(new BBXAnalyticsController(
      sessionIdentifier, timestamp, rootDirectory, betaToken, std::move(collaborators), std::move(*metadata)));
  if (!controller->start()) return nullptr;
  return controller;
}

BBXAnalyticsController::BBXAnalyticsController(const std::string& sessionIdentifier, std::uint64_t sessionTimestamp,
                                               const URL& root, const std::optional<std::string>& betaToken,
                                               Collaborators collaborators,
                                               BBXAnalyticsMetadataController metadataController)
    : rootDirectoryURL_(root),
      sessionIdentifier_(sessionIdentifier),
      sessionTimestamp_(sessionTimestamp),
      betaToken_(betaToken),
      harbor_(*collaborators.harbor),
      defaults_(*collaborators.defaults),
      notificationCenter_(*collaborators.notificationCenter),
      identifierGenerator_(std::move(collaborators.identifierGenerator)),
      timestampGenerator_(std::move(collaborators.timestampGenerator)),
      networkingClient_(std::move(collaborators.networkingClient)),
      metadataController_(std::move(metadataController)),
      repository_(root) {}

bool BBXAnalyticsController::start() {
  auto tracking = BBXAnalyticsViewControllerTrackingController::sharedInstance();
  tracking->setDelegate(weak_from_this());
  if (defaults_.boolForKey(kTrackViewControllersKey)) tracking->startTracking();

  queues_[0] = std::make_unique<platform::SerialQueue>("com.blackbox.analytics.high-priority");
  queues_[1] = std::make_unique<platform::SerialQueue>("com.blackbox.analytics.medium-priority");
  queues_[2] = std::make_unique<platform::SerialQueue>("com.blackbox.analytics.low-priority");
  queues_[kMaintenance] = std::make_unique<platform::SerialQueue>("com.blackbox.analytics.maintenance");

  const platform::Status prepared =
      prepareNewSessionFragment(identifierGenerator_->generateSessionFragmentIdentifier(), sessionTimestamp_);
  if (!prepared) analyticsDebugLog("Unable to prepare new session fragment {error: " + prepared.error().description() + "}");

  readLastSessionInformation();
  saveCurrentSessionInformation();

  std::weak_ptr<BBXAnalyticsController> weak = weak_from_this();
  observers_.push_back(notificationCenter_.addObserver(kSettingsAvailableNotification, [weak](auto&, auto&) {
    if (auto self = weak.lock()) self->setSettings(self->harbor_.settings());
  }));
  for (const char* name : {platform::kApplicationWillTerminateNotification,
                           platform::kApplicationDidReceiveMemoryWarningNotification,
                           platform::kApplicationDidEnterBackgroundNotification,
                           platform::kApplicationWillEnterForegroundNotification,
                           platform::kApplicationWillResignActiveNotification,
                           platform::kApplicationDidBecomeActiveNotification}) {
    observers_.push_back(notificationCenter_.addObserver(name, [weak](const std::string& posted, auto&) {
      if (auto self = weak.lock()) self->applicationLifecycleEvent(posted);
    }));
  }
  setSettings(harbor_.settings());
  return prepared.ok();
}

BBXAnalyticsController::~BBXAnalyticsController() {
  for (auto token : observers_) notificationCenter_.removeObserver(token);
  cancelSessionMaintenance();
}

bool BBXAnalyticsController::isRunningInAppExtension() {
  const platform::Json info = platform::Bundle::infoDictionary();
  if (!info.is_object() || !info.contains("NSExtension")) return false;
  const platform::Json& extension = info["NSExtension"];
  if (!extension.is_object()) {
    analyticsDebugLog("Error: NSExtension Info.plist entry is mal-formed");
    return false;
  }
  if (extension.contains("NSExtensionPointIdentifier") && extension["NSExtensionPointIdentifier"].is_string()) {
    return true;
  }
  analyticsDebugLog("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed");
  return false;
}

bool BBXAnalyticsController::supported() { return !isRunningInAppExtension(); }

BBXAnalyticsController::URL BBXAnalyticsController::defaultRootDirectoryURL() {
  return platform::AppHome::caches() / "com.blackbox.data" / HBRSanitizedBundleIdentifier().value_or("") /
         "analytics";
}

// Settings.

void BBXAnalyticsController::setSettings(std::shared_ptr<const platform::Json> settings) {
  onMaintenanceQueue([this, settings = std::move(settings)] { applySettings(settings.get()); });
}

void BBXAnalyticsController::setSettings(const std::optional<platform::Json>& settings) {
  setSettings(settings ? std::make_shared<const platform::Json>(*settings) : nullptr);
}

void BBXAnalyticsController::applySettings(const platform::Json* settings) {
  static const auto& kNone = *new platform::Json();
  const platform::Json& document = settings ? *settings : kNone;
  const platform::Json features = document.is_object() ? document.value("features", platform::Json()) : platform::Json();
  const platform::Json analytics =
      document.is_object() ? document.value("analytics", platform::Json()) : platform::Json();
  const bool collect = analyticsJsonBool(features, "collect_analytics");
  if (collect) analyticsDebugLog("Tally enabled with settings: " + LMLoggableJSONText(analytics));
  const bool trackVC = analyticsJsonBool(analytics, "track_view_controllers");
  defaults_.setBool(trackVC, kTrackViewControllersKey);
  defaults_.synchronize();

  SettingsValues values;
  values.haveSettings = settings != nullptr;
  values.collect = collect;
  // An address that does not parse counts as none: the upload step fails
  // at once (-2) rather than trying it on every chain.
  if (auto url = platform::stringAt(analytics, "url")) {
    if (auto parsed = platform::http::Url::parse(*url); parsed && parsed->isHttp()) values.url = url;
  }
  values.trackViewControllers = trackVC;
  values.flushOnBackground = analyticsJsonBool(analytics, "flush_on_background");
  values.trackCustomEvents = settings ? analyticsJsonBool(analytics, "track_custom_events") : true;
  values.trackPredefinedEvents = settings ? analyticsJsonBool(analytics, "track_predefined_events") : true;
  values.maxByteSizePerFile = static_cast<std::uint64_t>(analyticsJsonInteger(analytics, "max_byte_size_per_file"));
  values.samplingRate = analyticsJsonInteger(analytics, "sampling_rate");
  values.flushIntervalSecs = analyticsJsonUInt32(analytics, "flush_interval_secs");
  // A document that names no bound gets the default one: read as 0 it
  // would delete every packaged file whenever one upload fails, and no
  // bound at all would let files pile up while uploads fail.
  values.maxPendingSendFileCount = kBBXAnalyticsDefaultMaxPendingSendFileCount;
  if (analytics.is_object() && analytics.contains("max_pending_send_file_count") &&
      analytics["max_pending_send_file_count"].is_number()) {
    values.maxPendingSendFileCount = analyticsJsonUInt32(analytics, "max_pending_send_file_count");
  }

  // Switched on again after the off path dropped the open fragment (and
  // deleted the tree): a new fragment is opened before the switch shows
  // on, so the next event is written at once rather than after the next
  // maintenance, which with a flush interval of 0 may never come.
  const SettingsValues previous = this->settings();
  const bool wasOff = previous.haveSettings && !previous.collect;
  if (wasOff && (!values.haveSettings || values.collect)) {
    if (auto reopened = prepareNewSessionFragment(identifierGenerator_->generateSessionFragmentIdentifier(),
                                                  timestampGenerator_->generateAnalyticsTimestamp());
        !reopened) {
      analyticsDebugLog("Unable to prepare new session fragment {error: " + reopened.error().description() + "}");
    }
  }
  {
    std::lock_guard lock(settingsMutex_);
    settings_ = values;
  }

  scheduleSessionMaintenance();
  handleDisabledFeatureSwitch();
  if (!collect) return;
  if (!loggedAnalyticsEnabled_) {
    auto session = repository_.sessionDirectoryURLForStateName(kBBXEventLogActiveStateName, sessionIdentifier_,
                                                               sessionTimestamp_);
    if (session) {
      analyticsDebugLog("Logging events to session directory " + session.value().string());
      loggedAnalyticsEnabled_ = true;
    }
  }
  if (performSessionMaintenanceAfterSettingsArrive_) maintainSessionFragmentsIgnoringError();
}

BBXAnalyticsController::SettingsValues BBXAnalyticsController::settings() const {
  std::lock_guard lock(settingsMutex_);
  return settings_;
}

bool BBXAnalyticsController::analyticsFeatureSwitchEnabled() const {
  const auto values = settings();
  return !values.haveSettings || values.collect;
}

bool BBXAnalyticsController::customEventsFeatureSwitchEnabled() const {
  const auto values = settings();
  return !values.haveSettings || (values.collect && values.trackCustomEvents);
}

bool BBXAnalyticsController::predefinedEventsFeatureSwitchEnabled() const {
  const auto values = settings();
  return !values.haveSettings || (values.collect && values.trackPredefinedEvents);
}

void BBXAnalyticsController::handleDisabledFeatureSwitch() {
  if (analyticsFeatureSwitchEnabled()) return;
  analyticsDebugLog("Tally is disabled. Cleaning up session directory");
  std::error_code ec;
  if (std::filesystem::exists(rootDirectoryURL_, ec)) {
    for (std::size_t p = 0; p < 3; ++p) {
      queues_[p]->sync([this, p] {
        priorityCurrentFragmentEventFileURLs_[p].reset();
        priorityCurrentFragmentEventFiles_[p].reset();
      });
    }
    std::filesystem::remove_all(rootDirectoryURL_, ec);
    repository_.noteRemoved(rootDirectoryURL_);
    if (ec) analyticsDebugLog("Unable to purge analytics directory {error = " + ec.message() + "}");
  }
  performSessionMaintenanceAfterSettingsArrive_ = false;
}

// Intake.

void BBXAnalyticsController::logPredefinedEvent(const std::optional<BBXTallyEvent>& event) {
  if (!predefinedEventsFeatureSwitchEnabled()) {
    platform::consoleLog("[Blackbox:Tally] Tally Event tracking is disabled for this application. Ignoring " +
                         (event ? event->description() : std::string("(null)")));
    return;
  }
  logTallyEvent(event);
}

void BBXAnalyticsController::logCustomEvent(const std::optional<BBXTallyEvent>& event) {
  if (!customEventsFeatureSwitchEnabled()) {
    platform::consoleLog("[Blackbox:Tally] Tally Event tracking is disabled for this application. Ignoring " +
                         (event ? event->description() : std::string("(null)")));
    return;
  }
  logTallyEvent(event);
}

void BBXAnalyticsController::logTallyEvent(const std::optional<BBXTallyEvent>& event) {
  if (!analyticsFeatureSwitchEnabled()) {
    platform::consoleLog(
        "[Blackbox:Tally] Tally is disabled for this application. Please enable Tally on your dashboard.");
    return;
  }
  if (!event) return;
  analyticsDebugLog("Logging event: " + event->description());
  auto record = BBXAnalyticsEvent::make(*event, timestampGenerator_->generateAnalyticsTimestamp(),
                                        identifierGenerator_->generateEventIdentifier());
  if (record) logEvent(*record);
}

void BBXAnalyticsController::logEvent(const std::optional<BBXEventLogEvent>& event) {
  if (!event) return;
  const auto values = settings();
  if (BBXAnalyticsEventFilter::shouldDiscardEvent(&*event, betaToken_, harbor_.installID(), values.samplingRate)) {
    analyticsDebugLog("Application is enabled for sampling, skipping " + event->description());
    return;
  }
  if (!analyticsFeatureSwitchEnabled()) return;
  const std::uint64_t p = event->priority();
  if (p > 2) return;
  auto self = shared_from_this();
  dispatchToQueue(*queues_[p], p == 2, [self, p, record = *event] {
    if (auto ensured = self->ensureLogFileExistsForPriority(p); !ensured) {
      analyticsDebugLog("Unable to create a new log file for priority " + std::to_string(p) +
                        " {error: " + ensured.error().description() + "}");
      return;
    }
    auto& file = *self->priorityCurrentFragmentEventFiles_[p];
    if (!file.appendEvent(record)) return;
    if (!self->handleSizeTriggeredMaintainSessionFragmentForLogFile(file)) {
      self->handlePriorityTriggeredMaintainSessionFragmentForEvent(record);
    }
  });
}

bool BBXAnalyticsController::handleSizeTriggeredMaintainSessionFragmentForLogFile(const BBXEventLogEventFile& file) {
  const auto bound = settings().maxByteSizePerFile;
  if (bound == 0 || file.fileSize() <= bound) return false;
  maintainSessionFragmentsIgnoringError();
  return true;
}

bool BBXAnalyticsController::handlePriorityTriggeredMaintainSessionFragmentForEvent(const BBXEventLogEvent& event) {
  if (event.priority() != 0) return false;
  if (settings().haveSettings) {
    maintainSessionFragmentsIgnoringError();
    return true;
  }
  performSessionMaintenanceAfterSettingsArrive_ = true;
  return false;
}

void BBXAnalyticsController::dispatchToQueue(platform::SerialQueue& queue, bool asynchronous,
                                             std::function<void()> block) {
  if (asynchronous) {
    queue.async(std::move(block));
  } else {
    queue.sync(std::move(block));
  }
}

void BBXAnalyticsController::onMaintenanceQueue(std::function<void()> block) {
  queues_[kMaintenance]->async([self = shared_from_this(), block = std::move(block)] { block(); });
}

platform::Status BBXAnalyticsController::ensureLogFileExistsForPriority(std::uint64_t priority) {
  if (priorityCurrentFragmentEventFiles_[priority]) return platform::Status::success();
  const auto& url = priorityCurrentFragmentEventFileURLs_[priority];
  if (!url) return platform::Error(kBBXAnalyticsControllerErrorDomain, 0);
  auto file = BBXEventLogEventFile::open(*url);
  if (!file) return platform::Error(kBBXAnalyticsControllerErrorDomain, 0);
  std::uint64_t fragmentTimestamp;
  {
    std::lock_guard lock(fragmentMutex_);
    fragmentTimestamp = currentSessionFragmentTimestamp_;
  }
  const BBXAnalyticsMetadataEvent metadata(priority, fragmentTimestamp, metadataJSONData());
  if (auto appended = file->appendEvent(metadata); !appended) return appended;
  priorityCurrentFragmentEventFiles_[priority] = std::move(file);
  return platform::Status::success();
}

platform::Status BBXAnalyticsController::prepareNewSessionFragment(const std::string& identifier,
                                                                   std::uint64_t timestamp) {
  {
    std::lock_guard lock(fragmentMutex_);
    currentSessionFragmentIdentifier_ = identifier;
    currentSessionFragmentTimestamp_ = timestamp;
  }
  auto directory = repository_.sessionFragmentDirectoryURLForStateName(
      kBBXEventLogActiveStateName, sessionIdentifier_, sessionTimestamp_, identifier, timestamp);
  if (!directory) return directory.error();
  {
    std::lock_guard lock(fragmentMutex_);
    currentSessionFragmentDirectoryURL_ = directory.value();
  }
  std::array<URL, 3> urls;
  for (std::uint64_t p = 0; p < 3; ++p) {
    auto url = repository_.eventLogFileURLForStateName(kBBXEventLogActiveStateName, sessionIdentifier_,
                                                       sessionTimestamp_, identifier, timestamp, p);
    if (!url) return url.error();
    urls[p] = url.value();
  }
  auto group = std::make_shared<platform::Semaphore>(0);
  for (std::size_t p = 0; p < 3; ++p) {
    queues_[p]->async([this, p, url = urls[p], group] {
      priorityCurrentFragmentEventFiles_[p].reset();
      priorityCurrentFragmentEventFileURLs_[p] = url;
      group->signal();
    });
  }
  for (int i = 0; i < 3; ++i) {
    if (!group->waitFor(std::chrono::seconds(5))) return platform::Error(kBBXAnalyticsControllerErrorDomain, 0);
  }
  return platform::Status::success();
}

std::optional<BBXAnalyticsController::URL> BBXAnalyticsController::currentSessionFragmentDirectoryURL() const {
  std::lock_guard lock(fragmentMutex_);
  return currentSessionFragmentDirectoryURL_;
}

// Life cycle, view controllers and the previous run's crash.

void BBXAnalyticsController::applicationLifecycleEvent(const std::string& notificationName) {
  auto event = BBXAnalyticsApplicationLifecycleEvent::make(
      notificationName, timestampGenerator_->generateAnalyticsTimestamp(),
      identifierGenerator_->generateEventIdentifier(), settings().flushOnBackground);
  if (event) logEvent(*event);
}

void BBXAnalyticsController::logAppInstalled() {
  if (!harbor_.isFirstInstall()) return;
  auto event = BBXAnalyticsApplicationLifecycleEvent::applicationInstalledEvent(
      timestampGenerator_->generateAnalyticsTimestamp(), identifierGenerator_->generateEventIdentifier());
  if (event) logEvent(*event);
}

void BBXAnalyticsController::logAppLaunched() {
  auto event = BBXAnalyticsApplicationLifecycleEvent::applicationLaunchedEvent(
      timestampGenerator_->generateAnalyticsTimestamp(), identifierGenerator_->generateEventIdentifier());
  if (event) logEvent(*event);
}

void BBXAnalyticsController::viewControllerTrackingControllerDidDetectAppearanceOfViewController(
    BBXAnalyticsViewControllerTrackingController&, platform::ui::ViewController& viewController) {
  if (!settings().trackViewControllers) return;
  auto event = BBXAnalyticsViewControllerEvent::appearedEvent(viewController,
                                                              timestampGenerator_->generateAnalyticsTimestamp(),
                                                              identifierGenerator_->generateEventIdentifier());
  if (event) logEvent(*event);
}

void BBXAnalyticsController::viewControllerTrackingControllerDidDetectDisappearanceOfViewController(
    BBXAnalyticsViewControllerTrackingController&, platform::ui::ViewController& viewController) {
  if (!settings().trackViewControllers) return;
  auto event = BBXAnalyticsViewControllerEvent::disappearedEvent(viewController,
                                                                 timestampGenerator_->generateAnalyticsTimestamp(),
                                                                 identifierGenerator_->generateEventIdentifier());
  if (event) logEvent(*event);
}

void BBXAnalyticsController::logPreviousSessionCrashedOnDate(std::optional<double> date) {
  analyticsDebugLog("Logging previous session crashed event {date: " + (date ? std::to_string(*date) : "(null)") + "}");
  onMaintenanceQueue([this, date] {
    if (!date || !lastSessionIdentifier_ || !lastSessionMetadata_ || lastSessionTimestamp_ == 0 || *date < 0) return;
    const std::uint64_t timestamp = static_cast<std::uint64_t>(*date) * 1000;
    auto crash = BBXAnalyticsApplicationLifecycleEvent::applicationCrashedEvent(
        timestamp, identifierGenerator_->generateEventIdentifier());
    if (!crash) return;
    const BBXAnalyticsMetadataEvent metadata(crash->priority(), crash->timestamp(), lastSessionMetadata_);
    auto url = repository_.eventLogFileURLForStateName(
        kBBXEventLogActiveStateName, *lastSessionIdentifier_, lastSessionTimestamp_,
        identifierGenerator_->generateSessionFragmentIdentifier(), timestamp, crash->priority());
    if (!url) {
      analyticsDebugLog("Unable to create a new session fragment to contain crash event {error: " +
                        url.error().description() + "}");
      return;
    }
    auto file = BBXEventLogEventFile::open(url.value());
    bool written = false;
    if (!file) {
      analyticsDebugLog("Unable to log metadata event");
    } else if (auto appended = file->appendEvent(metadata); !appended) {
      analyticsDebugLog("Unable to log metadata event {error: " + appended.error().description() + "}");
    } else if (auto logged = file->appendEvent(*crash); !logged) {
      analyticsDebugLog("Unable to log crash event {error: " + logged.error().description() + "}");
    } else {
      written = true;
    }
    if (!written) {
      file.reset();
      std::error_code ec;
      std::filesystem::remove(url.value(), ec);
    }
  });
}

void BBXAnalyticsController::readLastSessionInformation() {
  lastSessionIdentifier_.reset();
  lastSessionTimestamp_ = 0;
  lastSessionMetadata_.reset();
  auto identifier = defaults_.stringForKey(kLastSessionIdentifierKey);
  auto timestamp = defaults_.objectForKey(kLastSessionTimestampKey);
  auto metadata = defaults_.objectForKey(kLastSessionMetadataKey);
  if (!identifier || !timestamp || !metadata) return;
  std::uint64_t value;
  if (const auto* integer = std::get_if<std::int64_t>(&*timestamp)) {
    value = static_cast<std::uint64_t>(*integer);
  } else if (const auto* real = std::get_if<double>(&*timestamp); real && *real >= 0) {
    value = static_cast<std::uint64_t>(*real);
  } else {
    return;
  }
  const auto* bytes = std::get_if<platform::Bytes>(&*metadata);
  if (!bytes) return;
  lastSessionIdentifier_ = identifier;
  lastSessionTimestamp_ = value;
  lastSessionMetadata_ = *bytes;
}

void BBXAnalyticsController::saveCurrentSessionInformation() {
  defaults_.setString(sessionIdentifier_, kLastSessionIdentifierKey);
  defaults_.setObject(BBXUserDefaults::Value(static_cast<std::int64_t>(sessionTimestamp_)), kLastSessionTimestampKey);
  defaults_.setObject(BBXUserDefaults::Value(metadataJSONData()), kLastSessionMetadataKey);
  defaults_.synchronize();
}

}  // namespace lumora
