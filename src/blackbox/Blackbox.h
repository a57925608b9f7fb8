// The crash reporter as the app sees it: a kit of the reporting platform
// that starts crash reporting (explicitly: startWithAPIKey, or Harbor::with
// with this kit), attaches the user's identity, custom keys, errors and
// custom exceptions to the launch's report, watches web views for script
// errors and passes custom events on to Tally. It answers the crash-
// reporting and beta controllers' questions and relays the report
// questions to the host's delegate.
//
// Before start every recording call is dropped: nothing is written and
// nothing kept for later.
//
// Ownership: sharedInstance() lives for the process and owns both
// controllers and the host's delegate. Threading: any thread;
// start runs once; report callbacks reach the delegate on the main queue
// (the completion handler may be called anywhere). Failure: a controller
// that does not start is logged; the kit still counts as started.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "blackbox/BBXBetaController.h"
#include "blackbox/BBXCrashReportingController.h"
#include "blackbox/BBXException.h"
#include "blackbox/BBXReport.h"
#include "harbor/HBRKit.h"
#include "platform/ui/UserContentController.h"
#include "platform/ui/WebView.h"

namespace lumora {

class Blackbox;

// Every member optional: an empty one is a method the host does not have.
class BlackboxDelegate {
 public:
  virtual ~BlackboxDelegate() = default;
  // A report of the last run; call the handler with whether to send it.
  std::function<void(const std::shared_ptr<BBXReport>& report, std::function<void(bool submit)> completionHandler)>
      blackboxDidDetectReportForLastExecution;
  // Older forms, told after such a report.
  std::function<void(Blackbox& blackbox, const std::shared_ptr<BBXReport>& report)>
      blackboxDidDetectCrashDuringPreviousExecutionWithReport;
  std::function<void(Blackbox& blackbox)> blackboxDidDetectCrashDuringPreviousExecution;
  // On the crashing thread, inside the crash handler.
  std::function<void(Blackbox& blackbox)> blackboxDidDetectCrash;
  std::function<bool(Blackbox& blackbox)> blackboxCanUseBackgroundSessions;
  std::function<bool(Blackbox& blackbox, int signal)> blackboxEnsureDeliveryOfUnixSignal;
};

class Blackbox : public HBRKitObject,
                 public BBXCrashReportingControllerDelegate,
                 public BBXBetaControllerDelegate,
                 public platform::ui::ScriptMessageHandler,
                 public std::enable_shared_from_this<Blackbox> {
 public:
  static std::shared_ptr<Blackbox> sharedInstance();
  // The kit class "Blackbox"; the first use of the facade declares it and
  // Tally's to the platform.
  static HBRKitClassPtr kitClassObject();
  static std::string bundleIdentifier() { return "com.harbor.blackbox.ios"; }
  static std::string kitDisplayVersion() { return "3.3.4"; }
  static std::string kitBuildVersion() { return "82"; }
  static void initializeIfNeeded();

  static std::shared_ptr<Blackbox> startWithAPIKey(const std::string& apiKey,
                                                   std::shared_ptr<BlackboxDelegate> delegate = nullptr);
  // The delay is not used: the kit starts at once (logged as deprecated).
  static std::shared_ptr<Blackbox> startWithAPIKeyAfterDelay(const std::string& apiKey,
                                                             std::shared_ptr<BlackboxDelegate> delegate, double delay);

  HBRKitClassPtr kitClass() const override { return kitClassObject(); }
  std::string version() const { return kitDisplayVersion(); }

  // Once per process.
  void start();
  bool isBlackboxStarted() const;
  std::optional<std::string> APIKey() const;
  std::string installID() const;
  bool isFirstInstall() const;
  void setDebugMode(bool debug);
  bool debugMode() const;
  // Kept (strongly) for the process or until replaced: the callbacks come
  // long after the host handed it over, at crash time too.
  void setDelegate(std::shared_ptr<BlackboxDelegate> delegate);
  std::shared_ptr<BlackboxDelegate> delegate() const;
  std::shared_ptr<BBXBetaController> betaController() const;
  std::shared_ptr<BBXCrashReportingController> crashReportingController() const;

  void setUserIdentifier(const std::optional<std::string>& identifier);
  void setUserName(const std::optional<std::string>& name);
  void setUserEmail(const std::optional<std::string>& email);
  void setDevelopmentPlatformName(const std::optional<std::string>& name);
  void setDevelopmentPlatformVersion(const std::optional<std::string>& version);
  // Write-only: logged, always none.
  std::optional<std::string> developmentPlatformName() const;
  std::optional<std::string> developmentPlatformVersion() const;

  // A custom key with the value's text (null removes it).
  void setObjectValue(const platform::Json& value, const std::string& key);
  void setIntValue(std::int32_t value, const std::string& key);
  void setBoolValue(bool value, const std::string& key);
  void setFloatValue(float value, const std::string& key);

  void recordError(const platform::Error& error, const platform::Json& additionalUserInfo = nullptr);
  void recordCustomExceptionName(const std::string& name, const std::string& reason, const BBXStackFrames& frames);
  // A breakpoint trap: the process dies by SIGTRAP.
  [[noreturn]] static void crash();
  [[noreturn]] static void throwException();

  void monitorErrorsForUIWebView(platform::ui::WebView& webView);
  bool handleWebView(platform::ui::WebView& webView, const platform::ui::WebRequest& request,
                     platform::ui::WebNavigationType navigationType);
  void monitorErrorsForWKWebViewConfiguration(platform::ui::WebViewConfiguration& configuration);
  void userContentControllerDidReceiveScriptMessage(platform::ui::UserContentController& controller,
                                                    const platform::ui::ScriptMessage& message) override;

  static void logEvent(const std::string& name, const platform::Json& attributes = nullptr);

  // BBXCrashReportingControllerDelegate
  bool shouldInstallCrashCallback() override;
  void detectedCrash() override;
  bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController& controller) override;
  bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController& controller) override;
  void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController& controller,
                                                          const std::shared_ptr<BBXInternalReport>& report,
                                                          std::function<void(bool)> completionHandler) override;
  void reportingControllerInternalDidDetectReportForLastExecution(
      BBXCrashReportingController& controller, const std::shared_ptr<BBXInternalReport>& report) override;
  bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController& controller, int signal) override;
  std::optional<std::string> APIKeyForCrashReportingController(BBXCrashReportingController& controller) override;
  std::string installIDForCrashReportingController(BBXCrashReportingController& controller) override;
  bool isFirstInstallForCrashReportingController(BBXCrashReportingController& controller) override;
  BBXSettings settingsForCrashReportingController(BBXCrashReportingController& controller) override;
  // BBXBetaControllerDelegate
  std::optional<std::string> APIKeyForBetaController(BBXBetaController& controller) override;
  BBXSettings settingsForBetaController(BBXBetaController& controller) override;

  // Tests only: a facade that was never started (the process-wide one
  // stays as it is).
  static std::shared_ptr<Blackbox> makeForTesting();

 private:
  Blackbox() = default;
  void warnDelegateAboutMethods();
  BBXSettings currentSettings() const;

  mutable std::mutex mutex_;
  std::shared_ptr<BlackboxDelegate> delegate_;
  std::shared_ptr<BBXCrashReportingController> crashReportingController_;
  std::shared_ptr<BBXBetaController> betaController_;
  std::once_flag started_;
};

}  // namespace lumora
