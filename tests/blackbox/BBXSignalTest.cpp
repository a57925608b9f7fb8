#include "blackbox/BBXSignal.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"
#include "platform/diagnostics/FatalSignalChain.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"

extern "C" int bbxOmitFrameRecurse(int depth, void (*atBottom)(void*), void* data);
extern "C" int bbxFramePointerRecurse(int depth, void (*atBottom)(void*), void* data);

namespace {

int gBBXSignalMarker = -1;

// The app's own handler, installed before capture: it leaves a mark, then
// lets the signal end the process.
void bbxSignalEarlierHandler(int signal, siginfo_t*, void*) {
  if (write(gBBXSignalMarker, "x", 1) < 0) _exit(3);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

std::string bbxSignalEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

// The crashes are the point: built without the sanitizers' checks, which
// would otherwise report the faulting access and exit before the signal
// (and ASan would move the frames' arrays off the stack).
#define BBX_SIGNAL_CRASHES_ON_PURPOSE __attribute__((noinline, visibility("default"), no_sanitize("address", "undefined")))

extern "C" BBX_SIGNAL_CRASHES_ON_PURPOSE int bbxSignalOverflow(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (depth < 0) return pad[0];  // never: the stack runs out first
  return bbxSignalOverflow(depth + 1) + pad[0];
}

// Crashes as the environment asks.
extern "C" BBX_SIGNAL_CRASHES_ON_PURPOSE void bbxSignalCrash(void*) {
  const std::string kind = bbxSignalEnv("BBX_CRASH_KIND");
  volatile int zero = 0;
  if (kind == "null") *reinterpret_cast<volatile int*>(static_cast<std::uintptr_t>(zero)) = 1;
  // Unmapped in a plain process and outside the sanitizers' shadow ranges
  // (AddressSanitizer's high shadow and ThreadSanitizer's shadow both take
  // in addresses around 0x1000'0000'0000).
  if (kind == "wild") *reinterpret_cast<volatile int*>(std::uintptr_t{0x500000000000} + zero) = 1;
  if (kind == "fpe") zero = 7 / zero;
  if (kind == "ud2") __builtin_trap();
  if (kind == "int3") asm volatile("int3");
  if (kind == "abort") abort();
  if (kind == "kill") kill(getpid(), SIGSEGV);
  if (kind == "overflow") bbxSignalOverflow(0);
  if (kind == "bus") {
    const std::string path = bbxSignalEnv("BBX_CRASH_DIR") + "/short";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, 1) != 0) _exit(4);
    auto* page = static_cast<volatile char*>(mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    page[4096] = 1;
  }
  _exit(5);
}

// The crash program: runs only when the parent below executes it.
TEST(BBXSignalChild, Crash) {
  const std::string dir = bbxSignalEnv("BBX_CRASH_DIR");
  if (dir.empty()) GTEST_SKIP();
  gBBXSignalMarker = open((dir + "/earlier").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Where this program was loaded, so the parent can name our frames.
  std::ofstream(dir + "/anchor") << reinterpret_cast<std::uintptr_t>(&bbxSignalCrash);
  struct sigaction earlier {};
  earlier.sa_sigaction = bbxSignalEarlierHandler;
  earlier.sa_flags = SA_SIGINFO | SA_ONSTACK;
  for (int signal : lumora::kBBXHandledSignals) sigaction(signal, &earlier, nullptr);
  platform::MainQueue::main().bindToCurrentThread();
  lumora::BBXCaptureHooks hooks = lumora::BBXHostCaptureHooks();
  hooks.signalInitialize = lumora::BBXSignalInitialize;
  hooks.debuggerAttached = {};
  const std::string frames = bbxSignalEnv("BBX_CRASH_FRAMES");
  if (frames == "startup") {
    // A crash in the last moments of start-up: the signal handler is in
    // place, the context not yet counted as initialised.
    hooks.exceptionInitialize = [](lumora::BBXExceptionContext*, std::atomic<std::uint32_t>*) {
      while (!platform::fatalSignalHandlerInstalled(&lumora::BBXSignalHandler, SIGSEGV)) sched_yield();
      bbxSignalCrash(nullptr);
    };
  }
  lumora::BBXContextSetCaptureHooks(hooks);
  lumora::BBXContextInitData data;
  data.reportPath = dir;
  lumora::BBXContextInitialize(&data);
  lumora::BBXContextWaitForStartupForTesting();
  if (frames == "queue") {
    auto* queue = new platform::SerialQueue("com.lumora.tests.crash");
    queue->async([] { bbxSignalCrash(nullptr); });
    for (;;) pause();
  }
  (frames == "omit" ? bbxOmitFrameRecurse : bbxFramePointerRecurse)(3, bbxSignalCrash, nullptr);
}

namespace {

TEST(BBXSignalTest, EveryCrashIsRecordedOnceAndEndsByItsSignal) {
  const struct {
    const char* kind;
    int signal;
    const char* frames;  // "pointer", "omit", "queue" or "startup"
    const char* function;  // expected in the crashed thread's stack, or ""
  } cases[] = {
      {"null", SIGSEGV, "pointer", "bbxFramePointerRecurse"}, {"null", SIGSEGV, "omit", "bbxOmitFrameRecurse"},
      {"wild", SIGSEGV, "omit", "bbxSignalCrash"},           {"bus", SIGBUS, "pointer", "bbxSignalCrash"},
      {"fpe", SIGFPE, "omit", "bbxOmitFrameRecurse"},        {"ud2", SIGILL, "pointer", "bbxFramePointerRecurse"},
      {"int3", SIGTRAP, "omit", "bbxOmitFrameRecurse"},      {"abort", SIGABRT, "pointer", "bbxFramePointerRecurse"},
      {"abort", SIGABRT, "omit", "bbxOmitFrameRecurse"},     {"overflow", SIGSEGV, "pointer", "bbxSignalOverflow"},
      {"overflow", SIGSEGV, "queue", "bbxSignalOverflow"},   {"kill", SIGSEGV, "omit", "bbxOmitFrameRecurse"},
      {"null", SIGSEGV, "startup", "bbxSignalCrash"},
  };
  testsupport::TestHome home;
  int run = 0;
  for (const auto& each : cases) {
    SCOPED_TRACE(std::string(each.kind) + " " + each.frames);
    const std::filesystem::path dir = home.root() / std::to_string(run++);
    std::filesystem::create_directories(dir);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setenv("BBX_CRASH_DIR", dir.c_str(), 1);
      setenv("BBX_CRASH_KIND", each.kind, 1);
      setenv("BBX_CRASH_FRAMES", each.frames, 1);
      execl("/proc/self/exe", "crash", "--gtest_filter=BBXSignalChild.Crash", static_cast<char*>(nullptr));
      _exit(6);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), each.signal);
    EXPECT_EQ(std::filesystem::file_size(dir / "earlier"), 1u);

    nlohmann::json record;
    auto sections = lumora::BBXFileReadSections((dir / "signal.bbxrecord").c_str(), false);
    ASSERT_TRUE(sections.has_value());
    for (const nlohmann::json& section : *sections) record.update(section);
    const nlohmann::json& signal = record["signal"];
    EXPECT_EQ(signal["number"], each.signal);
    EXPECT_EQ(signal["name"], lumora::BBXSignalNameFromSignal(each.signal));
    EXPECT_EQ(signal["code_name"].is_null(), each.signal != SIGABRT);
    std::uintptr_t anchor = 0;
    std::ifstream(dir / "anchor") >> anchor;
    const std::uintptr_t slide = reinterpret_cast<std::uintptr_t>(&bbxSignalCrash) - anchor;
    int crashed = 0;
    std::set<std::string> symbols;
    for (const nlohmann::json& thread : record["threads"]) {
      if (!thread.value("crashed", false)) continue;
      ++crashed;
      for (const nlohmann::json& pc : thread["stacktrace"]) {
        Dl_info info{};
        const auto address = pc.get<std::uintptr_t>() + slide;
        if (dladdr(reinterpret_cast<void*>(address - (address > 0)), &info) != 0 && info.dli_sname != nullptr) {
          symbols.insert(info.dli_sname);
        }
      }
    }
    EXPECT_EQ(crashed, 1);
    EXPECT_TRUE(symbols.count(each.function)) << record["threads"];
  }
}

}  // namespace
