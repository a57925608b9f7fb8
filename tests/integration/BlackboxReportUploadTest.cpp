// The crash reporter's report pipeline against the local cloud: packages
// uploaded asynchronously and urgently to the report service, restarts after
// the service's delay on the manual clock (and never in a tight loop),
// redirects that would drop the package, certificate pinning against the
// HTTPS listener, packages the service refuses, and report folders that hold
// what capture never writes (left out, the rest sent).
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXFile.h"
#include "blackbox/BBXNetworkClient.h"
#include "blackbox/BBXPackageReportOperation.h"
#include "blackbox/BBXReportsController.h"
#include "blackbox/BBXSerializeSymbolicatedFramesOperation.h"
#include "blackbox/BBXTestContext.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRMultipartMimeStreamEncoder.h"
#include "integration/BlackboxReportFixture.h"
#include "platform/FileOutputStream.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/QueueLabels.h"
#include "platform/http/TestServer.h"
#include "server/CloudServer.h"
#include "server/http/CertificateAuthority.h"
#include "server/http/HttpsListener.h"
#include "support/FileLease.h"
#include "support/PlantedFiles.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/WithoutFileModeOverride.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kReportUploadPath = "/sdk-api/v1/platforms/ios/apps/com.example.app/reports";

// A report service of its own: answers every upload (and any other request)
// with `status`, a "Retry-After" of `retryAfter` when set, and an empty JSON
// body, and notes when each request came on the platform clock.
class PlainReportService {
 public:
  PlainReportService() {
    auto answer = [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      arrivals_.push_back(platform::Clock::current()->steadyNow());
      res.status = status_;
      if (retryAfter_) res.set_header("Retry-After", *retryAfter_);
      if (date_) res.set_header("Date", *date_);
      res.set_content("{}", "application/json");
    };
    (*server_).Get(".*", answer);
    (*server_).Post(".*", answer);
    server_.start();
  }
  std::string url() const { return server_.url(""); }
  // From now on; the requests so far are forgotten. `date`: the replies'
  // own "Date".
  void answer(int status, std::optional<std::string> retryAfter = std::nullopt,
              std::optional<std::string> date = std::nullopt) {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    status_ = status;
    retryAfter_ = std::move(retryAfter);
    date_ = std::move(date);
  }
  std::size_t requests() {
    std::lock_guard lock(mutex_);
    return arrivals_.size();
  }
  // The seconds on the clock between one request and the next.
  std::vector<double> gaps() {
    std::lock_guard lock(mutex_);
    std::vector<double> seconds;
    for (std::size_t i = 1; i < arrivals_.size(); ++i) {
      seconds.push_back(std::chrono::duration<double>(arrivals_[i] - arrivals_[i - 1]).count());
    }
    return seconds;
  }

 private:
  testhttp::TestServer server_;
  std::mutex mutex_;
  int status_ = 200;
  std::optional<std::string> retryAfter_;
  std::optional<std::string> date_;
  std::vector<platform::Clock::SteadyTimePoint> arrivals_;
};

class BlackboxReportUploadTest : public bbxreports::ReportPipelineTest {};

TEST_F(BlackboxReportUploadTest, AsynchronousAndUrgentUploadsAreAcceptedAndTheirPackagesDeleted) {
  makeController();
  auto outcome = delegate_->expectOutcome();
  ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport("run-async"), false, false));
  EXPECT_FALSE(outcomeOf(outcome));
  // An urgent upload has reported before the call returns.
  ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport("run-urgent"), true, false));
  EXPECT_EQ(delegate_->outcomeCount(), 2u);
  EXPECT_FALSE(delegate_->outcomes.back());

  for (const char* id : {"run-async", "run-urgent"}) {
    auto kept = server_->reports().report(id);
    ASSERT_TRUE(kept) << id;
    EXPECT_EQ(kept->apiKey, "key-1");
    EXPECT_EQ(kept->records.at("signal.bbxrecord").size(), 1u);
  }
  EXPECT_TRUE(store_.preparedPathContents().empty());
  EXPECT_TRUE(store_.activePathContents().empty());

  // A package already sent (emptied) is ignored, and goes: it is not met
  // again at every launch.
  const std::string empty = (fs::path(store_.preparedPath()) / "sent.multipartmime").string();
  std::ofstream{empty};
  lumora::HBRSetDebugEnabled(true);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(controller_->submitPackageMultipartMimeAtPath(empty, false));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Already-submitted report being ignored"), std::string::npos);
  EXPECT_FALSE(fs::exists(empty));
}

