#include "blackbox/BBXCrashReportingController.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <utility>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXApplication.h"
#include "blackbox/BBXException.h"
#include "blackbox/BBXHost.h"
#include "blackbox/BBXMachException.h"
#include "blackbox/BBXSignal.h"
#include "blackbox/BBXUserLogging.h"
#include "harbor/HBRBundle.h"
#include "harbor/HBRDebug.h"
#include "harbor/Harbor.h"
#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/OwnFile.h"

namespace lumora {

namespace {

constexpr const char* kBBXKeyInBackground = "com.blackbox.in-background";
constexpr const char* kBBXKeyDeviceOrientation = "com.blackbox.device-orientation";
constexpr const char* kBBXKeyUIOrientation = "com.blackbox.ui-orientation";

void bbxControllerDebugLog(const std::string& message) {
  if (HBRDebugEnabled()) platform::consoleLog("[Blackbox:Crash] " + message);
}

// Internal keys are written on the logging queue without holding the caller.
void bbxRecordInternalKeyLater(const char* key, std::string value) {
  if (!BBXContextIsInitialized()) return;
  BBXContextLoggingQueue().async(
      [key, value = std::move(value)] { BBXUserLoggingWriteInternalKeyValue(key, value.c_str()); });
}

long bbxStatusBarOrientation() {
  return static_cast<long>(platform::Application::shared().statusBarOrientation());
}

}  // namespace

std::shared_ptr<BBXCrashReportingController> BBXCrashReportingController::create(
    BBXFileManager fileManager, std::weak_ptr<BBXCrashReportingControllerDelegate> delegate) {
  std::shared_ptr<BBXCrashReportingController> controller(
      new BBXCrashReportingController(std::move(fileManager), std::move(delegate)));
  controller->networkClient_ = BBXNetworkClient::create(controller->operationQueue_, controller->fileManager_,
                                                        std::weak_ptr<BBXNetworkClientDelegate>(controller));
  return controller;
}

BBXCrashReportingController::BBXCrashReportingController(BBXFileManager fileManager,
                                                         std::weak_ptr<BBXCrashReportingControllerDelegate> delegate)
    : fileManager_(std::move(fileManager)),
      operationQueue_(std::make_shared<platform::OperationQueue>("com.harbor.blackbox.ios.work-queue", 1)),
      delegate_(std::move(delegate)) {}

BBXCrashReportingController::~BBXCrashReportingController() {
  for (platform::ObserverToken token : observers_) platform::NotificationCenter::defaultCenter().removeObserver(token);
}

std::string BBXCrashReportingController::bundleIdentifier() const {
  std::string identifier = platform::Bundle::infoString("CFBundleIdentifier").value_or("");
  for (char& c : identifier) {
    if (c == '/') c = '_';
  }
  return identifier;
}

BBXSettings BBXCrashReportingController::settings() {
  std::lock_guard lock(mutex_);
  if (!settings_) {
    auto delegate = delegate_.lock();
    settings_ = delegate ? delegate->settingsForCrashReportingController(*this) : BBXSettings(std::nullopt);
  }
  return *settings_;
}

bool BBXCrashReportingController::delegateNeedsToBeInformedOfReports() {
  auto delegate = delegate_.lock();
  return delegate && delegate->reportingControllerMustInformDelegateOfReports(*this);
}

bool BBXCrashReportingController::needsToPrompt() {
  const int choice = promptChoice_.load();
  if (choice == kBBXPromptSend || choice == kBBXPromptAlwaysSend) return false;
  return settings().userPromptEnabled();
}

bool BBXCrashReportingController::canProcessUrgentReports() {
  return settings().canProcessUrgentReports() && !needsToPrompt() && !delegateNeedsToBeInformedOfReports();
}

std::shared_ptr<BBXReportsController> BBXCrashReportingController::reportsController() {
  std::lock_guard lock(mutex_);
  if (!reportsController_) {
    reportsController_ = std::make_shared<BBXReportsController>(
        operationQueue_, std::weak_ptr<BBXReportsControllerDelegate>(shared_from_this()), networkClient_,
        fileManager_);
  }
  return reportsController_;
}

std::shared_ptr<BBXInternalReport> BBXCrashReportingController::promptedReport() {
  std::lock_guard lock(mutex_);
  return promptedReport_;
}

// ---- launch sequence ----

bool BBXCrashReportingController::startWithProfilingMark(std::uint64_t profilingMark,
                                                         const std::optional<std::string>& betaToken) {
  if (bundleIdentifier().empty()) {
    platform::consoleLog("[Blackbox] An application must have a valid bundle idenifier in its Info.plist");
    return false;
  }
  if (!settings().crashReportingEnabled()) {
    platform::consoleLog("[Blackbox:Crash] Reporting is disabled");
    fileManager_.removeContentsOfAllPaths();
    return false;
  }
  // The legacy tree is gone before this launch's directories are made, so
  // its removal cannot take them along.
  fileManager_.removeLegacyDirectories();
  if (!fileManager_.prepareForNewLaunch()) return false;

  const bool urgent = checkForAndCreateLaunchMarker();
  const std::vector<std::string> earlier = fileManager_.activePathContents();

  std::shared_ptr<BBXInternalReport> report = setupCurrentReport();
  if (!report) platform::consoleLog("[Blackbox:Crash] Unable to setup a new report");
  std::optional<std::string> apiKey;
  if (auto delegate = delegate_.lock()) apiKey = delegate->APIKeyForCrashReportingController(*this);
  // Started even without a report: capture then installs nothing, but the
  // launch still reaches its first main-queue turn, which removes the marker.
  const bool started = startCrashReporterWithAPIKey(apiKey.value_or(""), betaToken.value_or(""), report);
  if (!started) {
    platform::consoleLog("[Blackbox:Crash] Unable to start crash reporter");
    report.reset();
  }

  processExistingReportPaths(earlier, urgent);
  handleContentsInOtherReportingDirectories();

  bbxRecordInternalKeyLater("com.blackbox.kit-start-time",
                            BBXUserLoggingNumberText(BBXTimingElapsedMilliseconds(profilingMark)));
  return report != nullptr && started;
}

std::shared_ptr<BBXInternalReport> BBXCrashReportingController::setupCurrentReport() {
  createLaunchFailureMarker();
  const std::string identifier = Harbor::sharedSDK().executionIdentifier();
  auto path = fileManager_.setupNewPathForExecutionIdentifier(identifier);
  if (!path) return nullptr;
  return BBXInternalReport::reportWithPath(*path, identifier);
}

bool BBXCrashReportingController::startCrashReporterWithAPIKey(const std::string& apiKey, const std::string& betaToken,
                                                               const std::shared_ptr<BBXInternalReport>& report) {
  auto delegate = delegate_.lock();
  const BBXSettings current = settings();
  BBXContextInitData data;
  data.apiKey = apiKey;
  data.firstInstall = delegate && delegate->isFirstInstallForCrashReportingController(*this);
  if (delegate && delegate->shouldInstallCrashCallback()) data.crashCallbackReceiver = this;
  if (report) {
    data.reportPath = report->path();
    data.reportIdentifier = report->identifier();
  }
  data.installIdentifier = delegate ? delegate->installIDForCrashReportingController(*this) : std::string();
  data.betaToken = betaToken;
  data.machExceptionMask = machExceptionMask();
  data.errorReportingEnabled = current.errorReportingEnabled();
  data.customExceptionsEnabled = current.customExceptionsEnabled();
  data.maxCustomExceptions = current.maxCustomExceptions();
  data.errorLogBufferSize = current.errorLogBufferSize();
  data.logBufferSize = current.logBufferSize();
  data.maxCustomKeys = current.maxCustomKeys();
  BBXContextInitialize(&data);
  setupStateNotifications();
  crashReportingSetupCompleted();
  return true;
}

std::uint32_t BBXCrashReportingController::machExceptionMask() {
  auto delegate = delegate_.lock();
  std::uint32_t mask = 0;
  for (int signal : kBBXHandledSignals) {
    if (delegate && delegate->reportingControllerEnsureDeliveryOfUnixSignal(*this, signal)) {
      mask |= BBXMachExceptionSignalToMask(signal);
    }
  }
  return mask;
}

void BBXCrashReportingController::crashReportingSetupCompleted() {
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  platform::MainQueue::main().asyncAfter(std::chrono::milliseconds(2000), [weak] {
    auto self = weak.lock();
    if (!self) return;
    BBXExceptionCheckHandlers();
    BBXSignalCheckHandlers();
    if (self->settings().userPromptEnabled() && !self->delegateNeedsToBeInformedOfReports()) {
      platform::consoleLog(
          "[Blackbox:Crash] WARNING: the user prompt feature is enabled. As of Blackbox 3.0.0, implementing a user "
          "prompt is the application's responsibility. See Blackbox.h's notes about "
          "-blackboxDidDetectReportForLastExecution:completionHandler:");
    }
  });
  platform::MainQueue::main().async([weak] {
    if (auto self = weak.lock()) self->removeLaunchFailureMarker();
    bbxRecordInternalKeyLater("com.blackbox.first-run-loop-time", BBXUserLoggingNumberText(BBXTimingSinceLoad()));
  });
}

// ---- launch marker ----

std::string BBXCrashReportingController::launchFailureMarkerPath() const {
  return (std::filesystem::path(fileManager_.structurePath()) / "launchmarker").string();
}

bool BBXCrashReportingController::createLaunchFailureMarker() const {
  const int fd = platform::openOwnFile(launchFailureMarkerPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  return close(fd) == 0;
}

bool BBXCrashReportingController::launchFailureMarkerPresent() const {
  std::error_code error;
  return std::filesystem::exists(launchFailureMarkerPath(), error);
}

bool BBXCrashReportingController::removeLaunchFailureMarker() const {
  return fileManager_.removeItemAtPath(launchFailureMarkerPath());
}

bool BBXCrashReportingController::checkForAndCreateLaunchMarker() {
  if (launchFailureMarkerPresent()) {
    bbxControllerDebugLog("Last launch failed");
    return true;
  }
  createLaunchFailureMarker();
  return false;
}

// ---- earlier launches ----

void BBXCrashReportingController::processExistingReportPaths(const std::vector<std::string>& paths, bool urgent) {
  for (const std::string& path : paths) processExistingActiveReportPath(path, urgent);
}

void BBXCrashReportingController::processExistingActiveReportPath(const std::string& path, bool urgent) {
  auto report = BBXInternalReport::reportWithPath(path);
  if (!report || !report->needsToBeSubmitted()) {
    BBXFileManager store = fileManager_;
    operationQueue_->addOperation([store, path] { store.removeItemAtPath(path); });
    return;
  }
  auto delegate = delegate_.lock();
  if (delegate) delegate->reportingControllerInternalDidDetectReportForLastExecution(*this, report);
  if (urgent && canProcessUrgentReports()) {
    reportsController()->prepareAndSubmitReport(report, true, true);
    return;
  }
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  auto handler = [weak, report](bool submit) {
    if (auto self = weak.lock()) self->handleDelegateCompletionForReport(report, submit);
  };
  if (delegate) {
    delegate->reportingControllerDidDetectReportForLastExecution(*this, report, handler);
  } else {
    handler(true);
  }
}

void BBXCrashReportingController::handleDelegateCompletionForReport(const std::shared_ptr<BBXInternalReport>& report,
                                                                    bool submit) {
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  operationQueue_->addOperation([weak, report, submit] {
    auto self = weak.lock();
    if (!self) return;
    if (!submit) {
      bbxControllerDebugLog("Removing report at request of delegate");
      self->removeReport(report);
    } else if (self->needsToPrompt()) {
      self->displayPermissionAlertForReport(report);
    } else {
      self->reportsController()->prepareAndSubmitReport(report, false, true);
    }
  });
}

void BBXCrashReportingController::removeReport(const std::shared_ptr<BBXInternalReport>& report) {
  if (report) fileManager_.removeItemAtPath(report->path());
}

void BBXCrashReportingController::handleContentsInOtherReportingDirectories() {
  handleExistingFilesInProcessing();
  handleExistingFilesInPrepared();
}

void BBXCrashReportingController::handleExistingFilesInProcessing() {
  const std::vector<std::string> paths = fileManager_.processingPathContents();
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  operationQueue_->addOperation([weak, paths] {
    auto self = weak.lock();
    if (!self) return;
    for (const std::string& path : paths) {
      // An earlier run ended while this report was processed (killed, or a
      // full disk): its companions may be cut, so it is processed again. One
      // without an identifier can never be sent and goes, as in active.
      std::error_code gone;
      if (!std::filesystem::exists(path, gone)) continue;  // sent meanwhile by this launch
      // One this launch has tried already (urgently, or as the delegate
      // asked) had its try: a report is tried, and counted, once a launch.
      if (self->reportsController()->hasTriedReport(std::filesystem::path(path).filename().string())) continue;
      auto report = BBXInternalReport::reportWithPath(path);
      if (!report) {
        self->fileManager_.removeItemAtPath(path);
        continue;
      }
      self->reportsController()->prepareAndSubmitReport(report, false, true);
    }
  });
}

void BBXCrashReportingController::handleExistingFilesInPrepared() {
  const std::vector<std::string> paths = fileManager_.preparedPathContents();
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  networkClient_->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, paths] {
    auto self = weak.lock();
    if (!self) return;
    self->operationQueue_->addOperation([weak, paths] {
      auto self = weak.lock();
      if (!self) return;
      // What an earlier run's packaging left half written goes; packaging
      // runs only on this queue, so none of this launch's is under way.
      self->fileManager_.removePartialPackages();
      self->uploadPreexistingFiles(paths);
    });
  });
}

