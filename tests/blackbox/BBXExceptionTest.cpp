#include "blackbox/BBXException.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXSignal.h"
#include "blackbox/BBXTestContext.h"
#include "platform/diagnostics/FatalSignalChain.h"

namespace {

int gBBXExceptionMarker = -1;

std::string bbxExceptionEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string bbxExceptionUnhex(const nlohmann::json& value) {
  std::string text;
  const std::string hex = value.get<std::string>();
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return text;
}

lumora::BBXCaptureHooks bbxExceptionHooks() {
  lumora::BBXCaptureHooks hooks = lumora::BBXHostCaptureHooks();
  hooks.debuggerAttached = {};
  hooks.exceptionInitialize = lumora::BBXExceptionInitialize;
  return hooks;
}

// The exception program: runs only when the test below executes it.
TEST(BBXExceptionChild, Throw) {
  const std::string dir = bbxExceptionEnv("BBX_THROW_DIR");
  if (dir.empty()) GTEST_SKIP();
  gBBXExceptionMarker = open((dir + "/earlier").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::set_terminate([] {
    if (write(gBBXExceptionMarker, "x", 1) < 0) _exit(3);
  });
  const std::string kind = bbxExceptionEnv("BBX_THROW_KIND");
  lumora::BBXCaptureHooks hooks = bbxExceptionHooks();
  if (kind == "early") {
    // Thrown on a thread of the app's own the moment the signal handler is
    // in place, while start-up runs on; an exception handler that would go
    // in after the signal handler never comes (as when its start-up block
    // runs late).
    hooks.signalInitialize = lumora::BBXSignalInitialize;
    hooks.exceptionInitialize = [](lumora::BBXExceptionContext* exception, std::atomic<std::uint32_t>* count) {
      if (platform::fatalSignalHandlerInstalled(&lumora::BBXSignalHandler, SIGABRT)) {
        for (;;) pause();
      }
      lumora::BBXExceptionInitialize(exception, count);
    };
    std::thread([] {
      while (!platform::fatalSignalHandlerInstalled(&lumora::BBXSignalHandler, SIGABRT)) sched_yield();
      throw std::runtime_error("early");
    }).detach();
  }
  lumora::BBXContextSetCaptureHooks(hooks);
  lumora::BBXContextInitData data;
  data.reportPath = dir;
  lumora::BBXContextInitialize(&data);
  lumora::BBXContextWaitForStartupForTesting();
  if (kind == "early") {
    for (;;) pause();
  }
  std::thread([kind] {
    pthread_setname_np(pthread_self(), "bbx-thrower");
    if (kind == "int") throw 42;
    if (kind == "runtime") throw std::runtime_error("x");
    lumora::BBXExceptionRaiseTestException();
  }).join();
}

// Runs the exception program over `dir`; its process id.
pid_t bbxExceptionLaunch(const std::filesystem::path& dir, const char* kind) {
  const pid_t child = fork();
  if (child == 0) {
    setenv("BBX_THROW_DIR", dir.c_str(), 1);
    setenv("BBX_THROW_KIND", kind, 1);
    execl("/proc/self/exe", "throw", "--gtest_filter=BBXExceptionChild.Throw", static_cast<char*>(nullptr));
    _exit(6);
  }
  return child;
}

// The exception's own record: its sections merged.
nlohmann::json bbxExceptionRecord(const std::filesystem::path& dir) {
  nlohmann::json record;
  auto sections = lumora::BBXFileReadSections((dir / "exception.bbxrecord").c_str(), false);
  for (const nlohmann::json& section : sections.value_or(std::vector<nlohmann::json>{})) record.update(section);
  return record;
}

TEST(BBXExceptionTest, UncaughtExceptionsAreRecordedByKindThenChainAndAbort) {
  const struct {
    const char* kind;
    const char* type;
    const char* name;
    const char* reason;
  } cases[] = {{"int", "c++", "int", ""},
               {"runtime", "c++", "std::runtime_error", "x"},
               {"platform", "objective-c", "BlackboxTestException", nullptr}};
  testsupport::TestHome home;
  for (const auto& each : cases) {
    SCOPED_TRACE(each.kind);
    const std::filesystem::path dir = home.root() / each.kind;
    std::filesystem::create_directories(dir);
    const pid_t child = bbxExceptionLaunch(dir, each.kind);
    ASSERT_GE(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_EQ(std::filesystem::file_size(dir / "earlier"), 1u);

    nlohmann::json record = bbxExceptionRecord(dir);
    ASSERT_TRUE(record.contains("exception"));
    const nlohmann::json& exception = record["exception"];
    EXPECT_EQ(exception["type"], each.type);
    EXPECT_EQ(bbxExceptionUnhex(exception["name"]), each.name);
    if (each.reason != nullptr) {
      EXPECT_EQ(bbxExceptionUnhex(exception["reason"]), each.reason);
    }
    EXPECT_EQ(exception.contains("frames"), each.reason == nullptr);
    int crashed = 0;
    std::string crashedName;
    for (std::size_t i = 0; i < record["threads"].size(); ++i) {
      if (!record["threads"][i].value("crashed", false)) continue;
      ++crashed;
      crashedName = record["thread_names"][i];
    }
    EXPECT_EQ(crashed, 1);
    EXPECT_EQ(crashedName, "bbx-thrower");  // not the queue's thread that writes the record
  }
}

// An exception thrown the moment the signal handler is in place is
// recorded as what it is, not as the bare abort that ends it.
TEST(BBXExceptionTest, AnExceptionAsSoonAsCaptureStartsIsRecordedWithItsTypeAndMessage) {
  constexpr int kChildren = 8;
  constexpr std::size_t kAtOnce = 4;
  testsupport::TestHome home;
  std::vector<std::pair<pid_t, std::filesystem::path>> running;
  int recorded = 0;
  auto collect = [&] {
    for (const auto& [child, dir] : running) {
      SCOPED_TRACE(dir.filename().string());
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
      const nlohmann::json record = bbxExceptionRecord(dir);
      const bool whole = record.contains("exception") && record["exception"].value("type", "") == "c++" &&
                         bbxExceptionUnhex(record["exception"]["reason"]) == "early";
      EXPECT_TRUE(whole) << record.dump().substr(0, 200);
      recorded += whole;
    }
    running.clear();
  };
  for (int i = 0; i < kChildren; ++i) {
    const std::filesystem::path dir = home.root() / ("early-" + std::to_string(i));
    std::filesystem::create_directories(dir);
    const pid_t child = bbxExceptionLaunch(dir, "early");
    ASSERT_GE(child, 0);
    running.emplace_back(child, dir);
    if (running.size() == kAtOnce) collect();
  }
  collect();
  std::printf("exceptions at the start of capture: %d of %d recorded with their type\n", recorded, kChildren);
}

TEST(BBXExceptionTest, CustomExceptionsStopAtTheLaunchMaximum) {
  lumora::BBXContextInitData data;
  data.customExceptionsEnabled = true;
  data.maxCustomExceptions = 16;
  bbxtest::TestContext context(data, bbxExceptionHooks());
  for (int i = 0; i < 17; ++i) lumora::BBXExceptionRecord(lumora::kBBXExceptionTypeCustom, "n", "r", nullptr, false);
  lumora::BBXExceptionRecordScriptError(nullptr);
  const auto sections = context.sections("custom_exception.bbxrecord");
  ASSERT_EQ(sections.size(), 16u);
  EXPECT_EQ(sections[0]["exception"]["type"], "custom");
  EXPECT_FALSE(std::filesystem::exists(context.path("exception.bbxrecord")));
  std::set_terminate(lumora::BBXContextGet()->exception.previousTerminateHandler);
}

}  // namespace