TEST_F(BlackboxReportUploadTest, AnUploadTheServiceDefersRestartsAfterItsDelay) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  makeController();
  struct DelayCase {
    const char* header;
    int seconds;
  };
  // The server's delay however long; one that is no usable number gets the
  // kit's own 300 s, never a tight loop.
  for (const DelayCase& c : {DelayCase{"5", 5}, DelayCase{"-4", 300}, DelayCase{"inf", 300}, DelayCase{"nan", 300},
                             DelayCase{"1e999", 300}, DelayCase{"99999999", 99999999}}) {
    localcloud::Fault busy;
    busy.status = 503;
    busy.retryAfterHeader = c.header;
    busy.times = 1;
    server_->faults().set(kReportUploadPath, busy);
    const std::string id = std::string("run-deferred") + c.header;
    auto outcome = delegate_->expectOutcome();
    // Queue threads left by earlier tests of this process may wait on this
    // clock as well: count only the waiter this upload adds.
    const std::size_t others = clock->waiterCount();
    ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport(id), false, false));
    const auto patience = testsupport::scaled(std::chrono::seconds(10));
    ASSERT_TRUE(clock->waitForWaiters(others + 1, patience));  // the restart waits on the clock
    clock->advance(std::chrono::seconds(c.seconds) - std::chrono::milliseconds(1));
    ASSERT_TRUE(clock->waitForWaiters(others + 1, patience));  // and still does
    EXPECT_FALSE(server_->reports().report(id)) << c.header;
    EXPECT_EQ(outcome.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    clock->advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(outcomeOf(outcome)) << c.header;
    EXPECT_TRUE(server_->reports().report(id)) << c.header;
  }
  EXPECT_TRUE(store_.preparedPathContents().empty());
}

TEST_F(BlackboxReportUploadTest, RestartsWaitWhatTheServiceAsksAndNoWaitIsNoFlood) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  PlainReportService service;
  useEndpoint(service.url());
  makeController();
  struct Case {
    std::string retryAfter;
    std::optional<std::string> date;  // the replies' own
    std::vector<double> gaps;         // seconds between the first seven uploads
  };
  const std::vector<double> noValue(6, 300);
  const std::vector<double> leastWait{1, 2, 4, 8, 16, 32};
  // A number of seconds is waited each time. A word, or what is not wholly
  // a number or an HTTP date, is no value: 300 s. "0", and a date gone by,
  // get the least wait, doubling with each restart. A date is measured
  // from the reply's own date when it has one, else from the device's
  // clock (2020-01-01).
  const Case cases[] = {{"5", std::nullopt, std::vector<double>(6, 5)},
                        {"7", std::nullopt, std::vector<double>(6, 7)},
                        {"0", std::nullopt, leastWait},
                        {"Sun, 06 Nov 1994 08:49:37 GMT", std::nullopt, leastWait},
                        {"abc", std::nullopt, noValue},
                        {"", std::nullopt, noValue},
                        {"21 Oct 2026 07:30:00 GMT", std::nullopt, noValue},
                        {"2026-10-21T07:30:00Z", std::nullopt, noValue},
                        {"Wed, 21 Oct 2026 07:28:30 GMT", "Wed, 21 Oct 2026 07:28:00 GMT", std::vector<double>(6, 30)},
                        {"Wed, 21 Oct 2026 07:28:00 GMT", std::nullopt, {214730880, 2, 4, 8, 16, 32}}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("Retry-After: \"" + c.retryAfter + "\"");
    clock->setTime(platform::Clock::TimePoint(std::chrono::seconds(1577836800)));
    service.answer(503, c.retryAfter, c.date);
    auto outcome = delegate_->expectOutcome();
    ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport("run-busy-" + std::to_string(i)), false, false));
    // Each time the last upload was answered and its restart waits, the
    // clock moves on to it, up to the seventh upload's restart.
    for (std::size_t came = 1;; ++came) {
      std::optional<platform::Clock::SteadyTimePoint> due;
      const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(10));
      while (!(service.requests() >= came && (due = platform::globalQueue().nextDueTime())) &&
             std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_TRUE(due) << "upload " << came;
      if (came == 7) break;
      clock->advance(std::max(*due - clock->steadyNow(), platform::Clock::Duration::zero()));
    }
    EXPECT_EQ(service.gaps(), c.gaps);
    // Taken at last: the package goes and its restarts end.
    service.answer(200);
    clock->advance(std::chrono::hours(24 * 365 * 10));
    EXPECT_FALSE(outcomeOf(outcome));
  }
  EXPECT_TRUE(store_.preparedPathContents().empty());
}