void BBXCrashReportingController::uploadPreexistingFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) reportsController()->uploadPackagedReportAtPath(path, false);
  }
}

void BBXCrashReportingController::retryUploadForReportAtPath(const std::string& path) {
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  BBXAddOperationAfterSeconds(operationQueue_, kBBXRetryUploadSeconds, [weak, path] {
    auto self = weak.lock();
    if (!self) return;
    bbxControllerDebugLog("re-attempting report submission");
    self->reportsController()->uploadPackagedReportAtPath(path, false);
  });
}

// ---- prompt ----

void BBXCrashReportingController::displayPermissionAlertForReport(const std::shared_ptr<BBXInternalReport>& report) {
  if (BBXApplicationIsExtension()) {
    std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
    operationQueue_->addOperation([weak, report] {
      if (auto self = weak.lock()) self->reportsController()->prepareAndSubmitReport(report, false, true);
    });
    return;
  }
  const BBXSettings current = settings();
  std::string title = current.interactivePromptTitle();
  std::string message = current.interactivePromptMessage();
  std::string cancel = current.interactivePromptCancelTitle();
  std::string send = current.interactivePromptSendTitle();
  std::string always = current.interactivePromptAlwaysSendTitle();
  bbxControllerDebugLog("Displaying permission alert");
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  platform::MainQueue::main().async([weak, title, message, cancel, send, always, report] {
    auto self = weak.lock();
    if (!self) return;
    std::optional<std::string> alwaysSend;
    if (!always.empty()) alwaysSend = always;
    self->setupAndDisplayAlert(title, message, cancel, send, alwaysSend, report);
  });
}

