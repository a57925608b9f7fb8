// The launch sequence of crash reporting: checks the bundle identifier and
// the reporting switch, prepares the report store, reads the launch marker
// (a launch that never reached its first main-queue turn makes the next
// one handle its reports urgently), creates this launch's report and starts
// capture there, then deals with earlier launches: reports in "active" are
// offered to the delegate (or submitted at once when urgent), reports left
// in "processing" are processed and packaged again (but for those this
// launch has tried already: a report gets one try a launch) and packages
// in "prepared" uploaded again. A failed upload is tried again 600 s later,
// without end.
//
// The optional prompt asks the user about each report (Send, Don't Send,
// Always Send); Always Send holds for the rest of the process.
//
// Ownership: created shared by the facade, which keeps it for the process
// (capture holds it as its crash callback receiver); the delegate is held
// weakly. Threading: start on the caller's thread; later store work on the
// serial work queue; alerts on the main queue; internal keys on the logging
// queue. Failure: start answers false without a bundle identifier, with
// reporting switched off (the store is emptied) or when the store cannot
// be prepared; everything else is logged and the launch goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXFileManager.h"
#include "blackbox/BBXInternalReport.h"
#include "blackbox/BBXNetworkClient.h"
#include "blackbox/BBXReportsController.h"
#include "blackbox/BBXSettings.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/ui/AlertView.h"

namespace lumora {

class BBXCrashReportingController;

class BBXCrashReportingControllerDelegate {
 public:
  virtual ~BBXCrashReportingControllerDelegate() = default;
  virtual bool shouldInstallCrashCallback() = 0;
  // On the crashing thread, inside the crash handler.
  virtual void detectedCrash() = 0;
  virtual bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController& controller) = 0;
  virtual bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController& controller) = 0;
  // The handler takes whether to submit; it may be called on any thread.
  virtual void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController& controller,
                                                                  const std::shared_ptr<BBXInternalReport>& report,
                                                                  std::function<void(bool submit)> completionHandler) = 0;
  virtual void reportingControllerInternalDidDetectReportForLastExecution(
      BBXCrashReportingController& controller, const std::shared_ptr<BBXInternalReport>& report) = 0;
  virtual bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController& controller, int signal) = 0;
  virtual std::optional<std::string> APIKeyForCrashReportingController(BBXCrashReportingController& controller) = 0;
  virtual std::string installIDForCrashReportingController(BBXCrashReportingController& controller) = 0;
  virtual bool isFirstInstallForCrashReportingController(BBXCrashReportingController& controller) = 0;
  virtual BBXSettings settingsForCrashReportingController(BBXCrashReportingController& controller) = 0;
};

// Prompt choices: none asked yet, declined, send, always send.
enum BBXPromptChoice : int { kBBXPromptNone = 0, kBBXPromptDeclined = 1, kBBXPromptSend = 2, kBBXPromptAlwaysSend = 3 };

inline constexpr int kBBXNoAlwaysSendButton = -1337;
inline constexpr double kBBXRetryUploadSeconds = 600;

