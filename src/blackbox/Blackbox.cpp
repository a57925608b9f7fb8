#include "blackbox/Blackbox.h"

#include <chrono>
#include <utility>

#include "blackbox/BBXApplication.h"
#include "blackbox/BBXHost.h"
#include "blackbox/BBXUserLogging.h"
#include "blackbox/BBXWebView.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRHost.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/Tally.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/MainQueue.h"

namespace lumora {

namespace {

void bbxFacadeLog(const std::string& message) { platform::consoleLog("[Blackbox] " + message); }

// The text a custom key keeps: texts as they are, truth values as 1 and 0,
// other values as JSON; null is no value.
std::optional<std::string> bbxValueDescription(const platform::Json& value) {
  if (value.is_null()) return std::nullopt;
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  return value.dump();
}

}  // namespace

std::shared_ptr<Blackbox> Blackbox::sharedInstance() {
  static const auto& instance = *new std::shared_ptr<Blackbox>([] {
    HBRRegisterKitClass(Blackbox::kitClassObject());
    HBRRegisterKitClass(Tally::kitClass());
    return std::shared_ptr<Blackbox>(new Blackbox());
  }());
  return instance;
}

std::shared_ptr<Blackbox> Blackbox::makeForTesting() { return std::shared_ptr<Blackbox>(new Blackbox()); }

HBRKitClassPtr Blackbox::kitClassObject() {
  static const auto& blackbox = *new HBRKitClassPtr([] {
    auto kit = std::make_shared<HBRKitClass>();
    kit->name = "Blackbox";
    kit->adoptsHBRKit = true;
    kit->bundleIdentifier = &Blackbox::bundleIdentifier;
    kit->kitDisplayVersion = &Blackbox::kitDisplayVersion;
    kit->kitBuildVersion = &Blackbox::kitBuildVersion;
    kit->initializeIfNeeded = &Blackbox::initializeIfNeeded;
    return HBRKitClassPtr(kit);
  }());
  return blackbox;
}

void Blackbox::initializeIfNeeded() { sharedInstance()->start(); }

std::shared_ptr<Blackbox> Blackbox::startWithAPIKey(const std::string& apiKey,
                                                    std::shared_ptr<BlackboxDelegate> delegate) {
  auto blackbox = sharedInstance();
  if (delegate) blackbox->setDelegate(std::move(delegate));
  // The platform has no class method that starts the kits from a key, so
  // the key is stored and the kits start through with().
  Harbor::sharedSDK().setAPIKey(apiKey);
  Harbor::with({std::shared_ptr<const HBRKitObject>(blackbox)});
  return blackbox;
}

std::shared_ptr<Blackbox> Blackbox::startWithAPIKeyAfterDelay(const std::string& apiKey,
                                                              std::shared_ptr<BlackboxDelegate> delegate, double) {
  bbxFacadeLog(!delegate ? "Warning, startWithAPIKey:afterDelay: is deprecated."
                                  : "Warning, startWithAPIKey:delegate:afterDelay: is deprecated.");
  return startWithAPIKey(apiKey, std::move(delegate));
}

void Blackbox::start() {
  std::call_once(started_, [this] {
    const std::uint64_t mark = BBXTimingNow();
    bbxFacadeLog("Version " + kitDisplayVersion() + " (" + kitBuildVersion() + ")");
    if (HBRDebugEnabled()) {
      bbxFacadeLog("Running on " + HBRHostModelIdentifier().value_or("") + ", " + HBRHostOSDisplayVersion() + " (" +
                   HBRHostOSBuildVersion().value_or("") + ")");
    }
    std::weak_ptr<Blackbox> weak = weak_from_this();
    platform::MainQueue::main().async([weak] {
      if (auto self = weak.lock()) self->warnDelegateAboutMethods();
    });
    BBXFileManager fileManager;
    std::shared_ptr<BBXBetaController> beta;
    if (BBXBetaController::isBetaSupported()) {
      beta = BBXBetaController::create(std::weak_ptr<BBXBetaControllerDelegate>(shared_from_this()));
      if (!beta->start()) bbxFacadeLog("Beta could not be initialized");
    }
    const std::optional<std::string> betaToken = beta ? beta->betaToken() : std::nullopt;
    auto controller = BBXCrashReportingController::create(
        fileManager, std::weak_ptr<BBXCrashReportingControllerDelegate>(shared_from_this()));
    {
      std::lock_guard lock(mutex_);
      betaController_ = beta;
      crashReportingController_ = controller;
    }
    if (!controller->startWithProfilingMark(mark, betaToken)) bbxFacadeLog("Crash reporting could not be initialized");
    Tally::sharedInstance().startWithBetaToken(betaToken);
  });
}

void Blackbox::warnDelegateAboutMethods() {
  auto delegate = this->delegate();
  if (!delegate) return;
  if (delegate->blackboxDidDetectCrashDuringPreviousExecutionWithReport ||
      delegate->blackboxDidDetectCrashDuringPreviousExecution) {
    bbxFacadeLog("The Blackbox delegate implements deprecated methods.  Please see Blackbox for details.");
  }
  if (delegate->blackboxCanUseBackgroundSessions && delegate->blackboxCanUseBackgroundSessions(*this) &&
      BBXApplicationIsExtension()) {
    bbxFacadeLog("Background sessions are not supported in extensions. Please see Blackbox for details.");
  }
}

bool Blackbox::isBlackboxStarted() const { return crashReportingController() != nullptr; }
std::optional<std::string> Blackbox::APIKey() const { return Harbor::sharedSDK().APIKey(); }
std::string Blackbox::installID() const { return Harbor::sharedSDK().installID(); }
bool Blackbox::isFirstInstall() const { return Harbor::sharedSDK().isFirstInstall(); }

void Blackbox::setDebugMode(bool debug) {
  HBRSetDebugEnabled(debug);
  if (isBlackboxStarted()) bbxFacadeLog("Warning, consider enabling debug mode before starting Blackbox");
}

bool Blackbox::debugMode() const { return HBRDebugEnabled(); }

void Blackbox::setDelegate(std::shared_ptr<BlackboxDelegate> delegate) {
  {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }
  if (isBlackboxStarted()) {
    bbxFacadeLog(
        "Warning, setting delegate after start. Make sure to set the Blackbox delegate before calling "
        "startWithAPIKey:.., or +[Harbor with...] to avoid missing some delegate callbacks.");
  }
}

std::shared_ptr<BlackboxDelegate> Blackbox::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

std::shared_ptr<BBXBetaController> Blackbox::betaController() const {
  std::lock_guard lock(mutex_);
  return betaController_;
}

std::shared_ptr<BBXCrashReportingController> Blackbox::crashReportingController() const {
  std::lock_guard lock(mutex_);
  return crashReportingController_;
}

// ---- identity, keys, errors ----

void Blackbox::setUserIdentifier(const std::optional<std::string>& identifier) {
  BBXUserLoggingRecordInternalKeyValue("com.blackbox.user-id", identifier);
}
void Blackbox::setUserName(const std::optional<std::string>& name) {
  BBXUserLoggingRecordInternalKeyValue("com.blackbox.user-name", name);
}
void Blackbox::setUserEmail(const std::optional<std::string>& email) {
  BBXUserLoggingRecordInternalKeyValue("com.blackbox.user-email", email);
}
void Blackbox::setDevelopmentPlatformName(const std::optional<std::string>& name) {
  BBXUserLoggingRecordInternalKeyValue("com.blackbox.development-platform-name", name);
}
void Blackbox::setDevelopmentPlatformVersion(const std::optional<std::string>& version) {
  BBXUserLoggingRecordInternalKeyValue("com.blackbox.development-platform-version", version);
}

std::optional<std::string> Blackbox::developmentPlatformName() const {
  bbxFacadeLog("developmentPlatformName is write-only");
  return std::nullopt;
}

std::optional<std::string> Blackbox::developmentPlatformVersion() const {
  bbxFacadeLog("developmentPlatformVersion is write-only");
  return std::nullopt;
}

void Blackbox::setObjectValue(const platform::Json& value, const std::string& key) {
  BBXUserLoggingRecordUserKeyValue(key, bbxValueDescription(value));
}
void Blackbox::setIntValue(std::int32_t value, const std::string& key) { setObjectValue(value, key); }
void Blackbox::setBoolValue(bool value, const std::string& key) { setObjectValue(value, key); }
// The float's own shortest text ("0.1"), not that of the double it widens
// to ("0.10000000149011612").
void Blackbox::setFloatValue(float value, const std::string& key) {
  BBXUserLoggingRecordUserKeyValue(key, BBXUserLoggingNumberText(value));
}

void Blackbox::recordError(const platform::Error& error, const platform::Json& additionalUserInfo) {
  BBXUserLoggingRecordError(error, additionalUserInfo);
}

void Blackbox::recordCustomExceptionName(const std::string& name, const std::string& reason,
                                         const BBXStackFrames& frames) {
  BBXExceptionRecord(kBBXExceptionTypeCustom, name.c_str(), reason.c_str(), &frames, false);
}

void Blackbox::crash() {
  asm volatile("int3");
  __builtin_trap();
}

void Blackbox::throwException() { BBXExceptionRaiseTestException(); }

// ---- web views ----

void Blackbox::monitorErrorsForUIWebView(platform::ui::WebView& webView) {
  if (!BBXWebViewMonitorUIWebView(webView)) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(&webView));
    bbxFacadeLog(std::string("Unable to monitor UIWebView (") + address + ")");
  }
}