void BBXCrashReportingController::setupAndDisplayAlert(const std::string& title, const std::string& message,
                                                       const std::string& cancel, const std::string& send,
                                                       const std::optional<std::string>& alwaysSend,
                                                       const std::shared_ptr<BBXInternalReport>& report) {
  const int choice = promptChoice_.load();
  if (choice == kBBXPromptDeclined) {
    handlePromptCompleteForReport(report, false, false);
    return;
  }
  if (choice == kBBXPromptSend || choice == kBBXPromptAlwaysSend) {
    handlePromptCompleteForReport(report, true, false);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    promptedReport_ = report;
  }
  crashReportSubmissionAlert_ = platform::ui::AlertView::alert(title, message, cancel, {});
  crashReportSubmissionAlert_->setDelegate(std::weak_ptr<platform::ui::AlertViewDelegate>(shared_from_this()));
  crashReportSubmissionAlert_->addButton(send);
  alwaysSendButtonIndex_ = kBBXNoAlwaysSendButton;
  if (alwaysSend) alwaysSendButtonIndex_ = crashReportSubmissionAlert_->addButton(*alwaysSend);
  crashReportSubmissionAlert_->show();
}

void BBXCrashReportingController::alertViewClickedButtonAtIndex(platform::ui::AlertView& alert, int buttonIndex) {
  if (crashReportSubmissionAlert_.get() != &alert) return;
  std::shared_ptr<BBXInternalReport> report;
  {
    std::lock_guard lock(mutex_);
    report = std::move(promptedReport_);
    promptedReport_.reset();
  }
  const bool cancelled = alert.cancelButtonIndex() == buttonIndex;
  // "Always Send" answers every later report of this process too.
  if (!cancelled && buttonIndex == alwaysSendButtonIndex_) promptChoice_.store(kBBXPromptAlwaysSend);
  crashReportSubmissionAlert_.reset();
  // A prompt settled meanwhile forgot its report: the click decides nothing.
  if (!report) return;
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  operationQueue_->addOperation([weak, report, cancelled] {
    auto self = weak.lock();
    if (!self) return;
    if (cancelled) {
      bbxControllerDebugLog("Removing report at request of user");
      self->removeReport(report);
    } else {
      self->reportsController()->prepareAndSubmitReport(report, false, true);
    }
  });
}

