#include "blackbox/BBXContext.h"

#include "blackbox/BBXAllocator.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Semaphore.h"
#include "support/Sanitizers.h"

namespace {

TEST(BBXContextTest, StartUpWritesAParsableMetadataRecordAndProtectsTheContext) {
  lumora::BBXContextInitData data;
  data.apiKey = "key";
  data.reportIdentifier = "report-1";
  data.installIdentifier = "install-1";
  EXPECT_FALSE(lumora::BBXContextMarkAndCheckIfCrashed());
  bbxtest::TestContext context(data);
  ASSERT_TRUE(lumora::BBXContextIsInitialized());
  EXPECT_TRUE(lumora::BBXAllocatorGet()->isProtected.load());
  nlohmann::json merged;
  for (const nlohmann::json& section : context.sections("metadata.bbxrecord")) merged.update(section);
  EXPECT_EQ(merged["identity"]["session_id"], "report-1");
  EXPECT_EQ(merged["identity"]["install_id"], "install-1");
  ASSERT_TRUE(merged["application"].contains("custom_bundle_id"));
  EXPECT_TRUE(merged["application"]["custom_bundle_id"].is_null());
  EXPECT_EQ(merged["executable"]["uuid"].get<std::string>().size(), 32u);
  EXPECT_GT(merged["executable"]["size"].get<std::uint64_t>(), 0u);
  EXPECT_FALSE(lumora::BBXContextMarkAndCheckIfCrashed());
  EXPECT_TRUE(lumora::BBXContextMarkAndCheckIfCrashed());
}

TEST(BBXContextTest, HooksRunOnlyWithoutADebugger) {
  for (bool debugger : {false, true}) {
    std::atomic<int> installed{0};
    lumora::BBXCaptureHooks hooks;
    hooks.debuggerAttached = [debugger] { return debugger; };
    hooks.signalInitialize = [&](lumora::BBXSignalContext* signal) { installed += signal->path != nullptr; };
    hooks.machExceptionInitialize = [&](lumora::BBXMachExceptionContext*) { ++installed; };
    hooks.exceptionInitialize = [&](lumora::BBXExceptionContext*, std::atomic<std::uint32_t>*) { ++installed; };
    hooks.recordHost = [](lumora::BBXFile* file) {
      lumora::BBXFileWriteSectionStart(file, "host");
      lumora::BBXFileWriteHashStart(file);
      lumora::BBXFileWriteHashEnd(file);
      lumora::BBXFileWriteSectionEnd(file);
      return true;
    };
    bbxtest::TestContext context({}, hooks);
    EXPECT_EQ(installed.load(), debugger ? 0 : 3);
    EXPECT_TRUE(lumora::BBXContextIsInitialized());
    EXPECT_EQ(context.sections("metadata.bbxrecord").size(), 4u);
    EXPECT_EQ(context.read("sdk.log").find("Debugger present") != std::string::npos, debugger);
  }
}

TEST(BBXContextTest, SlowStartUpIsLoggedAfterFiveSecondsAndFinishesLater) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  auto release = std::make_shared<platform::Semaphore>();
  lumora::BBXCaptureHooks hooks;
  hooks.hostInitialize = [release](lumora::BBXHostContext*) { release->wait(); };
  std::atomic<bool> returned{false};
  std::unique_ptr<bbxtest::TestContext> context;
  std::thread starter([&] {
    context = std::make_unique<bbxtest::TestContext>(lumora::BBXContextInitData{}, hooks, false);
    returned = true;
  });
  // Queue threads left by earlier tests of this process may wait on this
  // clock too, so a waiter is not proof that the start-up waits yet: step the
  // clock on five seconds at a time until it gives up waiting.
  const auto limit = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
  while (!returned.load() && std::chrono::steady_clock::now() < limit) {
    clock->waitForWaiters(1, testsupport::scaled(std::chrono::seconds(10)));
    clock->advance(std::chrono::seconds(5));
    std::this_thread::yield();
  }
  starter.join();
  EXPECT_TRUE(returned.load());
  EXPECT_FALSE(lumora::BBXContextIsInitialized());
  EXPECT_NE(context->read("sdk.log").find("Delayed initialization"), std::string::npos);
  release->signal();
  lumora::BBXContextWaitForStartupForTesting();
  EXPECT_TRUE(lumora::BBXContextIsInitialized());
  context.reset();
}

}  // namespace
