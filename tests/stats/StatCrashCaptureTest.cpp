// The statistics crash catcher in forked children: each child installs it
// and crashes; the parent checks how the child ended and reads back the
// record it left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/diagnostics/Exception.h"
#include "platform/dispatch/NotificationCenter.h"
#include "stats/KoACrashReportStore.h"
#include "stats/KoACrashUtil.h"
#include "stats/KoStatCrashController.h"
#include "stats/KoStatCrashReporter.h"
#include "support/PlantedFiles.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

// Crashing functions with exported names, so the records' stacks name them;
// left alone by the undefined-behaviour checks of sanitizer builds, which
// would end the process before the fault.
namespace stattest {

__attribute__((noinline, no_sanitize("undefined"))) void crashBySegv() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

[[gnu::noinline]] void crashByBus() {
  // A page of a file that has no bytes behind it.
  int fd = memfd_create("bus", 0);
  auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
  (void)*page;
}

__attribute__((noinline, no_sanitize("undefined"))) void crashByFpe() {
  volatile int dividend = 7;
  volatile int zero = 0;
  volatile int quotient = dividend / zero;
  (void)quotient;
}

[[gnu::noinline]] void crashByIll() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_trap();
#else
  raise(SIGILL);
#endif
}

[[gnu::noinline]] void crashByTrap() {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("int3");
#else
  raise(SIGTRAP);
#endif
}

[[gnu::noinline]] void crashBySys() { raise(SIGSYS); }

[[gnu::noinline]] void throwUncaught() { throw platform::Exception("NSRangeException", "index 3 beyond bounds"); }

}  // namespace stattest