void BBXCrashReportingController::handlePromptCompleteForReport(const std::shared_ptr<BBXInternalReport>& report,
                                                                bool submit, bool markAlwaysSubmit) {
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  operationQueue_->addOperation([weak, report, submit, markAlwaysSubmit] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      self->promptedReport_.reset();
    }
    if (!submit) {
      self->promptChoice_.store(kBBXPromptDeclined);
      bbxControllerDebugLog("Removing report at request of user");
      self->removeReport(report);
      return;
    }
    self->reportsController()->prepareAndSubmitReport(report, false, true);
    self->promptChoice_.store(markAlwaysSubmit ? kBBXPromptAlwaysSend : kBBXPromptSend);
  });
}

// ---- state keys ----

void BBXCrashReportingController::recordStateKey(const char* key, long value) {
  bbxRecordInternalKeyLater(key, std::to_string(value));
}

void BBXCrashReportingController::captureInitialNotificationStates() {
  const long device = static_cast<long>(platform::Device::orientation());
  const long ui = bbxStatusBarOrientation();
  recordStateKey(kBBXKeyInBackground, 0);
  recordStateKey(kBBXKeyDeviceOrientation, device);
  recordStateKey(kBBXKeyUIOrientation, ui);
}

void BBXCrashReportingController::setupStateNotifications() {
  captureInitialNotificationStates();
  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<BBXCrashReportingController> weak = weak_from_this();
  auto observe = [&](const char* name, std::function<void(BBXCrashReportingController&)> action) {
    observers_.push_back(center.addObserver(name, [weak, action](const std::string&, const platform::Json&) {
      if (auto self = weak.lock()) action(*self);
    }));
  };
  observe(platform::kApplicationWillEnterForegroundNotification,
          [](BBXCrashReportingController& self) { self.recordStateKey(kBBXKeyInBackground, 0); });
  observe(platform::kApplicationDidEnterBackgroundNotification,
          [](BBXCrashReportingController& self) { self.recordStateKey(kBBXKeyInBackground, 1); });
  observe(platform::kDeviceOrientationDidChangeNotification, [](BBXCrashReportingController& self) {
    self.recordStateKey(kBBXKeyDeviceOrientation, static_cast<long>(platform::Device::orientation()));
  });
  observe(platform::kApplicationDidChangeStatusBarOrientationNotification, [](BBXCrashReportingController& self) {
    self.recordStateKey(kBBXKeyUIOrientation, bbxStatusBarOrientation());
  });
}