TEST_F(BlackboxReportUploadTest, ARedirectThatWouldDropThePackageIsNoDelivery) {
  PlainReportService elsewhere;  // another host that takes anything
  makeController();
  const struct {
    int status;
    bool toOtherHost;
    bool delivered;
  } cases[] = {{301, true, false},  {302, true, false},  {303, true, false},  {302, false, false},
               {303, false, false}, {307, false, true},  {308, false, true}};
  int run = 0;
  for (const auto& c : cases) {
    for (bool urgent : {false, true}) {
      SCOPED_TRACE(std::to_string(c.status) + (c.toOtherHost ? " elsewhere" : " within") +
                   (urgent ? " urgent" : " async"));
      for (const std::string& path : store_.preparedPathContents()) fs::remove(path);
      localcloud::Fault moved;
      moved.status = c.status;
      moved.location = c.toOtherHost ? elsewhere.url() + "/landing" : server_->url();
      moved.times = 1;
      server_->faults().set(kReportUploadPath, moved);
      const std::string id = "run-moved-" + std::to_string(++run);
      const std::size_t told = delegate_->outcomeCount();
      auto outcome = delegate_->expectOutcome();
      ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport(id), urgent, false));
      // Asynchronously the failure is reported; urgently it waits for a
      // later launch without a word.
      if (!urgent || c.delivered) {
        EXPECT_EQ(static_cast<bool>(outcomeOf(outcome)), !c.delivered);
      } else {
        EXPECT_EQ(delegate_->outcomeCount(), told);
      }
      EXPECT_EQ(static_cast<bool>(server_->reports().report(id)), c.delivered);
      EXPECT_EQ(store_.preparedPathContents().size(), c.delivered ? 0u : 1u);
      EXPECT_EQ(elsewhere.requests(), 0u);
      server_->faults().clear(kReportUploadPath);
    }
  }
}

TEST_F(BlackboxReportUploadTest, PinningAcceptsTheTestRootAndRefusesTheVendorRoots) {
  localcloud::FaultInjector faults;
  auto authority = localcloud::CertificateAuthority::create("Lumora test root");
  ASSERT_TRUE(authority);
  auto certificate = authority->issueServerCertificate("localhost");
  ASSERT_TRUE(certificate);
  localcloud::HttpsListener listener(*certificate, faults);
  const int port = listener.start();
  ASSERT_GT(port, 0);
  useEndpoint("https://127.0.0.1:" + std::to_string(port));
  auto der = localcloud::CertificateAuthority::der(authority->root());

  makeController(std::vector<lumora::HBRCertificate>{
      lumora::HBRCertificatePinner::createCertificationWithData(der.data(), der.size())});
  auto accepted = delegate_->expectOutcome();
  ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport("run-pinned"), false, false));
  EXPECT_FALSE(outcomeOf(accepted));
  EXPECT_EQ(listener.requestCount(kReportUploadPath), 1u);

  makeController();  // the vendor's eight roots
  auto refused = delegate_->expectOutcome();
  ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport("run-refused"), false, false));
  auto error = outcomeOf(refused);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -999);
  // Urgently, a refused chain reports nothing and the package waits.
  ASSERT_TRUE(controller_->prepareAndSubmitReport(writeReport("run-refused-urgent"), true, false));
  EXPECT_EQ(listener.requestCount(kReportUploadPath), 1u);
  EXPECT_EQ(store_.preparedPathContents().size(), 2u);
  listener.stop();
}