namespace {

using lumora::KoACrashMessage;
using lumora::KoACrashReportStore;
using lumora::KoACrashUtil;
using lumora::KoStatCrashController;
using lumora::KoStatCrashReporter;

constexpr int kSurvived = 42;
const platform::Clock::TimePoint kManualNow{std::chrono::seconds(1'000'000'000)};

// The write end of the pipe on which the handler installed before ours
// reports the signals it saw.
int earlierReport = -1;

// A well-behaved earlier handler: it notes the signal, then lets the
// default action end the process.
void earlierHandler(int signal) {
  char seen = static_cast<char>(signal);
  (void)!write(earlierReport, &seen, 1);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

struct ChildEnd {
  int signal = 0;      // the signal that ended it, 0 when it exited
  int exitCode = -1;   // its exit status when it exited
  std::string earlier; // the signals the earlier handler saw
};

class StatCrashCapture : public ::testing::Test {
 protected:
  // Runs `body` in a child with the catcher enabled (mode 2: no upload);
  // `earlierSignal` gets an earlier handler first.
  ChildEnd runChild(const std::function<void()>& body, int earlierSignal = 0) {
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC | O_NONBLOCK), 0);
    pid_t pid = fork();
    if (pid == 0) {
      rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      earlierReport = report[1];
      // The child starts from the default actions (a sanitizer's handlers
      // would end it their own way).
      for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) ::signal(signal, SIG_DFL);
      if (earlierSignal != 0) ::signal(earlierSignal, earlierHandler);
      KoStatCrashReporter::enabledCrashReportWithMode(2);
      body();
      _exit(kSurvived);
    }
    close(report[1]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    ChildEnd end;
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
    char seen[16];
    ssize_t count = read(report[0], seen, sizeof seen);
    if (count > 0) end.earlier.assign(seen, static_cast<std::size_t>(count));
    close(report[0]);
    return end;
  }

  static bool stackNames(const KoACrashMessage& message, const std::string& function) {
    for (const std::string& frame : message.objException.arrCallStack.value_or(std::vector<std::string>{})) {
      if (frame.find(function) != std::string::npos) return true;
    }
    return false;
  }

  KoACrashReportStore& store_ = KoACrashReportStore::shareSingletion();
  testsupport::TestHome home_;
  platform::ScopedClock clock_{std::make_shared<platform::ManualClock>(kManualNow)};
};

TEST_F(StatCrashCapture, FatalSignalsAreRecordedAndEndTheProcessByThatSignal) {
  struct Case {
    int signal;
    void (*crash)();
    const char* function;
    bool earlier;  // a handler of the app's own was installed before ours
  } cases[] = {
      {SIGSEGV, stattest::crashBySegv, "crashBySegv", false}, {SIGBUS, stattest::crashByBus, "crashByBus", true},
      {SIGFPE, stattest::crashByFpe, "crashByFpe", false},    {SIGILL, stattest::crashByIll, "crashByIll", true},
      {SIGTRAP, stattest::crashByTrap, "crashByTrap", false}, {SIGSYS, stattest::crashBySys, "crashBySys", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    ChildEnd end = runChild(c.crash, c.earlier ? c.signal : 0);
    EXPECT_EQ(end.signal, c.signal);
    EXPECT_EQ(end.earlier, c.earlier ? std::string(1, static_cast<char>(c.signal)) : "");

    auto message = store_.getCrashMessage();
    ASSERT_TRUE(message);
    EXPECT_FALSE(std::filesystem::exists(store_.getNotePath()));
    EXPECT_EQ(message->getCrashType(), KoACrashUtil::signalString(c.signal));
    EXPECT_EQ(message->getCrashDesc(), "NULL");
    EXPECT_TRUE(stackNames(*message, c.function)) << message->getCrashCallstack();
    EXPECT_LE(message->objException.arrCallStack->size(), 128u);
    // Crash time on the platform clock, in whole seconds.
    EXPECT_GE(message->getCrashTime(), 1e9);
    EXPECT_LT(message->getCrashTime(), 1e9 + 60);
    EXPECT_EQ(message->objAppInfo.strReportVersion, "104");
    EXPECT_TRUE(store_.deleteCrashFile());
  }
  EXPECT_EQ(KoACrashUtil::signalString(SIGSEGV), "signal:11 -->segmentation violation");
}

TEST_F(StatCrashCapture, AnUncaughtExceptionIsRecordedAndALaterCrashReplacesAnEarlierOne) {
  EXPECT_EQ(runChild(stattest::crashBySegv).signal, SIGSEGV);
  // Thrown where nothing may throw: the runtime's terminate path.
  ChildEnd end = runChild([]() noexcept { stattest::throwUncaught(); });
  EXPECT_EQ(end.signal, SIGABRT);

  auto message = store_.getCrashMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->getCrashType(), "NSRangeException");
  EXPECT_EQ(message->getCrashDesc(), "index 3 beyond bounds");
  EXPECT_TRUE(stackNames(*message, "throwUncaught")) << message->getCrashCallstack();
  EXPECT_EQ(message->getCrashTime(), 1e9);

  // And the other way round: a crash by signal after it wins.
  EXPECT_EQ(runChild(stattest::crashByFpe).signal, SIGFPE);
  EXPECT_EQ(store_.getCrashMessage()->getCrashType(), KoACrashUtil::signalString(SIGFPE));
}

// Someone else's file at the note's name: the handler neither waits on a
// pipe nor writes through a link; the launch after neither waits on it nor
// reads through it, and clears the name for the next crash.
TEST_F(StatCrashCapture, TheNoteIsWrittenAndReadOnlyAsAFileOfItsOwn) {
  const std::filesystem::path userFile = home_.root() / "notes.txt";
  const std::string notes = "the user's notes\n";
  testsupport::writeFile(userFile, platform::toBytes(notes));
  const std::filesystem::path note = store_.getNotePath();
  const std::filesystem::path missing = home_.root() / "missing.txt";
  const std::pair<testsupport::Planted, std::filesystem::path> rows[] = {
      {testsupport::Planted::Pipe, userFile},
      {testsupport::Planted::HardLink, userFile},
      {testsupport::Planted::SymbolicLink, userFile},
      {testsupport::Planted::SymbolicLink, missing},
  };
  for (const auto& [kind, target] : rows) {
    SCOPED_TRACE(testsupport::plantedName(kind) + (" to " + target.filename().string()));
    ASSERT_TRUE(testsupport::plant(kind, note, target));
    // Forked from this thread (a child of a process with other threads
    // may not start its own under ThreadSanitizer); a handler held by the
    // pipe is ended by the alarm instead of by its crash.
    const ChildEnd end = runChild([] {
      alarm(testsupport::scaled(std::chrono::seconds(10)).count());
      stattest::crashBySegv();
    });
    EXPECT_EQ(end.signal, SIGSEGV);
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(note, [&] { store_.hasCrashFile(); }));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(note)));
    EXPECT_EQ(platform::toString(testsupport::readFile(userFile)), notes);
    EXPECT_FALSE(std::filesystem::exists(missing));
    store_.deleteCrashFile();
  }
}

