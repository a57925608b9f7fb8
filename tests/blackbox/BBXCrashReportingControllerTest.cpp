#include "blackbox/BBXCrashReportingController.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "blackbox/BBXTestContext.h"
#include "blackbox/BBXUserLogging.h"
#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"

namespace {

namespace fs = std::filesystem;
using lumora::BBXCrashReportingController;

class BBXControllerTestDelegate : public lumora::BBXCrashReportingControllerDelegate {
 public:
  bool shouldInstallCrashCallback() override { return false; }
  void detectedCrash() override {}
  bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) override { return false; }
  bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) override {
    return static_cast<bool>(submit);
  }
  void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController&,
                                                          const std::shared_ptr<lumora::BBXInternalReport>&,
                                                          std::function<void(bool)> handler) override {
    handler(submit ? *submit : true);
  }
  void reportingControllerInternalDidDetectReportForLastExecution(
      BBXCrashReportingController&, const std::shared_ptr<lumora::BBXInternalReport>&) override {
    ++reportsSeen;
  }
  bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int signal) override {
    return signal == SIGTRAP || signal == SIGBUS;
  }
  std::optional<std::string> APIKeyForCrashReportingController(BBXCrashReportingController&) override {
    return "key-1";
  }
  std::string installIDForCrashReportingController(BBXCrashReportingController&) override { return "install-1"; }
  bool isFirstInstallForCrashReportingController(BBXCrashReportingController&) override { return false; }
  lumora::BBXSettings settingsForCrashReportingController(BBXCrashReportingController&) override {
    return lumora::BBXSettings(settings);
  }

  std::optional<bool> submit;  // set: the delegate is asked and answers this
  nlohmann::json settings = nullptr;
  int reportsSeen = 0;
};

class BBXCrashReportingControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.controller"}});
    // Uploads go nowhere: a package stays in "prepared".
    setenv("BlackboxReportsEndpoint", "http://127.0.0.1:1", 1);
    lumora::BBXContextSetCaptureHooks(lumora::BBXHostCaptureHooks());
    platform::MainQueue::main().bindToCurrentThread();
    ASSERT_TRUE(store_.prepareForNewLaunch());
  }
  void TearDown() override {
    if (controller_) controller_->operationQueue()->waitUntilAllOperationsAreFinished();
    controller_.reset();
    lumora::BBXContextResetForTesting();
    lumora::BBXContextSetCaptureHooks(lumora::BBXHostCaptureHooks());
    platform::Device::setOrientation(platform::DeviceOrientation::Unknown);
    unsetenv("BlackboxReportsEndpoint");
    platform::Bundle::reset();
  }
  std::string earlierReport(const std::string& id) {
    const fs::path directory = fs::path(store_.activePath()) / id;
    fs::create_directories(directory);
    bbxtest::writeCrashedReport(directory, id);
    return directory.string();
  }
  bool start() {
    controller_ = BBXCrashReportingController::create(store_, delegate_);
    return controller_->startWithProfilingMark(lumora::BBXTimingNow(), std::nullopt);
  }
  void settle() {
    controller_->operationQueue()->waitUntilAllOperationsAreFinished();
    platform::MainQueue::main().runUntilIdle();
    controller_->operationQueue()->waitUntilAllOperationsAreFinished();
  }
  std::size_t packages() const { return store_.preparedPathContents().size(); }

  testsupport::TestHome home_;
  lumora::BBXFileManager store_;
  std::shared_ptr<BBXControllerTestDelegate> delegate_ = std::make_shared<BBXControllerTestDelegate>();
  std::shared_ptr<BBXCrashReportingController> controller_;
};

