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
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXSymbolResolver.h"
#include "blackbox/BBXTestContext.h"
#include "platform/diagnostics/DynamicLoader.h"
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
    hooks.machExceptionInitialize = [](lumora::BBXMachExceptionContext*) {
      while (!platform::fatalSignalHandlerInstalled(&lumora::BBXSignalHandler, SIGSEGV)) sched_yield();
      bbxSignalCrash(nullptr);
    };
  }
  if (frames == "sweep") {
    // A crash on a thread of the app's own, some microseconds after the
    // signal handler is in place, while the rest of start-up runs beside
    // it. The images the record must name: every one the loader lists.
    std::size_t images = 0;
    for (const platform::loader::Image& image : platform::loader::loadedImages()) {
      for (const ElfW(Phdr)& header : image.headers) {
        if (header.p_type == PT_LOAD) {
          ++images;
          break;
        }
      }
    }
    std::ofstream(dir + "/images") << images;
    const long delay = std::stol(bbxSignalEnv("BBX_CRASH_DELAY"));
    std::thread([delay] {
      while (!platform::fatalSignalHandlerInstalled(&lumora::BBXSignalHandler, SIGSEGV)) sched_yield();
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delay);
      while (std::chrono::steady_clock::now() < until) {
      }
      bbxSignalCrash(nullptr);
    }).detach();
  }
  lumora::BBXContextSetCaptureHooks(hooks);
  lumora::BBXContextInitData data;
  data.reportPath = dir;
  data.reportIdentifier = std::filesystem::path(dir).filename().string();
  lumora::BBXContextInitialize(&data);
  lumora::BBXContextWaitForStartupForTesting();
  if (frames == "sweep") {
    for (;;) pause();
  }
  if (frames == "queue") {
    auto* queue = new platform::SerialQueue("com.lumora.tests.crash");
    queue->async([] { bbxSignalCrash(nullptr); });
    for (;;) pause();
  }
  (frames == "omit" ? bbxOmitFrameRecurse : bbxFramePointerRecurse)(3, bbxSignalCrash, nullptr);
}

namespace {

// Runs the crash program over `dir`; its process id.
pid_t bbxSignalLaunch(const std::filesystem::path& dir, const char* kind, const char* frames, long delay = 0) {
  const pid_t child = fork();
  if (child == 0) {
    setenv("BBX_CRASH_DIR", dir.c_str(), 1);
    setenv("BBX_CRASH_KIND", kind, 1);
    setenv("BBX_CRASH_FRAMES", frames, 1);
    setenv("BBX_CRASH_DELAY", std::to_string(delay).c_str(), 1);
    execl("/proc/self/exe", "crash", "--gtest_filter=BBXSignalChild.Crash", static_cast<char*>(nullptr));
    _exit(6);
  }
  return child;
}

// The record file's sections merged into one object.
nlohmann::json bbxSignalRecord(const std::filesystem::path& path) {
  nlohmann::json record = nlohmann::json::object();
  for (const nlohmann::json& section : lumora::BBXFileReadSections(path.c_str(), false).value_or(std::vector<nlohmann::json>{})) {
    record.update(section);
  }
  return record;
}

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
    const pid_t child = bbxSignalLaunch(dir, each.kind, each.frames);
    ASSERT_GE(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), each.signal);
    EXPECT_EQ(std::filesystem::file_size(dir / "earlier"), 1u);

    const nlohmann::json record = bbxSignalRecord(dir / "signal.bbxrecord");
    ASSERT_TRUE(record.contains("signal"));
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

// Crashes across start-up, from the moment the signal handler is in place
// until start-up has finished: every record names its report and holds the
// whole image list, so that it is kept, sent and symbolicated.
TEST(BBXSignalTest, ACrashAtAnyMomentOfStartUpLeavesAWholeRecord) {
  const long delays[] = {0, 0, 0, 0, 0, 0, 0, 0, 25, 50, 75, 100, 150, 200, 300, 400, 600, 800, 1200, 1600,
                         2400, 3200, 5000, 8000};  // microseconds
  constexpr std::size_t kAtOnce = 4;
  testsupport::TestHome home;
  std::vector<std::pair<pid_t, std::filesystem::path>> running;
  int recorded = 0;
  int whole = 0;
  auto collect = [&](const std::pair<pid_t, std::filesystem::path>& each) {
    int status = 0;
    ASSERT_EQ(waitpid(each.first, &status, 0), each.first);
    const std::filesystem::path& dir = each.second;
    SCOPED_TRACE(dir.filename().string());
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
    const nlohmann::json record = bbxSignalRecord(dir / "signal.bbxrecord");
    if (!record.contains("signal")) return;
    ++recorded;
    std::uint64_t frame0 = 0;
    for (const nlohmann::json& thread : record.value("threads", nlohmann::json::array())) {
      if (thread.value("crashed", false) && !thread["stacktrace"].empty()) frame0 = thread["stacktrace"][0];
    }
    std::size_t images = 0;
    std::ifstream(dir / "images") >> images;
    std::size_t loads = 0;
    for (const nlohmann::json& line : lumora::BBXFileReadSections((dir / "binary_images.bbxrecord").c_str(), false)
                                          .value_or(std::vector<nlohmann::json>{})) {
      loads += line.contains("load");
    }
    lumora::BBXSymbolResolver resolver;
    const auto report = lumora::BBXInternalReport::reportWithPath(dir.string());
    const bool named = report && report->identifier() == dir.filename().string() && report->APIKey().has_value();
    const bool symbolicated = resolver.loadBinaryImagesFromFile((dir / "binary_images.bbxrecord").string()) &&
                              resolver.loadedBinaryImageForPC(frame0).has_value();
    EXPECT_TRUE(named && symbolicated && loads >= images)
        << "report named: " << named << ", frame 0 in a recorded image: " << symbolicated << ", images " << loads
        << " of " << images;
    whole += named && symbolicated && loads >= images;
  };
  int run = 0;
  for (const long delay : delays) {
    const std::filesystem::path dir = home.root() / ("sweep-" + std::to_string(run++) + "-" + std::to_string(delay));
    std::filesystem::create_directories(dir);
    const pid_t child = bbxSignalLaunch(dir, "null", "sweep", delay);
    ASSERT_GE(child, 0);
    running.emplace_back(child, dir);
    if (running.size() == kAtOnce) {
      for (const auto& each : running) collect(each);
      running.clear();
    }
  }
  for (const auto& each : running) collect(each);
  EXPECT_EQ(recorded, static_cast<int>(std::size(delays)));
  std::printf("crashes across start-up: %d recorded of %zu, %d whole\n", recorded, std::size(delays), whole);
}

}  // namespace