TEST_F(BlackboxReportUploadTest, APackageRefusedForWhatItIsIsSetAsideAndOthersWait) {
  makeController();
  const struct {
    int status;  // the service's answer, or 0 for no service at all
    bool urgent;
    bool setAside;
  } cases[] = {{400, false, true},  {413, true, true},   {415, true, true},   {422, false, true},
               {401, false, false}, {403, false, false}, {404, false, false}, {0, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    for (const std::string& path : store_.preparedPathContents()) fs::remove(path);
    if (c.status == 0) {
      useEndpoint("http://127.0.0.1:1");
    } else {
      localcloud::Fault refusal;
      refusal.status = c.status;
      refusal.times = 1;
      server_->faults().set(kReportUploadPath, refusal);
    }
    const std::size_t before = store_.contentsOfDirectory(store_.refusedPath()).size();
    auto outcome = delegate_->expectOutcome();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(
        controller_->prepareAndSubmitReport(writeReport("run-" + std::to_string(c.status)), c.urgent, false));
    ASSERT_TRUE(outcomeOf(outcome));
    const std::string console = testing::internal::GetCapturedStderr();
    const std::vector<std::string> refused = store_.contentsOfDirectory(store_.refusedPath());
    EXPECT_EQ(refused.size(), before + (c.setAside ? 1 : 0));
    EXPECT_EQ(store_.preparedPathContents().size(), c.setAside ? 0u : 1u);
    if (c.setAside) {
      // The console names the package and the answer.
      const std::string name = fs::path(refused.back()).filename().string();
      EXPECT_NE(console.find(name.substr(name.find('-') + 1)), std::string::npos) << console;
      EXPECT_NE(console.find(std::to_string(c.status)), std::string::npos) << console;
    }
  }
}

TEST_F(BlackboxReportUploadTest, NamesOfAnyBytesLeaveLinesThatBothReadersTake) {
  // A queue label longer than the labels' table holds, cut there by the
  // table itself: between characters.
  const std::string same = "\xE5\x90\x8C";  // one CJK character
  std::string label;
  for (int i = 0; i < 43; ++i) label += same;
  platform::publishQueueLabel(label.c_str());
  char cut[128];
  ASSERT_TRUE(platform::queueLabelOfThread(static_cast<pid_t>(syscall(SYS_gettid)), cut, sizeof(cut)));
  platform::withdrawQueueLabel();
  const std::string whole = label.substr(0, 42 * same.size());
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    std::string text;
    std::string read;  // as both readers take it
  } rows[] = {
      {"\xE7\x85\xA7\xE7\x89\x87-\xE5\x90\x8C\xE6\xAD\xA5\xE7\xBA\xBF\xE7\xA8\x8B",
       "\xE7\x85\xA7\xE7\x89\x87-\xE5\x90\x8C\xE6\xAD\xA5\xE7\xBA\xBF\xE7\xA8\x8B"},
      // The same thread name as the kernel keeps it: 15 bytes, the sixth
      // character cut.
      {"\xE7\x85\xA7\xE7\x89\x87-\xE5\x90\x8C\xE6\xAD\xA5\xE7\xBA",
       "\xE7\x85\xA7\xE7\x89\x87-\xE5\x90\x8C\xE6\xAD\xA5" + fffd + fffd},
      {cut, whole},
      {whole + "\xE5", whole + fffd},
      {"/home/user/caf\xE9/app", "/home/user/caf" + fffd + "/app"},
      {"\x80\xBF", fffd + fffd},
      {"a\xFF" "b", "a" + fffd + "b"},
      {"\xC0\xAF\xED\xA0\x80", fffd + fffd + fffd + fffd + fffd},  // overlong, surrogate
      {"\xF0\x9F\x98\x80 \"q\"\t", "\xF0\x9F\x98\x80 \"q\"\t"},
  };
  auto report = writeReport("run-bytes");
  const std::string record = (fs::path(report->path()) / "signal.bbxrecord").string();
  lumora::BBXFile file;
  ASSERT_TRUE(lumora::BBXFileInitWithPath(&file, record.c_str(), false));
  for (const auto& row : rows) {
    lumora::BBXFileWriteSectionStart(&file, "thread_names");
    lumora::BBXFileWriteArrayStart(&file);
    lumora::BBXFileWriteArrayEntryString(&file, row.text.c_str());
    lumora::BBXFileWriteArrayEnd(&file);
    lumora::BBXFileWriteSectionEnd(&file);
  }
  lumora::BBXFileClose(&file);

  // The next launch's reader.
  const auto sections = lumora::BBXFileReadSections(record.c_str(), false);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), std::size(rows) + 1);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ((*sections)[i + 1]["thread_names"][0], rows[i].read) << i;
  }
  // The service.
  makeController();
  ASSERT_TRUE(controller_->prepareAndSubmitReport(report, true, false));
  const auto kept = server_->reports().report("run-bytes");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->records.at("signal.bbxrecord"), *sections);
}

