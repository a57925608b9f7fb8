#include "stats/KoStatCrashController.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

#include "platform/app/Application.h"
#include "platform/diagnostics/CallStack.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "stats/KoACrashNote.h"

namespace lumora {
namespace {

constexpr int kCaughtSignals[] = {SIGQUIT, SIGILL, SIGTRAP, SIGFPE, SIGBUS, SIGSEGV, SIGSYS, SIGXCPU, SIGXFSZ};
constexpr std::size_t kAlternateStackSize = 64 * 1024;
// How long a second crashing thread lets the first finish its record.
constexpr int kWriterWaitSteps = 200;
constexpr long kWriterWaitStepNs = 10'000'000;

// The process-wide crash state; lock-free, read by the signal handler.
struct LiveState {
  std::atomic<bool> active{false};
  std::atomic<std::int32_t> launchNum{0};
  std::atomic<std::int64_t> runTime{0};
  std::atomic<std::int64_t> crashTime{0};
};
LiveState liveState;

// What the signal handler hands over to, per signal; written at
// installation (never while our handler is the one installed for that
// signal), read by the handler.
struct sigaction previousActions[NSIG];
bool taken[NSIG];
std::mutex installMutex;

// The platform clock's wall time less the kernel's, taken at installation:
// the handler can read only the kernel's.
std::atomic<std::int64_t> clockOffsetNs{0};

// The thread that writes the record of this process's crash (0: none yet).
std::atomic<pid_t> writer{0};
std::atomic<bool> written{false};

std::int64_t wholeSecondsNow() {
  return static_cast<std::int64_t>(std::floor(platform::Clock::current()->secondsSince1970()));
}

std::int64_t kernelWallNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool isOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &KoACrashSignalHandler;
}

bool isIgnored(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

// An alternate signal stack for the calling thread, unless it has one; its
// memory stays for as long as the thread may use it.
void installAlternateStack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  std::size_t size = std::max<std::size_t>(kAlternateStackSize, SIGSTKSZ);
  stack_t stack{};
  stack.ss_sp = new char[size];
  stack.ss_size = size;
  sigaltstack(&stack, nullptr);
}

// Puts back the action installed before ours (the default one when
// `toDefault` or when there was none) and has the signal delivered again:
// a fault the kernel raised comes back by itself when the faulting
// instruction runs again; anything else is raised once more and arrives as
// soon as this handler returns (the signal is blocked until then).
void handOver(int signal, const siginfo_t* info, bool toDefault) {
  struct sigaction action {};
  if (!toDefault && taken[signal]) {
    action = previousActions[signal];
  } else {
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
  }
  sigaction(signal, &action, nullptr);
  bool refaults = info != nullptr && info->si_code > 0 &&
                  (signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL);
  if (!refaults) raise(signal);
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
  clockOffsetNs.store(static_cast<std::int64_t>(platformNow.count()) - kernelWallNs());
  installAlternateStack();

  std::lock_guard lock(installMutex);
  for (int signal : kCaughtSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || isOurs(current) || isIgnored(current)) continue;
    previousActions[signal] = current;
    taken[signal] = true;
    struct sigaction action {};
    action.sa_sigaction = &KoACrashSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(signal, &action, nullptr);
  }
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

void KoACrashSignalHandler(int signal, siginfo_t* info, void*) {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  pid_t first = 0;
  bool reentered = false;
  if (writer.compare_exchange_strong(first, self)) {
    std::int64_t crashTime = (kernelWallNs() + clockOffsetNs.load()) / 1'000'000'000;
    liveState.crashTime.store(crashTime);
    KoACrashNote::State state;
    state.active = liveState.active.load();
    state.launchNum = liveState.launchNum.load();
    state.runTime = liveState.runTime.load();
    state.crashTime = crashTime;
    KoACrashNote::writeFromSignal(signal, state);
    written.store(true);
  } else if (first == self) {
    // A crash inside the crash path (or a chain of handlers that leads back
    // here): no second record, and the default action ends it.
    reentered = true;
  } else {
    // Another thread is writing the record: let it finish before this
    // signal may end the process.
    for (int step = 0; step < kWriterWaitSteps && !written.load(); ++step) {
      timespec pause{0, kWriterWaitStepNs};
      nanosleep(&pause, nullptr);
    }
  }
  handOver(signal, info, reentered);
}

}  // namespace lumora