// ---- crash time ----

void BBXCrashReportingController::deliverCrashDelegateCallback() {
  if (auto delegate = delegate_.lock()) delegate->detectedCrash();
}

bool BBXCrashReportingController::potentiallySubmittableCrashOccurred() {
  if (!canProcessUrgentReports()) return false;
  BBXSDKLog("%s: Attempting submission\n", __func__);
  // The last effort of a dying process: whatever fails on the way ends here
  // rather than in the crash path that called it.
  try {
    return attemptCurrentReportSubmission();
  } catch (...) {
    BBXSDKLog("%s: Last effort exception\n", __func__);
    return false;
  }
}

bool BBXCrashReportingController::attemptCurrentReportSubmission() {
  BBXSDKLog("%s: Attempting to submit the current report\n", __func__);
  const std::vector<std::string> active = fileManager_.activePathContents();
  if (active.size() != 1) {
    BBXSDKLog("%s: More than one directory in active - cannot submit\n", __func__);
    return false;
  }
  const std::string copy = active.front() + "-submit";
  std::error_code error;
  std::filesystem::copy(active.front(), copy, std::filesystem::copy_options::recursive, error);
  if (error) {
    BBXSDKLog("%s: Error: unable to copy report for submission\n", __func__);
    return false;
  }
  auto report = BBXInternalReport::reportWithPath(copy);
  return reportsController()->prepareAndSubmitReport(report, true, true);
}

