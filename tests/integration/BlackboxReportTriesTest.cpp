// How many tries a crash report gets while a failure that may pass keeps it
// back, launch after launch against the local cloud: one try a launch,
// counted once made (a launch that ends before it packages, or one with
// packaging off, counts none) by a mark in the report's folder that is
// read and written only as a file of the kit's own (whatever lies in its
// place is replaced, never read or written through, never waited on), and
// a report of which nothing can be read never sent empty.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "blackbox/BBXControllerTestDelegate.h"
#include "blackbox/BBXCrashReportingController.h"
#include "blackbox/BBXPackageReportOperation.h"
#include "blackbox/BBXSerializeSymbolicatedFramesOperation.h"
#include "harbor/Harbor.h"
#include "integration/BlackboxChildLaunch.h"
#include "integration/BlackboxReportFixture.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/MainQueue.h"
#include "support/FileLease.h"
#include "support/Sanitizers.h"
#include "support/WithoutFileModeOverride.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FileLease;

// The variable that makes the child test below a launch of the app (it
// names the folder of the test's store under the app home's caches), and
// how that launch ends: as it processes a report.
constexpr const char* kQuittingLaunch = "BBX_TRIES_QUITTING_LAUNCH";
constexpr int kQuitWhileProcessing = 42;

// A launch of the app over the app home it is given, run by the test of
// launches that make no try in a process of its own: it quits as soon as
// it processes a report, before anything is packaged.
TEST(BlackboxReportTriesChild, QuitsAsItProcessesAReport) {
  const char* storeFolder = std::getenv(kQuittingLaunch);
  if (storeFolder == nullptr) GTEST_SKIP();
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", storeFolder}});
  const lumora::BBXFileManager store;
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.app"}});
  lumora::BBXContextSetCaptureHooks(lumora::BBXHostCaptureHooks());
  platform::MainQueue::main().bindToCurrentThread();
  lumora::BBXSerializeSymbolicatedFramesOperation::setCreateForTesting(
      [](lumora::BBXFile*, const char*) -> bool { _exit(kQuitWhileProcessing); });
  const auto delegate = std::make_shared<bbxtest::BBXControllerTestDelegate>();
  auto app = lumora::BBXCrashReportingController::create(store, delegate);
  app->startWithProfilingMark(lumora::BBXTimingNow(), std::nullopt);
  app->operationQueue()->waitUntilAllOperationsAreFinished();
  FAIL() << "no report was processed";
}

class BlackboxReportTriesTest : public bbxreports::ReportPipelineTest {
 protected:
  void SetUp() override {
    bbxreports::ReportPipelineTest::SetUp();
    lumora::BBXContextSetCaptureHooks(lumora::BBXHostCaptureHooks());
    platform::MainQueue::main().bindToCurrentThread();
  }
  void TearDown() override {
    lumora::BBXContextResetForTesting();
    bbxreports::ReportPipelineTest::TearDown();
  }
  // A crashed launch's report with the launch's log beside it.
  fs::path writeReportWithLog(const std::string& id) {
    const fs::path directory = writeReport(id)->path();
    std::ofstream(directory / "sdk.log") << "the launch's log\n";
    return directory;
  }
  // The same with what processing names frames from.
  fs::path writeReportWithThreadsAndLog(const std::string& id) {
    const fs::path directory = writeReportWithThreads(id)->path();
    std::ofstream(directory / "sdk.log") << "the launch's log\n";
    return directory;
  }
  // What the cloud holds of report `id`: its files, or "nothing" ("set
  // aside" when the store has set a report or package aside instead).
  std::string cloudHolds(const std::string& id) {
    const auto kept = server_->reports().report(id);
    if (!kept) return store_.contentsOfDirectory(store_.refusedPath()).empty() ? "nothing" : "set aside";
    std::string files;
    for (const auto& [name, bytes] : kept->files) files += (files.empty() ? "" : " ") + name;
    return files;
  }
  // The count of tries in the report's folder in "processing".
  std::string countOf(const std::string& id) {
    std::ifstream mark(fs::path(store_.processingPath()) / id / ".held-back");
    return std::string((std::istreambuf_iterator<char>(mark)), std::istreambuf_iterator<char>());
  }