TEST_F(BlackboxReportUploadTest, ACutRecordArrivesWithItsWholeLines) {
  makeController();
  auto report = writeReport("run-cut");
  std::ofstream(fs::path(report->path()) / "signal.bbxrecord", std::ios::app) << R"({"threads":[{"registers":{"ri)";
  auto outcome = delegate_->expectOutcome();
  ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, true));
  EXPECT_FALSE(outcomeOf(outcome));
  const auto kept = server_->reports().report("run-cut");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->records.at("signal.bbxrecord").size(), 1u);
}

TEST_F(BlackboxReportUploadTest, ReportFilesAreReadWithinBoundsAndNeverThroughLinksOrPipes) {
  makeController();
  const fs::path outside = home_.root() / "outside";
  std::ofstream(outside) << "not the report's";
  // Links (one to a device that never ends), a pipe and a planted link at a
  // compressed file's name: the report goes without them, and nothing
  // outside it is read or written.
  auto linked = writeReport("run-linked");
  const fs::path dir = linked->path();
  fs::create_symlink("/dev/zero", dir / "sdk.log");
  fs::create_symlink(outside, dir / "custom_exception.bbxrecord");
  fs::create_symlink(outside, dir / "signal.bbxrecord.gz");
  ASSERT_EQ(mkfifo((dir / "log_a.bbxrecord").c_str(), 0600), 0);
  auto outcome = delegate_->expectOutcome();
  ASSERT_TRUE(controller_->prepareAndSubmitReport(linked, false, true));
  EXPECT_FALSE(outcomeOf(outcome));
  const auto kept = server_->reports().report("run-linked");
  ASSERT_TRUE(kept);
  for (const auto& [name, bytes] : kept->files) {
    EXPECT_TRUE(name == "metadata.bbxrecord" || name == "signal.bbxrecord") << name;
  }
  // A package, or a whole report, that is a link to something outside the
  // store is neither sent nor processed, and the link goes.
  const fs::path elsewhere = home_.root() / "elsewhere";
  fs::create_directories(elsewhere);
  bbxtest::writeCrashedReport(elsewhere, "run-elsewhere");
  const fs::path linkedReport = fs::path(store_.activePath()) / "run-elsewhere";
  fs::create_symlink(elsewhere, linkedReport);
  EXPECT_FALSE(controller_->prepareAndSubmitReport(lumora::BBXInternalReport::reportWithPath(linkedReport.string()),
                                                   true, true));
  const fs::path linkedPackage = fs::path(store_.preparedPath()) / "linked.multipartmime";
  fs::create_symlink(outside, linkedPackage);
  EXPECT_FALSE(controller_->uploadPackagedReportAtPath(linkedPackage.string(), true));
  for (const fs::path& link : {linkedReport, linkedPackage}) EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << link;
  EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 2);
  EXPECT_FALSE(server_->reports().report("run-elsewhere"));
  std::string text;
  std::getline(std::ifstream(outside), text);
  EXPECT_EQ(text, "not the report's");

}

