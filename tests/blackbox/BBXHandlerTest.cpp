#include "blackbox/BBXHandler.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"
#include "platform/dispatch/SerialQueue.h"

extern "C" int bbxOmitFrameRecurse(int depth, void (*atBottom)(void*), void* data);
extern "C" int bbxFramePointerRecurse(int depth, void (*atBottom)(void*), void* data);

namespace {
std::atomic<int> gBBXHandlerParked{0};
}  // namespace

// Names the thread, then stays until the process ends. Exported, as the
// next one, so that the loader can name it in a stack.
extern "C" __attribute__((noinline, visibility("default"))) void bbxHandlerPark(void* name) {
  pthread_setname_np(pthread_self(), static_cast<const char*>(name));
  ++gBBXHandlerParked;
  for (;;) sched_yield();
}

// In a forked child: four named threads, one on a serial queue, then the
// process's record into `path`, twice over (as a fatal exception's record
// is followed by the abort's).
extern "C" [[noreturn]] __attribute__((noinline, visibility("default"))) void bbxHandlerChild(const char* path) {
  std::thread([] { bbxFramePointerRecurse(3, bbxHandlerPark, const_cast<char*>("bbx-frames")); }).detach();
  std::thread([] { bbxOmitFrameRecurse(3, bbxHandlerPark, const_cast<char*>("bbx-omitted")); }).detach();
  auto* queue = new platform::SerialQueue("com.lumora.tests.parked");
  queue->async([] { bbxHandlerPark(const_cast<char*>("bbx-queue")); });
  pthread_setname_np(pthread_self(), "bbx-main");
  while (gBBXHandlerParked.load() < 3) sched_yield();
  for (const std::string& record : {std::string(path), std::string(path) + ".again"}) {
    lumora::BBXFile file;
    if (!lumora::BBXFileInitWithPath(&file, record.c_str(), false)) _exit(2);
    ucontext_t machine;
    getcontext(&machine);
    lumora::BBXHandler(&file, static_cast<pid_t>(syscall(SYS_gettid)), &machine);
    lumora::BBXFileClose(&file);
  }
  _exit(0);
}

// In a forked child: 300 threads, the last one started records the
// process. Exits 0 when every thread past the record's slots was stopped
// too.
extern "C" [[noreturn]] __attribute__((noinline)) void bbxHandlerManyThreadsChild(const char* path) {
  constexpr int kThreads = 300;
  gBBXHandlerParked = 0;
  for (int i = 0; i < kThreads - 1; ++i) {
    std::thread([] {
      ++gBBXHandlerParked;
      for (;;) pause();
    }).detach();
  }
  while (gBBXHandlerParked.load() < kThreads - 1) sched_yield();
  std::thread([path] {
    pthread_setname_np(pthread_self(), "bbx-last");
    lumora::BBXFile file;
    if (!lumora::BBXFileInitWithPath(&file, path, false)) _exit(2);
    ucontext_t machine;
    getcontext(&machine);
    lumora::BBXHandler(&file, static_cast<pid_t>(syscall(SYS_gettid)), &machine);
    lumora::BBXFileClose(&file);
    // This process's threads: the forking one and the 300.
    const std::uint32_t unlisted = kThreads + 1 - lumora::kBBXThreadSlotCount;
    _exit(lumora::BBXWritableContextGet()->threadStopUnlisted.load() == unlisted ? 0 : 3);
  }).join();
  _exit(4);
}

namespace {

std::set<std::string> bbxHandlerSymbols(const nlohmann::json& stack) {
  std::set<std::string> symbols;
  for (const nlohmann::json& pc : stack) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(pc.get<std::uintptr_t>() - 1), &info) != 0 && info.dli_sname != nullptr) {
      symbols.insert(info.dli_sname);
    }
  }
  return symbols;
}

TEST(BBXHandlerTest, ALiveProcessIsRecordedThreadByThread) {
  // The child is forked from this threaded process and starts threads of
  // its own, which ThreadSanitizer cannot follow (it ends such a child).
  if (bbxtest::kUnderThreadSanitizer) GTEST_SKIP() << "threads in a child forked from a threaded process";
  bbxtest::TestContext context;
  const std::string path = context.path("signal.bbxrecord").string();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) bbxHandlerChild(path.c_str());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // The second record stops the threads that the first let go.
  for (const char* name : {"signal.bbxrecord", "signal.bbxrecord.again"}) {
    SCOPED_TRACE(name);
    nlohmann::json record;
    for (const nlohmann::json& section : context.sections(name)) record.update(section);
    const nlohmann::json& threads = record["threads"];
    ASSERT_EQ(threads.size(), 4u);
    ASSERT_EQ(record["thread_names"].size(), 4u);
    ASSERT_EQ(record["dispatch_queue_names"].size(), 4u);
    EXPECT_EQ(record["runtime"]["objc_selector"], "");
    EXPECT_TRUE(record["runtime"]["crash_info_entries"].empty());
    EXPECT_GT(record["process_stats"]["resident"].get<std::uint64_t>(), 0u);
    EXPECT_GT(record["storage"]["total"].get<std::uint64_t>(), 0u);

    const struct {
      const char* name;
      const char* label;
      const char* function;
    } expected[] = {{"bbx-main", "", "bbxHandlerChild"},
                    {"bbx-frames", "", "bbxFramePointerRecurse"},
                    {"bbx-omitted", "", "bbxOmitFrameRecurse"},
                    {"bbx-queue", "com.lumora.tests.parked", ""}};
    int crashed = 0;
    for (std::size_t i = 0; i < threads.size(); ++i) crashed += threads[i].value("crashed", false);
    EXPECT_EQ(crashed, 1);
    for (const auto& want : expected) {
      SCOPED_TRACE(want.name);
      std::size_t at = 0;
      while (at < 4 && record["thread_names"][at] != want.name) ++at;
      ASSERT_LT(at, 4u);
      EXPECT_EQ(record["dispatch_queue_names"][at], want.label);
      EXPECT_EQ(threads[at].value("crashed", false), std::string(want.name) == "bbx-main");
      EXPECT_GT(threads[at]["registers"]["rsp"].get<std::uint64_t>(), 0u);
      const auto symbols = bbxHandlerSymbols(threads[at]["stacktrace"]);
      if (*want.function != '\0') {
        EXPECT_TRUE(symbols.count(want.function)) << threads[at]["stacktrace"];
      }
      EXPECT_TRUE(symbols.count("bbxHandlerPark") || std::string(want.name) == "bbx-main");
    }
  }
}

TEST(BBXHandlerTest, TheCrashedThreadLeadsARecordOfMoreThreadsThanItHolds) {
  if (bbxtest::kUnderThreadSanitizer) GTEST_SKIP() << "threads in a child forked from a threaded process";
  bbxtest::TestContext context;
  const std::string path = context.path("signal.bbxrecord").string();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) bbxHandlerManyThreadsChild(path.c_str());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  nlohmann::json record;
  for (const nlohmann::json& section : context.sections("signal.bbxrecord")) record.update(section);
  const nlohmann::json& threads = record["threads"];
  ASSERT_EQ(threads.size(), lumora::kBBXThreadSlotCount);
  EXPECT_EQ(record["thread_names"].size(), lumora::kBBXThreadSlotCount);
  EXPECT_EQ(threads[0].value("crashed", false), true);
  EXPECT_EQ(record["thread_names"][0], "bbx-last");
  EXPECT_FALSE(threads[0]["stacktrace"].empty());
}

}  // namespace