// ---- collaborators ----

void BBXCrashReportingController::networkClientDidFinishUploadWithPath(BBXNetworkClient&, const std::string& path,
                                                                       const std::optional<platform::Error>& error) {
  reportsController()->reportUploadAtPath(path, error);
}

bool BBXCrashReportingController::networkClientCanUseBackgroundSessions(BBXNetworkClient&) {
  auto delegate = delegate_.lock();
  return delegate && delegate->reportingControllerCanUseBackgroundSessions(*this);
}

BBXSettings BBXCrashReportingController::settingsForReportsController(BBXReportsController&) { return settings(); }

std::optional<std::string> BBXCrashReportingController::APIKeyForReportsController(BBXReportsController&) {
  auto delegate = delegate_.lock();
  return delegate ? delegate->APIKeyForCrashReportingController(*this) : std::nullopt;
}

std::optional<std::string> BBXCrashReportingController::bundleIdentifierForReportsController(BBXReportsController&) {
  return bundleIdentifier();
}

void BBXCrashReportingController::reportsControllerDidCompletePackageSubmission(
    BBXReportsController&, const std::string& path, const std::optional<platform::Error>& error) {
  if (!error) {
    bbxControllerDebugLog("report submission successful");
    return;
  }
  bbxControllerDebugLog("report submission failed with error " + error->description());
  BBXSDKLog("%s: Error: failed to submit report '%s'\n", __func__, error->description().c_str());
  // A package set aside (refused for what it is) is not tried again.
  std::error_code missing;
  if (!std::filesystem::exists(path, missing)) return;
  retryUploadForReportAtPath(path);
}

}  // namespace lumora