// The client sends only a package of the store's own: a symbolic link to a
// user's file or a pipe at a package's name is neither read through nor
// waited on, urgently or queued (told unreadable); nothing of it reaches the
// service, and a package of its own still goes (also one with a second
// name, as a copy of the home made with hard links leaves).
TEST_F(BlackboxReportUploadTest, TheClientSendsOnlyPackagesOfItsOwn) {
  using testsupport::Planted;
  PlainReportService service;
  makeController();
  const fs::path userFile = home_.root() / "user.txt";
  std::ofstream(userFile) << "USER TEXT";
  const auto request = lumora::BBXServiceRequest(service.url() + kReportUploadPath, "POST", 10, "key-1");
  int made = 0;
  for (Planted kind : {Planted::Pipe, Planted::SymbolicLink}) {
    for (bool urgent : {true, false}) {
      SCOPED_TRACE(std::string(testsupport::plantedName(kind)) + (urgent ? ", urgent" : ", queued"));
      const fs::path at = fs::path(store_.preparedPath()) / (std::to_string(made++) + ".multipartmime");
      ASSERT_TRUE(testsupport::plant(kind, at, userFile));
      auto outcome = delegate_->expectOutcome();
      EXPECT_TRUE(testsupport::endsWithoutWaitingOn(at, [&] { client_->startUploadRequest(request, at.string(), urgent); }));
      if (!urgent) {
        const auto error = outcomeOf(outcome);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), lumora::kBBXNetworkErrorUnreadableFile);
      }
      EXPECT_EQ(service.requests(), 0u);
    }
  }
  const fs::path own = fs::path(store_.preparedPath()) / "own.multipartmime";
  std::ofstream(own) << "PACKAGE";
  fs::create_hard_link(own, home_.root() / "snapshot.multipartmime");
  client_->startUploadRequest(request, own.string(), true);
  EXPECT_EQ(service.requests(), 1u);
  std::string text;
  std::getline(std::ifstream(userFile), text);
  EXPECT_EQ(text, "USER TEXT");
}

// Files no capture writes beside a whole crash record: one far larger than
// a record can be (sparse: it costs no disk), a log of 20 MB, record files
// with lines no reader takes. Each is left out (or its bad lines are), and
// the crash arrives.
TEST_F(BlackboxReportUploadTest, OneBadFileNeverCostsTheCrash) {
  makeController();
  auto report = writeReport("run-bad-files");
  const fs::path dir = report->path();
  const std::pair<const char*, std::uintmax_t> large[] = {{"errors_a.bbxrecord", std::uintmax_t{4} << 30},
                                                          {"sdk.log", std::uintmax_t{20} << 20}};
  for (const auto& [name, size] : large) {
    std::ofstream{dir / name};
    fs::resize_file(dir / name, size);
  }
  std::ofstream(dir / "signal.bbxrecord", std::ios::app) << "}{not a record\n{\"runtime\":{}}\n";
  std::ofstream(dir / "user_compacted_kv.bbxrecord")
      << "{\"kv\":{\"key\":\"61\",\"value\":\"62\"}}\n\x01\x02\n{\"kv\":{\"key\":\"63\",\"value\":null}}\n";
  std::ofstream(dir / "internal_incremental_kv.bbxrecord") << "[1]\ngarbage\n";
  auto outcome = delegate_->expectOutcome();
  ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, true));
  EXPECT_FALSE(outcomeOf(outcome));
  const auto kept = server_->reports().report("run-bad-files");
  ASSERT_TRUE(kept);
  std::map<std::string, std::size_t> records;
  for (const auto& [name, lines] : kept->records) records[name] = name == "metadata.bbxrecord" ? 0 : lines.size();
  EXPECT_EQ(records, (std::map<std::string, std::size_t>{
                         {"metadata.bbxrecord", 0}, {"signal.bbxrecord", 2}, {"user_compacted_kv.bbxrecord", 2}}));
  EXPECT_FALSE(kept->files.count("sdk.log"));
  EXPECT_TRUE(store_.contentsOfDirectory(store_.refusedPath()).empty());
  EXPECT_TRUE(store_.activePathContents().empty() && store_.processingPathContents().empty());
  EXPECT_TRUE(store_.preparedPathContents().empty());
}