bool Blackbox::handleWebView(platform::ui::WebView&, const platform::ui::WebRequest& request,
                             platform::ui::WebNavigationType) {
  return BBXWebViewHandleRequest(request);
}

void Blackbox::monitorErrorsForWKWebViewConfiguration(platform::ui::WebViewConfiguration& configuration) {
  if (configuration.userContentController) {
    configuration.userContentController->addScriptMessageHandler(
        std::weak_ptr<platform::ui::ScriptMessageHandler>(shared_from_this()), "blackbox");
  }
  if (!BBXWebViewMonitorWKWebViewConfiguration(configuration)) bbxFacadeLog("Unable to monitor web view configuration");
}

void Blackbox::userContentControllerDidReceiveScriptMessage(platform::ui::UserContentController&,
                                                            const platform::ui::ScriptMessage& message) {
  if (!BBXWebViewHandleScriptMessage(message)) bbxFacadeLog("Unable to record exception from WKWebView");
}

void Blackbox::logEvent(const std::string& name, const platform::Json& attributes) {
  Tally::logCustomEventWithName(name, attributes);
}

// ---- the controllers' questions ----

bool Blackbox::shouldInstallCrashCallback() {
  auto delegate = this->delegate();
  return delegate && delegate->blackboxDidDetectCrash;
}

