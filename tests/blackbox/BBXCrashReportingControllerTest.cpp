#include "blackbox/BBXCrashReportingController.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "blackbox/BBXControllerTestDelegate.h"
#include "blackbox/BBXTestContext.h"
#include "blackbox/BBXUserLogging.h"
#include "harbor/Harbor.h"
#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "platform/storage/AppHome.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"

namespace {

namespace fs = std::filesystem;
using lumora::BBXCrashReportingController;

// How many times each fresh process of the launch-key test starts the crash
// context again after its launch.
constexpr int kBBXLaunchKeysRestarts = 24;

// The text of a record file's hex string.
std::string bbxUnhex(const std::string& hex) {
  std::string text;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    text.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return text;
}

using bbxtest::BBXControllerTestDelegate;

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
  // The current launch's internal keys and their texts, decoded.
  std::map<std::string, std::string> launchKeys() {
    lumora::BBXContextLoggingQueue().sync([] {});
    std::map<std::string, std::string> keys;
    const auto current = store_.activePathContents();
    if (current.empty()) return keys;
    const fs::path path = fs::path(current.back()) / "internal_incremental_kv.bbxrecord";
    for (const auto& kv : lumora::BBXUserLoggingReadKVEntries(path.c_str()).value_or(std::vector<nlohmann::json>{})) {
      if (kv["key"].is_string() && kv["value"].is_string()) keys[bbxUnhex(kv["key"])] = bbxUnhex(kv["value"]);
    }
    return keys;
  }

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
  // The two times keep their fraction of a millisecond (the clock counts
  // nanoseconds: a whole number here is a one in a million chance).
  const auto keys = launchKeys();
  for (const char* key : {"com.blackbox.kit-start-time", "com.blackbox.first-run-loop-time"}) {
    ASSERT_TRUE(keys.count(key)) << key;
    EXPECT_NE(keys.at(key).find('.'), std::string::npos) << key << " = " << keys.at(key);
  }
}

TEST_F(BBXCrashReportingControllerTest, WithoutAReportFolderTheLaunchStillClearsItsMarker) {
  // A file where this launch's report folder would go.
  std::ofstream(fs::path(store_.activePath()) / lumora::Harbor::sharedSDK().executionIdentifier()) << "x";
  EXPECT_FALSE(start());
  EXPECT_FALSE(lumora::BBXContextIsInitialized());
  EXPECT_TRUE(controller_->launchFailureMarkerPresent());
  platform::MainQueue::main().runUntilIdle();
  EXPECT_FALSE(controller_->launchFailureMarkerPresent());
}

TEST_F(BBXCrashReportingControllerTest, ASettledPromptForgetsTheReportItAskedAbout) {
  delegate_->submit = true;
  delegate_->settings = {{"features", {{"prompt_enabled", true}}}};
  const std::string earlier = earlierReport("earlier-run");
  ASSERT_TRUE(start());
  settle();
  auto alerts = platform::ui::AlertView::visibleAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  ASSERT_TRUE(controller_->promptedReport());
  // Another report settled by a choice made before: the showing prompt's
  // report is forgotten, and its late answer sends nothing.
  controller_->handlePromptCompleteForReport(lumora::BBXInternalReport::reportWithPath(earlierReport("other")), false,
                                             false);
  settle();
  EXPECT_FALSE(controller_->promptedReport());
  ASSERT_TRUE(alerts[0]->pressButtonWithTitle("Send"));
  settle();
  EXPECT_TRUE(fs::exists(earlier));
  EXPECT_EQ(packages(), 0u);
  platform::ui::AlertView::resetForTesting();
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

// Every file under `root`, with its size.
std::map<std::string, std::uintmax_t> bbxTreeFiles(const fs::path& root) {
  std::map<std::string, std::uintmax_t> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = entry.file_size();
  }
  return files;
}