// A file the app is refused for good (mode 000; another user's of mode
// 600, where the test can give it away) leaves the report at the first try
// without that file, named in the log; nothing waits for it.
TEST_F(BlackboxReportUploadTest, AFileTheAppIsRefusedIsLeftOutNamedAndTheRestSentAtOnce) {
  makeController();
  const struct {
    const char* id;
    fs::perms mode;
    bool anotherUsers;
  } rows[] = {{"run-mode-000", fs::perms::none, false},
              {"run-another-users", fs::perms::owner_read | fs::perms::owner_write, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    auto report = writeReport(row.id);
    const fs::path log = fs::path(report->path()) / "sdk.log";
    std::ofstream(log) << "the launch's log\n";
    // Only root gives a file away (to "nobody").
    if (row.anotherUsers && (geteuid() != 0 || chown(log.c_str(), 65534, 65534) != 0)) continue;
    fs::permissions(log, row.mode);
    testsupport::WithoutFileModeOverride asAnApp;
    std::string said;
    EXPECT_TRUE(launch(report, &said));
    const auto kept = server_->reports().report(row.id);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->files.count("signal.bbxrecord") && kept->files.count("metadata.bbxrecord"));
    EXPECT_FALSE(kept->files.count("sdk.log"));
    EXPECT_NE(said.find("sdk.log"), std::string::npos) << said;
  }
  EXPECT_TRUE(store_.processingPathContents().empty());
}

