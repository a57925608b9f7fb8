#include "stats/KoStatCrashController.h"

#include <chrono>
#include <cmath>
#include <mutex>

#include "platform/app/Application.h"
#include "platform/diagnostics/CallStack.h"
#include "platform/diagnostics/FatalSignalChain.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "stats/KoACrashNote.h"

namespace lumora {
namespace {

constexpr int kCaughtSignals[] = {SIGQUIT, SIGILL, SIGTRAP, SIGFPE, SIGBUS, SIGSEGV, SIGSYS, SIGXCPU, SIGXFSZ};

// The process-wide crash state; lock-free, read by the signal handler.
struct LiveState {
  std::atomic<bool> active{false};
  std::atomic<std::int32_t> launchNum{0};
  std::atomic<std::int64_t> runTime{0};
  std::atomic<std::int64_t> crashTime{0};
};
LiveState liveState;

// The platform clock's wall time less the kernel's, taken at installation:
// the handler can read only the kernel's.
std::atomic<std::int64_t> clockOffsetNs{0};

std::int64_t wholeSecondsNow() {
  return static_cast<std::int64_t>(std::floor(platform::Clock::current()->secondsSince1970()));
}

void observeApplication() {
  static std::once_flag observed;
  std::call_once(observed, [] {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(platform::kApplicationDidBecomeActiveNotification,
                       [](const std::string&, const platform::Json&) { liveState.active.store(true); });
    center.addObserver(platform::kApplicationWillResignActiveNotification,
                       [](const std::string&, const platform::Json&) { liveState.active.store(false); });
    center.addObserver(platform::kApplicationWillEnterForegroundNotification,
                       [](const std::string&, const platform::Json&) { liveState.launchNum.fetch_add(1); });
  });
}

}  // namespace

KoStatCrashController& KoStatCrashController::shareSingletion() {
  static KoStatCrashController* controller = new KoStatCrashController();
  return *controller;
}

KoStatCrashController::KoStatCrashController(KoACrashReportUpload& upload, KoACrashReportStore& store)
    : upload_(upload), store_(store), delegate_(std::make_shared<KoACrashReportUploadDelegate>()) {
  liveState.active.store(false);
  liveState.launchNum.store(0);
  liveState.crashTime.store(0);
  liveState.runTime.store(wholeSecondsNow());
  observeApplication();
  delegate_->crashReportDidFinish = [this](KoACrashReportUpload& from, std::int32_t state) {
    crashReportDidFinish(from, state);
  };
}

KoStatCrashController::~KoStatCrashController() {
  delegate_.reset();
  upload_.getTaskQueue().sync([] {});
}

KoACMState KoStatCrashController::getCrashState() {
  KoACMState state;
  state.blnAppActive = liveState.active.load();
  state.nLaunchNum = liveState.launchNum.load();
  state.nAppRunTime = static_cast<double>(liveState.runTime.load());
  state.nCrashTime = static_cast<double>(liveState.crashTime.load());
  return state;
}

void KoStatCrashController::saveCrashInfoWithType(const std::string& type, const std::string& desc,
                                                  const std::vector<std::string>& callstack) {
  KoACrashMessage message;
  message.objException.strType = type;
  message.objException.strDesc = desc;
  message.objException.arrCallStack =
      callstack.empty() ? platform::callStackSymbols(platform::callStackReturnAddresses()) : callstack;
  message.objState = getCrashState();
  message.objAppInfo = KoACMAppInfo::current();
  KoACrashReportStore::shareSingletion().saveCrashMessage(message);
}

void KoStatCrashController::enabledCrashReportWithMode(std::int32_t mode) {
  if (mode == 1) enabledSyncUpload(true);
  else if (mode == 0) uploadCrashReport();
  installExceptionHandler();
}

void KoStatCrashController::installExceptionHandler() {
  platform::setUncaughtExceptionHandler(&KoACrashExceptionHandler);
  platform::prepareCallStackCapture();
  std::vector<int> signals(std::begin(kCaughtSignals), std::end(kCaughtSignals));
  KoACrashNote::prepare(store_.getNotePath(), KoACMAppInfo::current(), signals);
  auto platformNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
      platform::Clock::current()->now().time_since_epoch());
  clockOffsetNs.store(static_cast<std::int64_t>(platformNow.count()) - platform::kernelWallNanosFromSignal());
  platform::addFatalSignalHandler(&KoACrashSignalHandler, kCaughtSignals);
}

void KoStatCrashController::uploadCrashReport() {
  if (uploading_.exchange(true)) return;
  auto message = store_.getCrashMessage();
  if (!message) {
    uploading_.store(false);
    return;
  }
  upload_.sendCrashReport(message, delegate_);
}

void KoStatCrashController::crashReportDidFinish(KoACrashReportUpload&, std::int32_t state) {
  if (state == 0) store_.deleteCrashFile();
  uploading_.store(false);
}

void KoACrashExceptionHandler(const platform::Exception& exception) {
  liveState.crashTime.store(wholeSecondsNow());
  KoStatCrashController::saveCrashInfoWithType(exception.name(), exception.reason(), exception.callStackSymbols());
}

void KoACrashSignalHandler(int signal, siginfo_t*, void*) {
  std::int64_t crashTime = (platform::kernelWallNanosFromSignal() + clockOffsetNs.load()) / 1'000'000'000;
  liveState.crashTime.store(crashTime);
  KoACrashNote::State state;
  state.active = liveState.active.load();
  state.launchNum = liveState.launchNum.load();
  state.runTime = liveState.runTime.load();
  state.crashTime = crashTime;
  KoACrashNote::writeFromSignal(signal, state);
}

}  // namespace lumora