  // A launch of the app: the crash-reporting controller made and started
  // (by `start`, on this thread unless it says otherwise), its work done and
  // its uploads answered; then the launch ends.
  void launchApp(bool diedDuringTheLaunchBefore,
                 const std::function<void(lumora::BBXCrashReportingController&)>& start = {}) {
    if (diedDuringTheLaunchBefore) std::ofstream(fs::path(store_.structurePath()) / "launchmarker");
    auto app = lumora::BBXCrashReportingController::create(store_, appDelegate_);
    if (start) {
      start(*app);
    } else {
      app->startWithProfilingMark(lumora::BBXTimingNow(), std::nullopt);
    }
    app->operationQueue()->waitUntilAllOperationsAreFinished();
    platform::MainQueue::main().runUntilIdle();
    app->operationQueue()->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(platform::MainQueue::main().runUntil([&] { return store_.preparedPathContents().empty(); },
                                                     testsupport::scaled(std::chrono::seconds(20))))
        << "a package is still waiting";
    app->operationQueue()->waitUntilAllOperationsAreFinished();
    app.reset();
    lumora::BBXContextResetForTesting();
    // Every launch of this process has the one execution identifier: the
    // ended launch's own folder goes, as a later launch would delete it.
    fs::remove_all(fs::path(store_.activePath()) / lumora::Harbor::sharedSDK().executionIdentifier());
  }

  // A folder at `mark` that the app cannot remove (one of its folders is
  // not the app's to write into).
  static void plantFolderThatStays(const fs::path& mark) {
    fs::create_directories(mark / "kept");
    std::ofstream(mark / "kept" / "in") << "x";
    fs::permissions(mark / "kept", fs::perms::owner_read | fs::perms::owner_exec);
  }

  std::shared_ptr<bbxtest::BBXControllerTestDelegate> appDelegate_ =
      std::make_shared<bbxtest::BBXControllerTestDelegate>();
};

// What the cloud holds of a report written with its log, and of one
// without it (or sent without it).
constexpr const char* kWithLog = "metadata.bbxrecord sdk.log signal.bbxrecord";
constexpr const char* kRecordsOnly = "metadata.bbxrecord signal.bbxrecord";
// A report with its frames named and its log.
constexpr const char* kWholeWithFrames =
    "binary_images.bbxrecord metadata.bbxrecord sdk.log signal.bbxrecord signal.bbxrecord.symbolicated";

// A launch that died during launch leaves its report to the next one's
// urgent pass, which holds it back (its log busy); the scan of the
// processing folder in the same launch does not try it again, so each
// launch counts one try: held through three launches, it goes whole at
// the fourth once the failure has passed.
TEST_F(BlackboxReportTriesTest, AReportIsTriedAndCountedOnceALaunch) {
  const fs::path directory = writeReportWithLog("run-early");
  std::vector<std::string> arrived;
  std::vector<std::string> counts;
  {
    FileLease busy(directory / "sdk.log", FileLease::Kind::Held);
    ASSERT_TRUE(busy.held());
    for (int launch = 1; launch <= 3; ++launch) {
      launchApp(launch == 1);
      arrived.push_back(cloudHolds("run-early"));
      counts.push_back(countOf("run-early"));
    }
  }
  launchApp(false);
  arrived.push_back(cloudHolds("run-early"));
  EXPECT_EQ(arrived, (std::vector<std::string>{"nothing", "nothing", "nothing", kWithLog}));
  EXPECT_EQ(counts, (std::vector<std::string>{"1\n", "2\n", "3\n"}));
}

// Launches that make no try at a report: three that quit as they process
// it, before anything is packaged, or three with packaging off. None counts
// a try, so a launch at which the report's log cannot be read keeps the
// report back whole (its first try), and the next delivers it whole.
TEST_F(BlackboxReportTriesTest, ALaunchThatMakesNoTryCountsNone) {
  const auto quitAtOnce = [&] {
    const int status = bbxlaunch::run("BlackboxReportTriesChild.QuitsAsItProcessesAReport", home_.root(),
                                      server_->url(),
                                      {{kQuittingLaunch, fs::path(store_.rootPath()).filename().string()}});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kQuitWhileProcessing) << status;
  };
  const auto packagingOff = [&] {
    platform::Bundle::setInfoDictionary(
        {{"CFBundleIdentifier", "com.example.app"}, {"Blackbox", {{"PackageReports", false}}}});
    launchApp(false);
    platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.app"}});
  };
  const std::pair<const char*, std::function<void()>> rows[] = {{"run-quit-at-once", quitAtOnce},
                                                                {"run-packaging-off", packagingOff}};
  for (const auto& [id, launchWithoutATry] : rows) {
    SCOPED_TRACE(id);
    writeReportWithThreadsAndLog(id);
    std::vector<std::string> counts;
    for (int launch = 1; launch <= 3; ++launch) {
      launchWithoutATry();
      counts.push_back(countOf(id));
    }
    const fs::path processed = fs::path(store_.processingPath()) / id;
    ASSERT_TRUE(fs::exists(processed / "sdk.log"));
    std::vector<std::string> arrived;
    {
      FileLease busy(processed / "sdk.log", FileLease::Kind::Held);
      ASSERT_TRUE(busy.held());
      launchApp(false);
      arrived.push_back(cloudHolds(id));
      counts.push_back(countOf(id));
    }
    launchApp(false);
    arrived.push_back(cloudHolds(id));
    EXPECT_EQ(counts, (std::vector<std::string>{"", "", "", "1\n"}));
    EXPECT_EQ(arrived, (std::vector<std::string>{"nothing", kWholeWithFrames}));
  }
}

