#include "blackbox/Blackbox.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"
#include "blackbox/BBXUserLogging.h"
#include "blackbox/BBXWebView.h"
#include "harbor/HBRDebug.h"
#include "platform/device/ClassRegistry.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/AppHome.h"

namespace {

namespace fs = std::filesystem;

std::vector<nlohmann::json> bbxFacadeSections(const fs::path& path) {
  lumora::BBXContextLoggingQueue().sync([] {});
  return lumora::BBXFileReadSections(path.c_str(), false).value_or(std::vector<nlohmann::json>{});
}

TEST(BlackboxTest, IdentityIsDroppedBeforeStartAndAppendedToAnOldReportAfter) {
  testsupport::TestHome home;
  auto blackbox = lumora::Blackbox::makeForTesting();
  blackbox->setUserIdentifier("early-user");
  blackbox->setObjectValue("v", "k");
  EXPECT_FALSE(blackbox->isBlackboxStarted());
  EXPECT_FALSE(fs::exists(platform::AppHome::caches() / "com.blackbox.data"));

  // The debug switch takes the value given.
  blackbox->setDebugMode(true);
  blackbox->setDebugMode(false);
  EXPECT_FALSE(blackbox->debugMode());

  bbxtest::TestContext running;
  const fs::path old = home.root() / "old";
  fs::create_directories(old);
  auto report = std::make_shared<lumora::BBXReport>(bbxtest::writeCrashedReport(old, "old-run"));
  // What the crashed run wrote, then the delegate's change after it.
  auto crashed = report->internalKVStorage();
  crashed.storage.incrementalPath = crashed.incrementalPath.c_str();
  crashed.storage.compactedPath = crashed.compactedPath.c_str();
  std::uint32_t crashedCount = 0;
  lumora::BBXUserLoggingRecordKeyValue("com.blackbox.user-id", "crashed-user", &crashed.storage, &crashedCount);
  report->setUserIdentifier("fixed-user");
  const auto sections = bbxFacadeSections(old / "internal_incremental_kv.bbxrecord");
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(report->internalKVCounter(), 1u);
  EXPECT_EQ(sections.back()["kv"]["value"], "66697865642d75736572");  // fixed-user
  EXPECT_FALSE(fs::exists(running.path("internal_incremental_kv.bbxrecord")));
}

// Overwrites the stack below its caller, as the caller's next calls would.
__attribute__((noinline)) void bbxReuseStack() {
  volatile char junk[16384];
  for (std::size_t i = 0; i < sizeof junk; ++i) junk[i] = static_cast<char>(0xa5);
}

TEST(BlackboxTest, AReportsCompactionRunsAfterTheCallThatQueuedItAndTheReportAreGone) {
  testsupport::TestHome home;
  bbxtest::TestContext running;
  const fs::path old = home.root() / "old";
  fs::create_directories(old);
  auto report = std::make_shared<lumora::BBXReport>(bbxtest::writeCrashedReport(old, "old-run"));
  for (int i = 1; i < 64; ++i) report->setUserIdentifier("user-" + std::to_string(i));
  // The 64th write queues the compaction behind this block, which holds the
  // logging queue: the compaction runs once the call that queued it has
  // returned, its frame has been reused and the report is gone.
  lumora::BBXContextLoggingQueue().sync([&] {
    report->setUserIdentifier("user-64");
    report.reset();
    bbxReuseStack();
  });
  const auto compacted = bbxFacadeSections(old / "internal_compacted_kv.bbxrecord");
  ASSERT_EQ(compacted.size(), 1u);
  EXPECT_EQ(compacted[0]["kv"]["value"], "757365722d3634");  // user-64
  EXPECT_FALSE(fs::exists(old / "internal_incremental_kv.bbxrecord"));
}

TEST(BlackboxTest, CustomValuesKeepTheShortestTextOfTheirNumber) {
  bbxtest::TestContext running;
  auto blackbox = lumora::Blackbox::makeForTesting();
  blackbox->setFloatValue(0.1f, "f1");
  blackbox->setFloatValue(-2.5e-7f, "f2");
  blackbox->setIntValue(-7, "i");
  blackbox->setBoolValue(true, "b");
  blackbox->setObjectValue(0.1, "d");
  std::vector<std::string> values;
  for (const auto& section : bbxFacadeSections(running.path("user_incremental_kv.bbxrecord"))) {
    values.push_back(section["kv"]["value"]);
  }
  // "0.1", "-2.5e-07", "-7", "1", "0.1", hex-encoded as written.
  EXPECT_EQ(values, (std::vector<std::string>{"302e31", "2d322e35652d3037", "2d37", "31", "302e31"}));
}

TEST(BlackboxTest, ReportsOfTheLastRunReachOnlyTheDelegateMethodsItHas) {
  platform::MainQueue::main().bindToCurrentThread();
  auto blackbox = lumora::Blackbox::makeForTesting();
  auto delegate = std::make_shared<lumora::BlackboxDelegate>();
  std::vector<std::string> calls;
  delegate->blackboxDidDetectCrashDuringPreviousExecutionWithReport = [&](lumora::Blackbox&, const auto& report) {
    calls.push_back("legacy-report:" + report->identifier());
  };
  delegate->blackboxDidDetectCrashDuringPreviousExecution = [&](lumora::Blackbox&) { calls.push_back("legacy"); };
  // The host keeps no reference of its own: the facade holds the delegate.
  blackbox->setDelegate(std::move(delegate));
  testsupport::TestHome home;
  auto store = lumora::BBXFileManager();
  auto& controller = *lumora::BBXCrashReportingController::create(store, blackbox);
  auto report = bbxtest::writeCrashedReport(home.root(), "run-1");
  EXPECT_TRUE(blackbox->reportingControllerMustInformDelegateOfReports(controller));
  blackbox->reportingControllerDidDetectReportForLastExecution(controller, report,
                                                               [&](bool submit) { calls.push_back(submit ? "YES" : "NO"); });
  EXPECT_EQ(calls, std::vector<std::string>{"YES"});
  platform::MainQueue::main().runUntilIdle();
  EXPECT_EQ(calls, (std::vector<std::string>{"YES", "legacy-report:run-1", "legacy"}));
  EXPECT_FALSE(blackbox->shouldInstallCrashCallback());
}

TEST(BlackboxTest, WebViewScriptErrorsAreRecordedOnce) {
  lumora::BBXContextInitData data;
  data.customExceptionsEnabled = true;
  data.maxCustomExceptions = 16;
  lumora::BBXCaptureHooks hooks = lumora::BBXHostCaptureHooks();
  hooks.exceptionInitialize = lumora::BBXExceptionInitialize;
  bbxtest::TestContext context(data, hooks);
  auto blackbox = lumora::Blackbox::makeForTesting();

  // The older view: hooked only where the page has no handler yet.
  for (const char* present : {"undefined", "function"}) {
    platform::ui::WebView view;
    view.setScriptAnswerer([present](const std::string& script) {
      return script == "typeof blackboxOnError" ? std::string(present) : std::string("loaded");
    });
    blackbox->monitorErrorsForUIWebView(view);
    EXPECT_EQ(view.evaluatedScripts().size(), std::string(present) == "undefined" ? 2u : 1u) << present;
  }
  platform::ui::WebView view;
  EXPECT_FALSE(blackbox->handleWebView(view, {"https://example.com/?msg=x", {}}, platform::ui::WebNavigationType::Other));
  EXPECT_TRUE(blackbox->handleWebView(view, {"blackbox://exception/uiwebkit?url=a&line=3", {}},
                                      platform::ui::WebNavigationType::Other));
  EXPECT_TRUE(blackbox->handleWebView(view, {"blackbox://exception/uiwebkit?msg=bad%20thing&x==y", {}},
                                      platform::ui::WebNavigationType::Other));

  // The newer view: a user script and the "blackbox" handler.
  platform::ui::WebViewConfiguration configuration;
  platform::ui::UserScript::registerClass();
  blackbox->monitorErrorsForWKWebViewConfiguration(configuration);
  platform::ClassRegistry::unregisterClass("WKUserScript");
  ASSERT_EQ(configuration.userContentController->userScripts().size(), 1u);
  EXPECT_TRUE(configuration.userContentController->postMessage("blackbox", {{"msg", "boom"}, {"line", 1}}));

  std::vector<nlohmann::json> reasons;
  for (const auto& section : context.sections("custom_exception.bbxrecord")) {
    EXPECT_EQ(section["exception"]["type"], "javascript");
    reasons.push_back(section["exception"]["reason"]);
  }
  // null, "bad%20thing" and "boom", hex-encoded as written.
  EXPECT_EQ(reasons, (std::vector<nlohmann::json>{nullptr, "6261642532307468696e67", "626f6f6d"}));
}

}  // namespace
