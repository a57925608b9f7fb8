// Crashes of every kind, each in a child process that started the kit
// against the local cloud, each followed by a next launch of the same app
// home: the report that arrives names the crashing function in the crashed
// thread's first frame (the probes are local functions, which only the
// program's own symbol table names), marks the right thread as crashed,
// and is the only report sent. Then a crash with the disk nearly full.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "blackbox/Blackbox.h"
#include "blackbox/BBXContext.h"
#include "integration/BlackboxChildLaunch.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "server/CloudServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kTableBundle = "com.example.crashtable";
constexpr const char* kTableQueue = "com.lumora.tests.crashtable";

std::string tableEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Where the probe that crashes lies in the crashed process, for the parent
// to check the report's offsets against.
void tableNoteAnchor(const void* function) {
  std::ofstream(tableEnv("BBX_TABLE_ANCHOR")) << reinterpret_cast<std::uintptr_t>(function);
}

}  // namespace

// The probes: local functions (no exported name). A write to address 0 and
// a trap on their first byte; a call to abort as the last instruction, so
// that its return address is the next function's first byte.
extern "C" {
void probeBefore();
void probeNullWrite();
void probeTrap();
void probeAbort();
void probeAfterAbort();
}
asm(R"(
  .pushsection .text
  .type probeBefore, @function
probeBefore:
  nop
  nop
  nop
  nop
  ret
  .size probeBefore, .-probeBefore
  .type probeNullWrite, @function
probeNullWrite:
  movl $1, 0
  ret
  .size probeNullWrite, .-probeNullWrite
  .type probeTrap, @function
probeTrap:
  int3
  ret
  .size probeTrap, .-probeTrap
  .type probeAbort, @function
probeAbort:
  .cfi_startproc
  subq $8, %rsp
  .cfi_adjust_cfa_offset 8
  call abort@PLT
  .cfi_endproc
  .size probeAbort, .-probeAbort
  .type probeAfterAbort, @function
probeAfterAbort:
  ret
  .size probeAfterAbort, .-probeAfterAbort
  .popsection
)");

namespace {

volatile int gTableSink = 0;

__attribute__((noinline)) void probeThrow() { throw std::runtime_error("crash table"); }

__attribute__((noinline)) void probeOverflow(volatile char* previous) {
  volatile char frame[256];
  frame[0] = previous != nullptr ? previous[1] : 0;
  if (gTableSink >= 0) probeOverflow(frame);
  frame[1] = 0;
}

// A chunk too large for the allocator's per-thread cache, freed twice: the
// allocator finds it out with its arena locked and aborts right there.
__attribute__((noinline)) void probeDoubleFree() {
  void* volatile chunk = std::malloc(2000);
  void* volatile guard = std::malloc(2000);
  std::free(chunk);
  std::free(chunk);
  gTableSink = guard != nullptr;
}

void tableCrash(const std::string& way) {
  pthread_setname_np(pthread_self(), "bbx-main");
  if (way == "null" || way == "processing") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeNullWrite));
    probeNullWrite();
  } else if (way == "trap") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeTrap));
    probeTrap();
  } else if (way == "abort") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeAbort));
    probeAbort();
  } else if (way == "throw") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeThrow));
    probeThrow();
  } else if (way == "overflow") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeOverflow));
    probeOverflow(nullptr);
  } else if (way == "queue") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeOverflow));
    auto* queue = new platform::SerialQueue(kTableQueue);
    queue->async([] { probeOverflow(nullptr); });
    for (;;) pause();
  } else if (way == "thread") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeNullWrite));
    std::thread([] {
      pthread_setname_np(pthread_self(), "bbx-second");
      probeNullWrite();
    }).join();
  } else if (way == "threads") {
    // More threads than a record holds: the last one started crashes.
    tableNoteAnchor(reinterpret_cast<const void*>(&probeNullWrite));
    for (int i = 0; i < 299; ++i) {
      std::thread([] {
        for (;;) pause();
      }).detach();
    }
    std::thread([] {
      pthread_setname_np(pthread_self(), "bbx-last");
      probeNullWrite();
    }).join();
  } else if (way == "malloc") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeDoubleFree));
    // A handler that allocated would wait for ever on the lock its own
    // thread holds: the alarm ends such a child.
    alarm(testsupport::scaled(std::chrono::seconds(20)).count());
    probeDoubleFree();
  } else if (way == "fork") {
    // The child's crash is not the parent's: the parent's own crash is the
    // report.
    const pid_t child = fork();
    if (child == 0) probeNullWrite();
    waitpid(child, nullptr, 0);
    tableNoteAnchor(reinterpret_cast<const void*>(&probeTrap));
    probeTrap();
  } else if (way == "full") {
    tableNoteAnchor(reinterpret_cast<const void*>(&probeNullWrite));
    // Leaves 32 KiB of the app home's small disk free (a whole record with
    // its diagnostics took more than 16 in some runs), then crashes. What
    // the kit's queues still had to write at start lands first (a loaded
    // machine runs them late), so the room is measured again after them
    // and the filler grown or cut to match.
    const fs::path filler = tableEnv("BBX_TABLE_FILLER");
    constexpr std::uint64_t kLeft = 32768;
    const std::string block(4096, 'x');
    for (int round = 0; round < 3; ++round) {
      lumora::BBXContextLoggingQueue().sync([] {});
      struct statvfs disk {};
      if (statvfs(filler.parent_path().c_str(), &disk) != 0) break;
      const std::uint64_t free = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
      std::error_code error;
      if (free < kLeft) {
        const std::uint64_t size = fs::file_size(filler, error);
        const std::uint64_t cut = (kLeft - free + block.size() - 1) / block.size() * block.size();
        if (!error) fs::resize_file(filler, size > cut ? size - cut : 0, error);
        continue;
      }
      std::ofstream out(filler, std::ios::binary | std::ios::app);
      for (std::uint64_t left = free - kLeft; left >= block.size(); left -= block.size()) {
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
      }
    }
    probeNullWrite();
  }
}

}  // namespace