// A pipe in the place of the count, with the report held back at a launch
// after one that died during launch: the start does not wait on it (it is
// replaced), and the report goes once its log can be read.
TEST_F(BlackboxReportTriesTest, APipeInPlaceOfTheCountHoldsNeitherTheStartNorTheReport) {
  const fs::path directory = writeReportWithLog("run-pipe");
  ASSERT_EQ(mkfifo((directory / ".held-back").c_str(), 0600), 0);
  int reader = -1;  // the pipe's other end, opened only if the start waits on it
  std::vector<std::string> arrived;
  {
    FileLease busy(directory / "sdk.log", FileLease::Kind::Held);
    ASSERT_TRUE(busy.held());
    launchApp(true, [&](lumora::BBXCrashReportingController& app) {
      auto started = std::async(std::launch::async, [&] {
        return app.startWithProfilingMark(lumora::BBXTimingNow(), std::nullopt);
      });
      if (started.wait_for(testsupport::scaled(std::chrono::seconds(10))) == std::future_status::ready) return;
      ADD_FAILURE() << "the start waits on the pipe";
      const fs::path moved = fs::path(store_.processingPath()) / "run-pipe" / ".held-back";
      reader = open(moved.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      started.wait();
    });
    arrived.push_back(cloudHolds("run-pipe"));
  }
  launchApp(false);
  arrived.push_back(cloudHolds("run-pipe"));
  if (reader >= 0) close(reader);
  EXPECT_EQ(arrived, (std::vector<std::string>{"nothing", kWithLog}));
}

// In the place of the count: a folder, a symbolic link (to a user's file,
// to a device, to a pipe), a file the app may not read (its own of mode
// 000; another user's, where the test can give it away). Each is replaced
// by a count of the kit's own, so that a failure that lasts holds the
// report back three times and the fourth try sends what can be read; what
// a link leads to stays as it was. A folder that cannot be removed leaves
// no count to keep: the first try is taken as the last.
TEST_F(BlackboxReportTriesTest, ACountThatIsNoFileOfTheKitsOwnIsReplacedAndTheBoundHolds) {
  makeController();
  const fs::path userFile = home_.root() / "notes.txt";
  std::ofstream(userFile) << "the user's notes\n";
  const fs::path pipe = home_.root() / "pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::vector<std::string> heldThrice{"nothing", "nothing", "nothing", kRecordsOnly};
  const struct {
    const char* id;
    std::function<bool(const fs::path& mark)> plant;  // false: the row cannot run here
    std::vector<std::string> arrived;                 // at each launch, until it arrives
  } rows[] = {
      {"run-folder",
       [](const fs::path& mark) { return fs::create_directory(mark) && std::ofstream(mark / "in").good(); },
       heldThrice},
      {"run-link-to-file", [&](const fs::path& mark) { fs::create_symlink(userFile, mark); return true; }, heldThrice},
      {"run-link-to-device", [](const fs::path& mark) { fs::create_symlink("/dev/zero", mark); return true; },
       heldThrice},
      {"run-link-to-pipe", [&](const fs::path& mark) { fs::create_symlink(pipe, mark); return true; }, heldThrice},
      {"run-mode-000",
       [](const fs::path& mark) {
         std::ofstream(mark) << "1\n";
         fs::permissions(mark, fs::perms::none);
         return true;
       },
       heldThrice},
      {"run-another-users",
       [](const fs::path& mark) {
         std::ofstream(mark) << "1\n";
         fs::permissions(mark, fs::perms::owner_read | fs::perms::owner_write);
         return geteuid() == 0 && chown(mark.c_str(), 65534, 65534) == 0;  // only root gives a file away
       },
       heldThrice},
      {"run-folder-that-stays",
       [](const fs::path& mark) {
         plantFolderThatStays(mark);
         return true;
       },
       {kRecordsOnly}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    const fs::path directory = writeReportWithLog(row.id);
    if (!row.plant(directory / ".held-back")) continue;
    FileLease busy(directory / "sdk.log", FileLease::Kind::Held);
    ASSERT_TRUE(busy.held());
    testsupport::WithoutFileModeOverride asAnApp;
    std::vector<std::string> arrived;
    auto report = lumora::BBXInternalReport::reportWithPath(directory.string());
    for (int launchNumber = 1; launchNumber <= 4 && report && !server_->reports().report(row.id); ++launchNumber) {
      launch(report);
      arrived.push_back(cloudHolds(row.id));
      report = keptReport(row.id);
    }
    EXPECT_EQ(arrived, row.arrived);
  }
  std::ifstream notes(userFile);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(notes)), std::istreambuf_iterator<char>()),
            "the user's notes\n");
}