TEST_F(BBXCrashReportingControllerTest, ALaunchNeitherReadsNorWritesThroughLinksInTheStore) {
  // Reports and a package outside the store, reached by links in its place.
  const fs::path outside = home_.root() / "outside";
  for (const char* name : {"active-report", "processing-report"}) {
    fs::create_directories(outside / name);
    bbxtest::writeCrashedReport(outside / name, name);
  }
  fs::create_directories(outside / "packages");
  std::ofstream(outside / "packages" / "waiting.multipartmime") << "x";
  fs::create_symlink(outside / "active-report", fs::path(store_.activePath()) / "active-report");
  fs::create_symlink(outside / "processing-report", fs::path(store_.processingPath()) / "processing-report");
  fs::remove(store_.preparedPath());
  fs::create_symlink(outside / "packages", store_.preparedPath());
  const auto before = bbxTreeFiles(outside);
  ASSERT_TRUE(start());
  settle();
  EXPECT_EQ(bbxTreeFiles(outside), before);
  EXPECT_EQ(delegate_->reportsSeen, 0);
  EXPECT_FALSE(fs::is_symlink(store_.preparedPath()));
  EXPECT_EQ(store_.activePathContents().size(), 1u);  // this launch's own
  EXPECT_TRUE(store_.processingPathContents().empty());
  EXPECT_TRUE(store_.contentsOfDirectory(store_.refusedPath()).empty());
}

// The same for a link in the place of the data folder or of the bundle's
// folder above the structure: it goes, and real folders are made instead.
TEST_F(BBXCrashReportingControllerTest, ALaunchNeitherReadsNorWritesThroughLinksAboveTheStructure) {
  const fs::path root(store_.rootPath());
  for (const fs::path& place : {root.parent_path(), root}) {
    SCOPED_TRACE(place.filename().string());
    // A whole store outside, with an earlier crash and a package waiting.
    const fs::path outside = home_.root() / ("outside-" + place.filename().string());
    const fs::path outsideRoot = place == root ? outside : outside / root.filename();
    const fs::path report = outsideRoot / "v3" / "active" / "earlier";
    fs::create_directories(report);
    bbxtest::writeCrashedReport(report, "earlier");
    fs::create_directories(outsideRoot / "v3" / "prepared");
    std::ofstream(outsideRoot / "v3" / "prepared" / "waiting.multipartmime") << "x";
    fs::remove_all(place);
    fs::create_directory_symlink(outside, place);
    const auto before = bbxTreeFiles(outside);
    ASSERT_TRUE(start());
    settle();
    EXPECT_EQ(bbxTreeFiles(outside), before);
    EXPECT_EQ(delegate_->reportsSeen, 0);
    EXPECT_FALSE(fs::is_symlink(root.parent_path()));
    EXPECT_FALSE(fs::is_symlink(root));
    EXPECT_EQ(store_.activePathContents().size(), 1u);  // this launch's own, written in the store
    controller_->operationQueue()->waitUntilAllOperationsAreFinished();
    controller_.reset();
    lumora::BBXContextResetForTesting();
  }
}

TEST_F(BBXCrashReportingControllerTest, AFailedLastEffortSubmissionIsLoggedAndReportsNone) {
  ASSERT_TRUE(start());
  settle();
  delegate_->failKey = true;
  EXPECT_FALSE(controller_->potentiallySubmittableCrashOccurred());
  const auto current = store_.activePathContents();
  ASSERT_FALSE(current.empty());
  std::ifstream log(fs::path(current.front()) / "sdk.log");
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Last effort exception"), std::string::npos) << text;
}