// The app: runs only when the parent below executes it.
TEST(BlackboxCrashTableChild, Run) {
  const std::string phase = tableEnv("BBX_TABLE_PHASE");
  if (phase.empty()) GTEST_SKIP();
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", kTableBundle},
                                       {"CFBundleVersion", "3"},
                                       {"CFBundleShortVersionString", "1.0"},
                                       {"Harbor", {{"APIKey", "key-1"}}}});
  platform::MainQueue::main().bindToCurrentThread();
  if (phase == "next" && !tableEnv("BBX_TABLE_FILLER").empty()) fs::remove(tableEnv("BBX_TABLE_FILLER"));
  auto blackbox = lumora::Blackbox::startWithAPIKey("key-1");
  ASSERT_TRUE(blackbox->isBlackboxStarted());
  platform::MainQueue::main().runUntilIdle();
  if (phase == "crash") {
    // The launch's image records are written (a crash in the first
    // milliseconds of a launch would find them not yet there).
    lumora::BBXContextBinaryImagesQueue().sync([] {});
    tableCrash(tableEnv("BBX_TABLE_WAY"));
    FAIL() << "still alive";
  }
  ASSERT_TRUE(bbxlaunch::waitUntilEarlierReportsAreSent());
}

namespace {

// Runs a phase of the app over `home` in a new process; its wait status.
int tableRun(const char* phase, const fs::path& home, const std::string& cloud, const std::string& way,
             const fs::path& filler = {}) {
  return bbxlaunch::run("BlackboxCrashTableChild.Run", home, cloud,
                        {{"BBX_TABLE_PHASE", phase},
                         {"BBX_TABLE_WAY", way},
                         {"BBX_TABLE_ANCHOR", (home / "anchor").string()},
                         {"BBX_TABLE_FILLER", filler.string()}});
}

// The report store's "v3" folder in an app home.
fs::path tableStore(const fs::path& home) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(home, error), end; !error && it != end; it.increment(error)) {
    if (it->is_directory() && it->path().filename() == "v3") return it->path();
  }
  return {};
}

// The one report in "active": its folder (the crashed launch's identifier).
fs::path tableCrashedReport(const fs::path& home) {
  const fs::path active = tableStore(home) / "active";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(active, error)) return entry.path();
  return {};
}

