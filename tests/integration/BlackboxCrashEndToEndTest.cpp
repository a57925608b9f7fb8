// A crash from start to the service: a child process starts the kit against
// the local cloud, notes a user, a key and an error and dies by SIGSEGV; the
// next launch of the same app home processes, symbolicates and uploads the
// report, and the analytics of the crashed session carry "app_crashed".
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "blackbox/Blackbox.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/Tally.h"
#include "integration/BlackboxChildLaunch.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/http/SynchronousReply.h"
#include "server/CloudServer.h"
#include "support/HomeCopy.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kE2EBundle = "com.example.crashapp";

std::string e2eEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs the child phase; answers its wait status.
int e2eRunChild(const char* phase, const fs::path& home, const std::string& cloud) {
  return bbxlaunch::run("BlackboxCrashChild.Run", home, cloud, {{"BBX_E2E_PHASE", phase}});
}

// The hex text of `text`, as record files hold outside texts.
std::string e2eHex(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

}  // namespace

extern "C" __attribute__((noinline, visibility("default"), no_sanitize("undefined"))) void bbxE2ECrashHere(
    volatile int* target) {
  *target = 1;
}

// The app: runs only when the parent below executes it.
TEST(BlackboxCrashChild, Run) {
  const std::string phase = e2eEnv("BBX_E2E_PHASE");
  if (phase.empty()) GTEST_SKIP();
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", kE2EBundle},
                                       {"CFBundleVersion", "3"},
                                       {"CFBundleShortVersionString", "1.0"},
                                       {"Harbor", {{"APIKey", "key-1"}}}});
  platform::MainQueue::main().bindToCurrentThread();
  auto blackbox = lumora::Blackbox::startWithAPIKey("key-1");
  ASSERT_TRUE(blackbox->isBlackboxStarted());
  if (phase == "crash") {
    platform::MainQueue::main().runUntilIdle();
    blackbox->setUserIdentifier("user-7");
    blackbox->setObjectValue("blue", "colour");
    blackbox->recordError(platform::Error("E2EDomain", 7));
    volatile std::uintptr_t null = 0;
    bbxE2ECrashHere(reinterpret_cast<volatile int*>(null));
    FAIL() << "still alive";
  }
  // The next launch: the earlier report goes through to the service.
  ASSERT_TRUE(bbxlaunch::waitUntilEarlierReportsAreSent());
  auto analytics = lumora::Tally::sharedInstance().analyticsController();
  ASSERT_TRUE(analytics);
  // The crash event is written as the report is found; the uploads that
  // follow carry it to the service.
  auto crashEventArrived = [] {
    platform::http::Request request;
    request.url = e2eEnv("BlackboxReportsEndpoint") + "/_admin/analytics";
    return platform::toString(platform::http::sendSynchronousRequest(request).data).find("app_crashed") !=
           std::string::npos;
  };
  // The report is found, and the event written, on the kit's own queues:
  // under load that can take a while, so the test waits in real time.
  bool arrived = false;
  const auto deadline = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(60));
  while (!arrived && std::chrono::steady_clock::now() < deadline) {
    platform::MainQueue::main().runUntilIdle();
    platform::Semaphore done(0);
    analytics->maintainSessionFragments([&](const platform::Status&) { done.signal(); });
    done.wait();
    arrived = crashEventArrived();
  }
  EXPECT_TRUE(arrived);
}