// A step that cannot do its work at one launch, for a reason that passes,
// keeps the whole report for the next, which sends it whole: the packed
// copy of the crash record unreadable when the package is written; the
// binary images, or the crash record, busy when the frames are named (free
// again by packaging); no descriptor left to write the named frames with.
TEST_F(BlackboxReportUploadTest, AStepThatCannotBeDoneNowKeepsTheReportWholeForTheNextLaunch) {
  makeController();
  const auto busyWhenNamed = [&](const char* name) {
    return [this, name](const std::shared_ptr<lumora::BBXInternalReport>& report) {
      testsupport::FileLease busy(fs::path(report->path()) / name, testsupport::FileLease::Kind::LetGoWhenBroken);
      EXPECT_TRUE(busy.held());
      return launch(report);
    };
  };
  const struct {
    const char* id;
    const char* file;  // the file the report must arrive with
    std::function<bool(const std::shared_ptr<lumora::BBXInternalReport>&)> launchWithFault;
  } rows[] = {
      {"run-copy", "signal.bbxrecord",
       [&](const auto& report) {
         const fs::path copy = fs::path(store_.processingPath()) / report->directoryName() / "signal.bbxrecord.gz";
         lumora::BBXPackageReportOperation::setGzWriteForTesting([copy](void* file, const void* data, unsigned size) {
           const int written = gzwrite(static_cast<gzFile>(file), data, size);
           chmod(copy.c_str(), 0);  // once it is there
           return written;
         });
         testsupport::WithoutFileModeOverride asAnApp;
         const bool started = launch(report);
         lumora::BBXPackageReportOperation::setGzWriteForTesting(nullptr);
         return started;
       }},
      {"run-images", "signal.bbxrecord.symbolicated", busyWhenNamed("binary_images.bbxrecord")},
      {"run-threads", "signal.bbxrecord.symbolicated", busyWhenNamed("signal.bbxrecord")},
      {"run-frames", "signal.bbxrecord.symbolicated",
       [&](const auto& report) {
         lumora::BBXSerializeSymbolicatedFramesOperation::setCreateForTesting([](lumora::BBXFile*, const char*) {
           errno = EMFILE;
           return false;
         });
         const bool started = launch(report);
         lumora::BBXSerializeSymbolicatedFramesOperation::setCreateForTesting(nullptr);
         return started;
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    EXPECT_FALSE(row.launchWithFault(writeReportWithThreads(row.id)));
    EXPECT_FALSE(server_->reports().report(row.id)) << "sent without a file";
    auto report = keptReport(row.id);
    ASSERT_TRUE(report);
    EXPECT_TRUE(launch(report));
    const auto kept = server_->reports().report(row.id);
    ASSERT_TRUE(kept);
    for (const char* file : {"metadata.bbxrecord", "binary_images.bbxrecord", "signal.bbxrecord", row.file}) {
      EXPECT_TRUE(kept->files.count(file)) << file;
    }
  }
}

// A failure that may pass but does not keeps the report for three tries;
// the fourth sends what can be read, the file left out named.
TEST_F(BlackboxReportUploadTest, AFailureThatOutlastsItsTriesLeavesWhatCanBeReadToBeSent) {
  makeController();
  for (const char* busyFile : {"sdk.log", "binary_images.bbxrecord"}) {
    SCOPED_TRACE(busyFile);
    const std::string id = std::string("run-busy-") + busyFile;
    auto report = writeReportWithThreads(id);
    std::ofstream(fs::path(report->path()) / "sdk.log") << "the launch's log\n";
    testsupport::FileLease busy(fs::path(report->path()) / busyFile, testsupport::FileLease::Kind::Held);
    ASSERT_TRUE(busy.held());
    for (int held = 0; held < 3; ++held) {
      EXPECT_FALSE(launch(report)) << held;
      report = keptReport(id);
      ASSERT_TRUE(report);
    }
    EXPECT_FALSE(server_->reports().report(id));
    std::string said;
    EXPECT_TRUE(launch(report, &said));
    const auto kept = server_->reports().report(id);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->files.count("signal.bbxrecord") && kept->files.count("metadata.bbxrecord"));
    EXPECT_FALSE(kept->files.count(busyFile));
    EXPECT_NE(said.find(std::string("Leaving out ") + busyFile), std::string::npos) << said;
  }
  EXPECT_TRUE(store_.processingPathContents().empty());
}

TEST_F(BlackboxReportUploadTest, ThousandsOfPendingPackagesAreSentInTurn) {
  makeController();
  // Packages as packaging leaves them, each under its own boundary.
  const fs::path part = home_.root() / "signal.bbxrecord.gz";
  {
    gzFile gz = gzopen(part.c_str(), "w");
    const std::string record = "{\"signal\":{\"name\":\"SIGSEGV\"}}\n";
    gzwrite(gz, record.data(), static_cast<unsigned>(record.size()));
    gzclose(gz);
  }
  constexpr int kPending = 1000;
  std::vector<std::string> packages;
  for (int i = 0; i < kPending; ++i) {
    const std::string boundary = "pending-" + std::to_string(i);
    const std::string path = (fs::path(store_.preparedPath()) / (boundary + ".multipartmime")).string();
    auto stream = platform::FileOutputStream::open(path);
    ASSERT_TRUE(stream);
    lumora::HBRMultipartMimeStreamEncoder(*stream, boundary).encode([&](lumora::HBRMultipartMimeStreamEncoder& body) {
      body.addValue(platform::Json("key-1"), "api_key");
      body.addValue(platform::Json("run-pending-" + std::to_string(i)), "report_id");
      EXPECT_TRUE(body.addFile(part, "signal.bbxrecord.gz", std::string("application/x-gzip"), "signal").ok());
    });
    packages.push_back(path);
  }
  const auto threadCount = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return 0;
  };
  const int base = threadCount();
  std::atomic<int> most{0};
  std::promise<void> allDone;
  std::atomic<int> done{0};
  {
    std::lock_guard lock(delegate_->mutex);
    delegate_->onOutcome = [&] {
      const int now = threadCount();
      for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      if (++done == kPending) allDone.set_value();
    };
  }
  for (const std::string& path : packages) ASSERT_TRUE(controller_->uploadPackagedReportAtPath(path, false));
  ASSERT_EQ(allDone.get_future().wait_for(testsupport::scaled(std::chrono::seconds(120))), std::future_status::ready);
  std::lock_guard lock(delegate_->mutex);
  delegate_->onOutcome = nullptr;
  for (const auto& outcome : delegate_->outcomes) EXPECT_FALSE(outcome);
  EXPECT_TRUE(store_.preparedPathContents().empty());
  // Each running upload holds two threads: the pool, not the number
  // waiting, sets how many there are.
  EXPECT_LE(most.load() - base, 32);
}

}  // namespace