bool tableDiedBy(int status, int signal) {
  // Under AddressSanitizer the kit hands the signal on to the sanitizer,
  // which ends the child with a report of its own.
  if (testsupport::kUnderAddressSanitizer && WIFEXITED(status)) return WEXITSTATUS(status) != 0;
  return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

struct TableCheck {
  const char* record;     // the crash record whose crashed thread is looked at
  const char* function;   // the probe, as the companion names it
  bool firstFrame;        // named in the crashed thread's first frame (else in its stack)
  const char* threadName;  // of the crashed thread ("" to skip)
  const char* queueLabel;  // of the crashed thread ("" to skip)
};

// Checks the uploaded report against the probe's place in the crashed
// process (`anchor`).
void tableCheckReport(const localcloud::ReportService::Report& report, const TableCheck& check,
                      std::uint64_t anchor) {
  const auto records = report.records.find(check.record);
  const auto named = report.records.find(std::string(check.record) + ".symbolicated");
  ASSERT_TRUE(records != report.records.end() && named != report.records.end());
  nlohmann::json record;
  for (const nlohmann::json& section : records->second) record.update(section);
  ASSERT_EQ(named->second.size(), 1u);
  const nlohmann::json& threads = record["threads"];
  std::size_t crashed = threads.size();
  int crashedCount = 0;
  for (std::size_t i = 0; i < threads.size(); ++i) {
    if (threads[i].value("crashed", false)) {
      crashed = i;
      ++crashedCount;
    }
  }
  ASSERT_EQ(crashedCount, 1);
  if (*check.threadName != '\0') {
    EXPECT_EQ(record["thread_names"][crashed], check.threadName);
  }
  if (*check.queueLabel != '\0') {
    EXPECT_EQ(record["dispatch_queue_names"][crashed], check.queueLabel);
  }
  const nlohmann::json& stack = threads[crashed]["stacktrace"];
  const nlohmann::json& frames = named->second.front()["threads"][crashed];
  ASSERT_EQ(frames.size(), stack.size());
  ASSERT_FALSE(frames.empty());
  std::size_t at = 0;
  if (!check.firstFrame) {
    while (at < frames.size() && frames[at]["symbol"] != check.function) ++at;
    ASSERT_LT(at, frames.size()) << frames;
  }
  EXPECT_EQ(frames[at]["symbol"], check.function) << frames;
  // The name is the function's own: its start is where the probe lay.
  EXPECT_EQ(stack[at].get<std::uint64_t>() - frames[at]["offset"].get<std::uint64_t>(), anchor) << frames[at];
}

TEST(BlackboxCrashTableTest, EachWayOfCrashingIsNamedAndSentOnce) {
  // The kit's exception server runs on a small stack of its own, which
  // cannot hold ThreadSanitizer's per-thread state.
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << "the exception server cannot start under the sanitizer";
  const struct {
    const char* way;
    int signal;
    TableCheck check;
  } rows[] = {
      {"null", SIGSEGV, {"signal.bbxrecord", "probeNullWrite", true, "bbx-main", ""}},
      {"trap", SIGTRAP, {"signal.bbxrecord", "probeTrap", true, "bbx-main", ""}},
      {"abort", SIGABRT, {"signal.bbxrecord", "probeAbort", false, "bbx-main", ""}},
      {"throw", SIGABRT, {"exception.bbxrecord", "(anonymous namespace)::probeThrow()", false, "bbx-main", ""}},
      {"overflow", SIGSEGV, {"signal.bbxrecord", "(anonymous namespace)::probeOverflow(char volatile*)", true, "bbx-main", ""}},
      {"queue", SIGSEGV, {"signal.bbxrecord", "(anonymous namespace)::probeOverflow(char volatile*)", true, "", kTableQueue}},
      {"thread", SIGSEGV, {"signal.bbxrecord", "probeNullWrite", true, "bbx-second", ""}},
      {"threads", SIGSEGV, {"signal.bbxrecord", "probeNullWrite", true, "bbx-last", ""}},
      {"malloc", SIGABRT, {"signal.bbxrecord", "(anonymous namespace)::probeDoubleFree()", false, "bbx-main", ""}},
      {"fork", SIGTRAP, {"signal.bbxrecord", "probeTrap", true, "bbx-main", ""}},
      // A report that an earlier launch left in processing, its companion
      // cut and its metadata empty, goes out whole under its folder's name.
      {"processing", SIGSEGV, {"signal.bbxrecord", "probeNullWrite", true, "bbx-main", ""}},
  };
  testsupport::TestHome home;
  auto cloud = localcloud::CloudServer::create(home.root() / "cloud");
  ASSERT_TRUE(cloud && cloud->start(0));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.way);
    // The sanitizer's allocator reports the double free itself.
    if (testsupport::kUnderAddressSanitizer && std::string(row.way) == "malloc") continue;
    cloud->reports().clear();
    const fs::path appHome = home.root() / row.way;
    fs::create_directories(appHome);
    ASSERT_TRUE(tableDiedBy(tableRun("crash", appHome, cloud->url(), row.way), row.signal));
    const fs::path crashed = tableCrashedReport(appHome);
    ASSERT_FALSE(crashed.empty());
    const std::string id = crashed.filename().string();
    if (std::string(row.way) == "processing") {
      const fs::path processing = tableStore(appHome) / "processing" / id;
      fs::rename(crashed, processing);
      std::ofstream(processing / "metadata.bbxrecord", std::ios::trunc);
      std::ofstream(processing / "signal.bbxrecord.symbolicated", std::ios::trunc);
      std::ofstream(tableStore(appHome) / "prepared" / ".torn.partial") << "--torn";
    }
    const int next = tableRun("next", appHome, cloud->url(), row.way);
    ASSERT_TRUE(WIFEXITED(next) && WEXITSTATUS(next) == 0) << next;

    ASSERT_EQ(cloud->reports().reportIds(), std::vector<std::string>{id});
    const auto report = cloud->reports().report(id);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->apiKey, "key-1");
    std::uint64_t anchor = 0;
    std::ifstream(appHome / "anchor") >> anchor;
    TableCheck check = row.check;
    // The sanitizer's own frame allocator may be what runs into the guard
    // page of an overflowing stack: the probe is then below it.
    if (testsupport::kUnderAddressSanitizer && std::string(check.function).find("probeOverflow") != std::string::npos) {
      check.firstFrame = false;
    }
    tableCheckReport(*report, check, anchor);
    if (std::string(row.way) == "throw") {
      // The abort after the exception's record makes a second one.
      tableCheckReport(*report, {"signal.bbxrecord", "(anonymous namespace)::probeThrow()", false, "bbx-main", ""},
                       anchor);
    }
    if (std::string(row.way) == "fork") {
      EXPECT_EQ(report->records.at("signal.bbxrecord").front()["signal"]["number"], SIGTRAP);
    }
    EXPECT_FALSE(fs::exists(tableStore(appHome) / "prepared" / ".torn.partial"));
  }
}