void Blackbox::detectedCrash() {
  auto delegate = this->delegate();
  if (delegate && delegate->blackboxDidDetectCrash) delegate->blackboxDidDetectCrash(*this);
}

bool Blackbox::reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) {
  auto delegate = this->delegate();
  if (delegate && delegate->blackboxCanUseBackgroundSessions) return delegate->blackboxCanUseBackgroundSessions(*this);
  return !BBXApplicationIsExtension();
}

bool Blackbox::reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) {
  auto delegate = this->delegate();
  return delegate && (delegate->blackboxDidDetectReportForLastExecution ||
                      delegate->blackboxDidDetectCrashDuringPreviousExecutionWithReport ||
                      delegate->blackboxDidDetectCrashDuringPreviousExecution);
}

void Blackbox::reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController& controller,
                                                                  const std::shared_ptr<BBXInternalReport>& report,
                                                                  std::function<void(bool)> completionHandler) {
  if (!reportingControllerMustInformDelegateOfReports(controller)) {
    completionHandler(true);
    return;
  }
  auto delegate = this->delegate();
  auto wrapped = std::make_shared<BBXReport>(report);
  if (delegate && delegate->blackboxDidDetectReportForLastExecution) {
    delegate->blackboxDidDetectReportForLastExecution(wrapped, std::move(completionHandler));
  } else {
    completionHandler(true);
  }
  std::weak_ptr<Blackbox> weak = weak_from_this();
  platform::MainQueue::main().async([weak, wrapped] {
    auto self = weak.lock();
    if (!self) return;
    auto delegate = self->delegate();
    if (!delegate) return;
    if (delegate->blackboxDidDetectCrashDuringPreviousExecutionWithReport) {
      delegate->blackboxDidDetectCrashDuringPreviousExecutionWithReport(*self, wrapped);
    }
    if (delegate->blackboxDidDetectCrashDuringPreviousExecution) {
      delegate->blackboxDidDetectCrashDuringPreviousExecution(*self);
    }
  });
}

void Blackbox::reportingControllerInternalDidDetectReportForLastExecution(
    BBXCrashReportingController&, const std::shared_ptr<BBXInternalReport>& report) {
  std::optional<double> date;
  if (auto created = BBXReport(report).dateCreated()) {
    date = std::chrono::duration<double>(created->time_since_epoch()).count();
  }
  platform::MainQueue::main().async([date] { Tally::logPreviousSessionCrashedOnDate(date); });
}

bool Blackbox::reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int signal) {
  auto delegate = this->delegate();
  return delegate && delegate->blackboxEnsureDeliveryOfUnixSignal &&
         delegate->blackboxEnsureDeliveryOfUnixSignal(*this, signal);
}

std::optional<std::string> Blackbox::APIKeyForCrashReportingController(BBXCrashReportingController&) {
  return APIKey();
}
std::string Blackbox::installIDForCrashReportingController(BBXCrashReportingController&) { return installID(); }
bool Blackbox::isFirstInstallForCrashReportingController(BBXCrashReportingController&) { return isFirstInstall(); }
BBXSettings Blackbox::settingsForCrashReportingController(BBXCrashReportingController&) { return currentSettings(); }
std::optional<std::string> Blackbox::APIKeyForBetaController(BBXBetaController&) { return APIKey(); }
BBXSettings Blackbox::settingsForBetaController(BBXBetaController&) { return currentSettings(); }

BBXSettings Blackbox::currentSettings() const { return BBXSettings(Harbor::sharedSDK().settings()); }

}  // namespace lumora