TEST_F(StatCrashCapture, IgnoredSignalsAndBrokenPipesLeaveTheProcessRunning) {
  ChildEnd end = runChild([] {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    KoStatCrashReporter::enabledCrashReportWithMode(2);
    int ends[2];
    if (pipe(ends) != 0) _exit(1);
    close(ends[0]);
    if (write(ends[1], "x", 1) != -1 || errno != EPIPE) _exit(2);
    raise(SIGXFSZ);
  });
  EXPECT_EQ(end.signal, 0);
  EXPECT_EQ(end.exitCode, kSurvived);
  EXPECT_FALSE(store_.hasCrashFile());
}

TEST_F(StatCrashCapture, TheRecordCarriesTheStateAndItsText) {
  KoStatCrashController controller;
  auto& center = platform::NotificationCenter::defaultCenter();
  KoStatCrashController::saveCrashInfoWithType("NSGenericException", "", {});
  auto first = store_.getCrashMessage();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->objState.nLaunchNum, 0);
  EXPECT_EQ(first->objState.nOutOfMemoryNum, 0);
  EXPECT_FALSE(first->objState.blnAppActive);
  EXPECT_EQ(first->getLuanchTime(), 1e9);
  EXPECT_EQ(first->getCrashTimeString(), "NULL");
  EXPECT_EQ(first->getCrashDesc(), "NULL");
  // No stack given: the one where the record was made.
  EXPECT_TRUE(stackNames(*first, "saveCrashInfoWithType")) << first->getCrashCallstack();

  center.post(platform::kApplicationWillEnterForegroundNotification);
  center.post(platform::kApplicationDidBecomeActiveNotification);
  center.post(platform::kApplicationWillEnterForegroundNotification);
  auto state = KoStatCrashController::getCrashState();
  EXPECT_EQ(state.nLaunchNum, 2);
  EXPECT_TRUE(state.blnAppActive);
  center.post(platform::kApplicationWillResignActiveNotification);
  EXPECT_FALSE(KoStatCrashController::getCrashState().blnAppActive);

  KoACrashMessage message;
  message.objAppInfo.strID = "D1";
  message.objAppInfo.strReportVersion = "104";
  message.objException.strType = "signal:11 -->segmentation violation";
  message.objException.strDesc = "NULL";
  message.objException.arrCallStack = {{"0   a 0x1 f + 1", "1   b \"q\""}};
  message.objState.blnAppActive = true;
  message.objState.nLaunchNum = 3;
  message.objState.nAppRunTime = 12;
  message.objState.nCrashTime = 12.5;
  EXPECT_EQ(message.getCrashInfomation(),
            "\nINCIDENT_IDENTIFIER:D1 \nCRASH_REPORTER_KEY:(null) \nHARDWARE_MODEL:(null) \nPROCESS:(null) \n"
            "PATH:(null) \nIDENTIFIER:(null) \nVERSION:(null) \nCODE_TYPE:(null) \nPARENT_PROCESS:(null) \n"
            "OS_VERSION:(null) \nREPORT_VERSION:104 \n"
            "\nEXCEPTION_TYPE:signal:11 -->segmentation violation \nEXCEPTION_CODES:NULL \n"
            "CALL_STACK:(\n    \"0   a 0x1 f + 1\",\n    \"1   b \\\"q\\\"\"\n) \n"
            "\nAPP_ACTIVE:YES \nLAUNCH_NUM:3 \nOUT_OF_MEMORY_NUM:0 \nAPP_RUN_TIME:12.000000 \n"
            "APP_CRASH_TIME:12.500000 \n");
  EXPECT_EQ(message.getCrashCallstack(), "0   a 0x1 f + 1 \n1   b \"q\" \n");
  EXPECT_EQ(message.getCrashTimeString(), "1970-01-01T00:00:12Z");
}

}  // namespace