// A mount namespace of this user's own where a small disk can be had; false
// where the system allows none.
bool tableOwnMountNamespace() {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  auto write = [](const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) close(fd);
    return written;
  };
  write("/proc/self/setgroups", "deny");
  return write("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
         write("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

TEST(BlackboxCrashTableTest, ACrashWithThirtyTwoKilobytesFreeLeavesAWholeRecord) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << "the exception server cannot start under the sanitizer";
  testsupport::TestHome home;
  auto cloud = localcloud::CloudServer::create(home.root() / "cloud");
  ASSERT_TRUE(cloud && cloud->start(0));
  const fs::path appHome = home.root() / "full";
  const fs::path disk = appHome / "Library";
  fs::create_directories(disk);
  const fs::path filler = disk / "filler";
  // In a child of its own (one thread, so it may enter a new namespace):
  // the app home's Library becomes a 1 MiB disk, the app crashes on it with
  // 32 KiB left, and the next launch, with the filler gone, sends the report.
  const pid_t helper = fork();
  if (helper == 0) {
    if (!tableOwnMountNamespace() ||
        mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0700") != 0) {
      _exit(77);
    }
    const int crashed = tableRun("crash", appHome, cloud->url(), "full", filler);
    if (!tableDiedBy(crashed, SIGSEGV)) _exit(3);
    const int next = tableRun("next", appHome, cloud->url(), "full", filler);
    _exit(WIFEXITED(next) && WEXITSTATUS(next) == 0 ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(helper, &status, 0), helper);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace of this user's own on this system";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const std::vector<std::string> ids = cloud->reports().reportIds();
  ASSERT_EQ(ids.size(), 1u);
  const auto report = cloud->reports().report(ids.front());
  ASSERT_TRUE(report);
  // Every section of the crash record arrived whole; the diagnostics that
  // followed it had what room was left.
  std::set<std::string> sections;
  for (const nlohmann::json& section : report->records.at("signal.bbxrecord")) sections.insert(section.begin().key());
  EXPECT_EQ(sections, (std::set<std::string>{"signal", "threads", "runtime", "dispatch_queue_names", "thread_names",
                                             "process_stats", "storage"}));
  std::uint64_t anchor = 0;
  std::ifstream(appHome / "anchor") >> anchor;
  tableCheckReport(*report, {"signal.bbxrecord", "probeNullWrite", true, "bbx-main", ""}, anchor);
}

}  // namespace