TEST_F(BBXCrashReportingControllerTest, ALastEffortSubmissionHappensOnlyWhereUrgentReportsMay) {
  const struct {
    const char* name;
    bool urgentReports;          // the configuration allows them
    bool prompts;                // the user is to be asked first
    std::optional<bool> submit;  // set: the delegate is to be told first
    bool attempted;
  } cases[] = {{"allowed", true, false, std::nullopt, true},
               {"configured off", false, false, std::nullopt, false},
               {"prompt", true, true, std::nullopt, false},
               {"delegate", true, false, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    fs::remove_all(store_.rootPath());
    SetUp();
    if (!c.urgentReports) platform::Bundle::setInfoValue("Blackbox", {{"UrgentReports", "no"}});
    delegate_->settings = c.prompts ? nlohmann::json{{"features", {{"prompt_enabled", true}}}} : nlohmann::json();
    delegate_->submit = c.submit;
    ASSERT_TRUE(start());
    settle();
    ASSERT_EQ(store_.activePathContents().size(), 1u);
    // The upload goes nowhere: an attempt leaves its package.
    EXPECT_EQ(controller_->potentiallySubmittableCrashOccurred(), c.attempted);
    EXPECT_EQ(packages(), c.attempted ? 1u : 0u);
    EXPECT_EQ(store_.activePathContents().size(), 1u);  // the copy it works on is gone
  }
}

// One launch, in a process of its own: starts crash reporting in the app
// home the parent names and records a key right after; then starts the
// crash context afresh a number of times, each time recording a key at
// once. Exits with the count of starts that lost a key (the launch's state
// keys or the one recorded after it).
TEST(BBXLaunchKeysChild, Run) {
  const char* home = std::getenv("BBX_LAUNCH_HOME");
  if (home == nullptr) GTEST_SKIP();
  platform::AppHome::setRoot(home);
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.launch"}});
  platform::MainQueue::main().bindToCurrentThread();
  lumora::BBXContextSetCaptureHooks(lumora::BBXHostCaptureHooks());
  auto keysIn = [](const fs::path& report) {
    lumora::BBXContextLoggingQueue().sync([] {});
    std::set<std::string> keys;
    const fs::path path = report / "internal_incremental_kv.bbxrecord";
    for (const auto& kv : lumora::BBXUserLoggingReadKVEntries(path.c_str()).value_or(std::vector<nlohmann::json>{})) {
      if (kv["key"].is_string()) keys.insert(bbxUnhex(kv["key"]));
    }
    return keys;
  };
  int lost = 0;
  lumora::BBXFileManager store;
  auto delegate = std::make_shared<BBXControllerTestDelegate>();
  auto controller = BBXCrashReportingController::create(store, delegate);
  controller->startWithProfilingMark(lumora::BBXTimingNow(), std::nullopt);
  lumora::BBXUserLoggingRecordInternalKeyValue("com.blackbox.user-id", "right-after-start");
  const auto active = store.activePathContents();
  const auto launch = active.empty() ? std::set<std::string>() : keysIn(active.back());
  for (const char* key : {"com.blackbox.in-background", "com.blackbox.device-orientation", "com.blackbox.ui-orientation",
                          "com.blackbox.user-id"}) {
    if (!launch.count(key)) ++lost;
  }
  for (int round = 0; round < kBBXLaunchKeysRestarts; ++round) {
    lumora::BBXContextResetForTesting();
    lumora::BBXContextInitData data;
    data.reportPath = (fs::path(home) / ("restart-" + std::to_string(round))).string();
    fs::create_directories(data.reportPath);
    lumora::BBXContextInitialize(&data);
    lumora::BBXUserLoggingRecordInternalKeyValue("com.blackbox.user-id", "right-after-start");
    if (!keysIn(data.reportPath).count("com.blackbox.user-id")) ++lost;
  }
  std::_Exit(std::min(lost, 100));
}

// The first keys of a start, in fresh processes: written once start has
// returned, never dropped because the context's last start-up step had not
// run yet (a race that lost them in about one start of a hundred).
TEST(BBXLaunchKeysTest, KeysRecordedRightAfterStartAreKeptInEveryFreshLaunch) {
  constexpr int kLaunches = 20;
  constexpr std::size_t kAtOnce = 4;
  testsupport::TestHome home;
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  int lost = 0;
  int broken = 0;
  for (int next = 0; next < kLaunches;) {
    std::vector<pid_t> running;
    while (running.size() < kAtOnce && next < kLaunches) {
      const fs::path launchHome = home.root() / std::to_string(next++);
      fs::create_directories(launchHome);
      std::vector<std::string> environment{"BBX_LAUNCH_HOME=" + launchHome.string()};
      for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
      std::vector<char*> envp;
      for (auto& entry : environment) envp.push_back(entry.data());
      envp.push_back(nullptr);
      std::string name = "launch", filter = "--gtest_filter=BBXLaunchKeysChild.Run";
      char* argv[] = {name.data(), filter.data(), nullptr};
      pid_t child = -1;
      ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", &quiet, nullptr, argv, envp.data()), 0);
      running.push_back(child);
    }
    for (pid_t child : running) {
      int status = 0;
      waitpid(child, &status, 0);
      if (WIFEXITED(status)) lost += WEXITSTATUS(status);
      else ++broken;
    }
  }
  posix_spawn_file_actions_destroy(&quiet);
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(lost, 0) << "of " << kLaunches * (1 + kBBXLaunchKeysRestarts) << " starts";
}

}  // namespace