class BBXCrashReportingController : public BBXNetworkClientDelegate,
                                    public BBXReportsControllerDelegate,
                                    public BBXCrashCallbackReceiver,
                                    public BBXCrashOccurredReceiver,
                                    public platform::ui::AlertViewDelegate,
                                    public std::enable_shared_from_this<BBXCrashReportingController> {
 public:
  static std::shared_ptr<BBXCrashReportingController> create(BBXFileManager fileManager,
                                                             std::weak_ptr<BBXCrashReportingControllerDelegate> delegate);
  ~BBXCrashReportingController() override;
  BBXCrashReportingController(const BBXCrashReportingController&) = delete;
  BBXCrashReportingController& operator=(const BBXCrashReportingController&) = delete;

  // `profilingMark`: BBXTimingNow() when the caller's start began. True
  // when this launch's report was set up and capture started.
  bool startWithProfilingMark(std::uint64_t profilingMark, const std::optional<std::string>& betaToken);
  bool startCrashReporterWithAPIKey(const std::string& apiKey, const std::string& betaToken,
                                    const std::shared_ptr<BBXInternalReport>& report);
  std::uint32_t machExceptionMask();

  void processExistingReportPaths(const std::vector<std::string>& paths, bool urgent);
  void processExistingActiveReportPath(const std::string& path, bool urgent);
  void handleDelegateCompletionForReport(const std::shared_ptr<BBXInternalReport>& report, bool submit);
  void removeReport(const std::shared_ptr<BBXInternalReport>& report);
  void handleContentsInOtherReportingDirectories();
  void handleExistingFilesInProcessing();
  void handleExistingFilesInPrepared();
  void uploadPreexistingFiles(const std::vector<std::string>& paths);
  void retryUploadForReportAtPath(const std::string& path);

  void displayPermissionAlertForReport(const std::shared_ptr<BBXInternalReport>& report);
  void setupAndDisplayAlert(const std::string& title, const std::string& message, const std::string& cancel,
                            const std::string& send, const std::optional<std::string>& alwaysSend,
                            const std::shared_ptr<BBXInternalReport>& report);
  void handlePromptCompleteForReport(const std::shared_ptr<BBXInternalReport>& report, bool submit,
                                     bool markAlwaysSubmit);
  void alertViewClickedButtonAtIndex(platform::ui::AlertView& alert, int buttonIndex) override;

  std::string launchFailureMarkerPath() const;
  bool createLaunchFailureMarker() const;
  bool launchFailureMarkerPresent() const;
  bool removeLaunchFailureMarker() const;
  bool checkForAndCreateLaunchMarker();

  void setupStateNotifications();
  void captureInitialNotificationStates();

  void deliverCrashDelegateCallback() override;
  // Sends the current launch's report at once when urgent reports may go;
  // false when none was started, also when the attempt failed on the way
  // (it is written to the SDK log, never let through into the crash path).
  bool potentiallySubmittableCrashOccurred() override;
  bool attemptCurrentReportSubmission();

  // BBXNetworkClientDelegate
  void networkClientDidFinishUploadWithPath(BBXNetworkClient& client, const std::string& path,
                                            const std::optional<platform::Error>& error) override;
  bool networkClientCanUseBackgroundSessions(BBXNetworkClient& client) override;
  // BBXReportsControllerDelegate
  BBXSettings settingsForReportsController(BBXReportsController& controller) override;
  std::optional<std::string> APIKeyForReportsController(BBXReportsController& controller) override;
  std::optional<std::string> bundleIdentifierForReportsController(BBXReportsController& controller) override;
  void reportsControllerDidCompletePackageSubmission(BBXReportsController& controller, const std::string& path,
                                                     const std::optional<platform::Error>& error) override;

  std::string bundleIdentifier() const;
  BBXSettings settings();
  bool needsToPrompt();
  bool canProcessUrgentReports();
  bool delegateNeedsToBeInformedOfReports();
  int promptChoice() const { return promptChoice_.load(); }
  const BBXFileManager& fileManager() const { return fileManager_; }
  const std::shared_ptr<platform::OperationQueue>& operationQueue() const { return operationQueue_; }
  std::shared_ptr<BBXReportsController> reportsController();
  // The report the showing prompt asks about, if any.
  std::shared_ptr<BBXInternalReport> promptedReport();

 private:
  BBXCrashReportingController(BBXFileManager fileManager, std::weak_ptr<BBXCrashReportingControllerDelegate> delegate);
  std::shared_ptr<BBXInternalReport> setupCurrentReport();
  void crashReportingSetupCompleted();
  void recordStateKey(const char* key, long value);

  BBXFileManager fileManager_;
  std::shared_ptr<BBXNetworkClient> networkClient_;
  std::shared_ptr<BBXReportsController> reportsController_;
  std::shared_ptr<platform::OperationQueue> operationQueue_;
  std::optional<BBXSettings> settings_;
  int alwaysSendButtonIndex_ = kBBXNoAlwaysSendButton;
  std::shared_ptr<platform::ui::AlertView> crashReportSubmissionAlert_;
  std::shared_ptr<BBXInternalReport> promptedReport_;
  std::atomic<int> promptChoice_{kBBXPromptNone};
  std::weak_ptr<BBXCrashReportingControllerDelegate> delegate_;
  std::vector<platform::ObserverToken> observers_;
  // settings_ and reportsController_ (made on first use from several
  // threads) and promptedReport_ (main queue and work queue).
  std::mutex mutex_;
};

}  // namespace lumora