namespace {

// A crashed launch, then the next launch of the same app, on the same home
// or (`onACopy`) on a copy of it made with hard links: the report reaches
// the service whole, the crashed session's analytics carry "app_crashed",
// and the home copied from keeps its files' bytes (its SQLite stores aside).
void expectTheCrashReportedByTheNextLaunch(bool onACopy) {
  // The kit's exception server runs on a small stack of its own, which
  // cannot hold ThreadSanitizer's per-thread state: there the crash never
  // reaches the kit, and the sanitizer ends the child itself.
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << "the exception server cannot start under the sanitizer";
  testsupport::TestHome home;
  auto cloud = localcloud::CloudServer::create(home.root() / "cloud");
  ASSERT_TRUE(cloud && cloud->start(0));
  nlohmann::json document = cloud->vendor().document(kE2EBundle);
  document["features"]["collect_analytics"] = true;
  document["analytics"]["url"] = cloud->url() + localcloud::AnalyticsService::kPath;
  cloud->vendor().setDocument(kE2EBundle, {{"features", document["features"]}, {"analytics", document["analytics"]}});
  const fs::path appHome = home.root() / "app";
  fs::create_directories(appHome);

  const int crashed = e2eRunChild("crash", appHome, cloud->url());
  // The kit hands the signal on to the handler it found: under
  // AddressSanitizer that is the sanitizer's, which ends the child with a
  // report instead of the signal.
  if (testsupport::kUnderAddressSanitizer && WIFEXITED(crashed)) {
    EXPECT_NE(WEXITSTATUS(crashed), 0);
  } else {
    ASSERT_TRUE(WIFSIGNALED(crashed)) << crashed;
    EXPECT_EQ(WTERMSIG(crashed), SIGSEGV);
  }
  const fs::path nextHome = onACopy ? home.root() / "copy" : appHome;
  if (onACopy) {
    ASSERT_TRUE(testsupport::copyWithHardLinks(appHome, nextHome));
  }
  const auto crashedHome = testsupport::filesOtherThanStores(appHome);
  const int next = e2eRunChild("next", nextHome, cloud->url());
  ASSERT_TRUE(WIFEXITED(next) && WEXITSTATUS(next) == 0) << next;

  ASSERT_EQ(cloud->reports().reportCount(), 1u);
  const auto report = cloud->reports().report(cloud->reports().reportIds().front());
  ASSERT_TRUE(report);
  auto file = [&](const std::string& name) {
    auto found = report->files.find(name);
    return found == report->files.end() ? std::string() : found->second;
  };
  EXPECT_NE(file("metadata.bbxrecord").find("\"identity\""), std::string::npos);
  EXPECT_NE(file("signal.bbxrecord").find("\"SIGSEGV\""), std::string::npos);
  EXPECT_NE(file("signal.bbxrecord.symbolicated").find("bbxE2ECrashHere"), std::string::npos);
  EXPECT_NE(file("internal_incremental_kv.bbxrecord").find(e2eHex("user-7")), std::string::npos);
  EXPECT_NE(file("user_incremental_kv.bbxrecord").find(e2eHex("colour")), std::string::npos);
  EXPECT_NE(file("errors_a.bbxrecord").find(e2eHex("E2EDomain")), std::string::npos);
  // Whole: every record and log the crashed launch wrote.
  for (const std::string& written : testsupport::namesHolding(appHome / "Library", ".bbxrecord")) {
    const std::string name = fs::path(written).filename().string();
    if (written.find(report->id) != std::string::npos) {
      EXPECT_EQ(report->files.count(name), 1u) << written;
    }
  }
  EXPECT_EQ(report->files.count("sdk.log"), 1u);
  if (onACopy) {
    EXPECT_TRUE(testsupport::filesOtherThanStores(appHome) == crashedHome);
  }
  std::vector<std::string> sessions = cloud->analytics().sessions();
  bool appCrashed = false;
  for (const std::string& session : sessions) {
    for (const auto& record : cloud->analytics().events(session)) appCrashed = appCrashed || record.key == "app_crashed";
  }
  EXPECT_TRUE(appCrashed);
}

TEST(BlackboxCrashEndToEndTest, ACrashedLaunchIsReportedByTheNext) { expectTheCrashReportedByTheNextLaunch(false); }

// A copy of the home made with hard links after the crash (a snapshot) is
// that home: its next launch sends the report whole.
TEST(BlackboxCrashEndToEndTest, ACrashedLaunchIsReportedWholeByTheNextOnACopyOfItsHome) {
  expectTheCrashReportedByTheNextLaunch(true);
}

}  // namespace