TEST_F(BBXCrashReportingControllerTest, ALaunchThatDiedEarlySendsItsReportsBeforeStartReturns) {
  const std::string earlier = earlierReport("earlier-run");
  std::ofstream(fs::path(store_.structurePath()) / "launchmarker");
  ASSERT_TRUE(start());
  // Processed and packaged on this thread; the failed urgent send keeps
  // the package for a later launch.
  EXPECT_FALSE(fs::exists(earlier));
  EXPECT_EQ(packages(), 1u);
  EXPECT_EQ(delegate_->reportsSeen, 1);
  EXPECT_EQ(controller_->machExceptionMask(), 0x40u | 0x2u);
  EXPECT_TRUE(controller_->launchFailureMarkerPresent());
  platform::MainQueue::main().runUntilIdle();
  EXPECT_FALSE(controller_->launchFailureMarkerPresent());

  // The launch's state keys follow the device.
  platform::Device::setOrientation(platform::DeviceOrientation::LandscapeLeft);
  lumora::BBXContextLoggingQueue().sync([] {});
  const auto current = store_.activePathContents();
  ASSERT_EQ(current.size(), 1u);
  const auto entries =
      lumora::BBXUserLoggingReadKVEntries((fs::path(current[0]) / "internal_incremental_kv.bbxrecord").c_str());
  ASSERT_TRUE(entries && !entries->empty());
  // "com.blackbox.device-orientation" = "3", hex-encoded as written.
  EXPECT_EQ(entries->back()["key"], "636f6d2e626c61636b626f782e6465766963652d6f7269656e746174696f6e");
  EXPECT_EQ(entries->back()["value"], "33");
}

TEST_F(BBXCrashReportingControllerTest, DelegateAndPromptDecideEachReport) {
  const struct {
    std::optional<bool> delegateSubmits;
    const char* button;  // pressed on the prompt, or null without prompt
    bool packaged;
    bool nextPrompts;  // a later report of this process asks again
  } cases[] = {
      {false, nullptr, false, false},       {true, nullptr, true, false},
      {std::nullopt, "Send", true, true},   {std::nullopt, "Don't Send", false, true},
      {std::nullopt, "Always Send", true, false},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.button ? each.button : "delegate");
    TearDown();
    fs::remove_all(store_.rootPath());
    SetUp();
    delegate_->submit = each.delegateSubmits;
    if (each.button) delegate_->settings = {{"features", {{"prompt_enabled", true}}}};
    const std::string earlier = earlierReport("earlier-run");
    ASSERT_TRUE(start());
    settle();
    if (each.button) {
      auto alerts = platform::ui::AlertView::visibleAlerts();
      ASSERT_EQ(alerts.size(), 1u);
      ASSERT_TRUE(alerts[0]->pressButtonWithTitle(each.button));
      settle();
    }
    EXPECT_FALSE(fs::exists(earlier));
    EXPECT_EQ(packages(), each.packaged ? 1u : 0u);
    if (!each.button) continue;

    controller_->handleDelegateCompletionForReport(
        lumora::BBXInternalReport::reportWithPath(earlierReport("later-run")), true);
    settle();
    EXPECT_EQ(platform::ui::AlertView::visibleAlerts().size(), each.nextPrompts ? 1u : 0u);
    platform::ui::AlertView::resetForTesting();
  }
}

TEST_F(BBXCrashReportingControllerTest, ALegacyTreeIsGoneBeforeTheLaunchIsSetUp) {
  fs::create_directories(fs::path(store_.rootPath()) / "sendable");
  ASSERT_TRUE(start());
  EXPECT_FALSE(fs::exists(fs::path(store_.rootPath()) / "sendable"));
  EXPECT_EQ(store_.activePathContents().size(), 1u);
  EXPECT_TRUE(lumora::BBXInternalReport::reportWithPath(store_.activePathContents()[0]) != nullptr);
}

TEST_F(BBXCrashReportingControllerTest, SwitchedOffReportingEmptiesTheStoreAndInstallsNothing) {
  lumora::BBXContextSetCaptureHooks(lumora::BBXProcessCaptureHooks());
  delegate_->settings = {{"features", {{"collect_reports", false}}}};
  earlierReport("earlier-run");
  std::ofstream(fs::path(store_.preparedPath()) / "waiting.multipartmime") << "x";
  struct sigaction before {};
  sigaction(SIGSEGV, nullptr, &before);
  EXPECT_FALSE(start());
  for (const std::string& path : {store_.activePath(), store_.processingPath(), store_.preparedPath()}) {
    EXPECT_TRUE(store_.contentsOfDirectory(path).empty()) << path;
  }
  EXPECT_FALSE(lumora::BBXContextIsInitialized());
  struct sigaction after {};
  sigaction(SIGSEGV, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