// The same where the try is kept back by its processing (the binary
// images busy as frames are named): the try cannot be counted, so the
// report goes at once with what can be read.
TEST_F(BlackboxReportTriesTest, AProcessingTryThatCannotBeCountedIsFollowedByTheLast) {
  makeController();
  auto report = writeReportWithThreads("run-images-uncounted");
  plantFolderThatStays(fs::path(report->path()) / ".held-back");
  FileLease busy(report->binaryImagePath(), FileLease::Kind::Held);
  ASSERT_TRUE(busy.held());
  testsupport::WithoutFileModeOverride asAnApp;
  launch(report);
  EXPECT_EQ(cloudHolds("run-images-uncounted"), kRecordsOnly);
}

// A hard link in the place of the count, to a user's file of 240 bytes or
// to one that holds "7": that file is neither cut nor counted on. A second
// name of a file is read as the file: the notes are no count, and the
// report, held back at the first launch, goes whole at the second; "7" is
// read as seven tries, and the first launch is the report's last.
TEST_F(BlackboxReportTriesTest, AHardLinkInPlaceOfTheCountLeavesTheOtherFileAsItWas) {
  makeController();
  const struct {
    const char* id;
    std::string text;
    std::vector<std::string> arrived;
  } rows[] = {{"run-hard-link-to-notes", std::string(239, 'n') + "\n", {"nothing", kWithLog}},
              {"run-hard-link-to-seven", "7\n", {kRecordsOnly, kRecordsOnly}}};
  for (const auto& [id, text, expected] : rows) {
    SCOPED_TRACE(id);
    const fs::path userFile = home_.root() / (std::string(id) + ".txt");
    std::ofstream(userFile) << text;
    const fs::path directory = writeReportWithLog(id);
    fs::create_hard_link(userFile, directory / ".held-back");
    std::vector<std::string> arrived;
    {
      FileLease busy(directory / "sdk.log", FileLease::Kind::Held);
      ASSERT_TRUE(busy.held());
      launch(lumora::BBXInternalReport::reportWithPath(directory.string()));
      arrived.push_back(cloudHolds(id));
    }
    if (auto report = keptReport(id)) launch(report);
    arrived.push_back(cloudHolds(id));
    EXPECT_EQ(arrived, expected);
    std::ifstream user(userFile);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(user)), std::istreambuf_iterator<char>()), text);
  }
}

// The packed copies of every file cannot be read back at four launches in
// a row: the fourth, the report's last try, has nothing it can send, and
// sends nothing (an empty package would be refused, and the crash lost
// with it); once the copies can be read, the report goes whole.
TEST_F(BlackboxReportTriesTest, AReportOfWhichNothingCanBeReadIsKeptUntilItCanBe) {
  makeController();
  auto report = writeReport("run-copies");
  const fs::path kept = fs::path(store_.processingPath()) / "run-copies";
  lumora::BBXPackageReportOperation::setGzWriteForTesting([kept](void* file, const void* data, unsigned size) {
    const int written = gzwrite(static_cast<gzFile>(file), data, size);
    for (const auto& entry : fs::directory_iterator(kept)) {
      if (entry.path().extension() == ".gz") chmod(entry.path().c_str(), 0);
    }
    return written;
  });
  testsupport::WithoutFileModeOverride asAnApp;
  std::vector<std::string> arrived;
  for (int launchNumber = 1; launchNumber <= 5 && report; ++launchNumber) {
    if (launchNumber == 5) lumora::BBXPackageReportOperation::setGzWriteForTesting(nullptr);
    launch(report);
    arrived.push_back(cloudHolds("run-copies"));
    report = keptReport("run-copies");
  }
  EXPECT_EQ(arrived, (std::vector<std::string>{"nothing", "nothing", "nothing", "nothing", kRecordsOnly}));
}

// A report no file of which can ever be sent (each refused to the app) is
// not sent empty for the service to refuse: it is set aside at once, as a
// refused one would be.
TEST_F(BlackboxReportTriesTest, AReportOfWhichNothingCanEverBeSentIsSetAsideUnsent) {
  makeController();
  auto report = writeReport("run-all-refused");
  for (const char* name : {"metadata.bbxrecord", "signal.bbxrecord"}) {
    fs::permissions(fs::path(report->path()) / name, fs::perms::none);
  }
  testsupport::WithoutFileModeOverride asAnApp;
  launch(report);
  EXPECT_EQ(cloudHolds("run-all-refused"), "set aside");
  const auto aside = store_.contentsOfDirectory(store_.refusedPath());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(fs::is_directory(aside.front())) << aside.front() << " (a package sent and refused)";
  EXPECT_TRUE(store_.processingPathContents().empty());
}

}  // namespace
