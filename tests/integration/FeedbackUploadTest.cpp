// The feedback log upload against the local cloud: what the service keeps
// (zip, commit, report), which log files go, and that failures keep them.
#include <minizip/unzip.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <vector>

#include "SignedRequestFixture.h"
#include "applog/LoggerRegistry.h"
#include "feedback/QBLogUtil.h"
#include "platform/storage/AppHome.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/PropertyList.h"
#include "server/services/FeedbackService.h"
#include "support/PlantedFiles.h"
#include "support/Sanitizers.h"
#include "utils/AESCrypt.h"

namespace {

using localcloud::FeedbackService;
using lumora::QBLogUtil;

// Every entry of a zip archive: name -> content.
std::map<std::string, std::string> unzipAll(const std::filesystem::path& path) {
  std::map<std::string, std::string> entries;
  unzFile zip = unzOpen(path.c_str());
  if (!zip) return entries;
  for (int at = unzGoToFirstFile(zip); at == UNZ_OK; at = unzGoToNextFile(zip)) {
    char name[512];
    unz_file_info info;
    if (unzGetCurrentFileInfo(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    std::string content(info.uncompressed_size, '\0');
    unzOpenCurrentFile(zip);
    unzReadCurrentFile(zip, content.data(), static_cast<unsigned>(content.size()));
    unzCloseCurrentFile(zip);
    entries[name] = content;
  }
  unzClose(zip);
  return entries;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class FeedbackUploadTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    QBLogUtil::startLog();
  }
  void TearDown() override {
    QBLogUtil::stopLog();
    SignedRequestCloudTest::TearDown();
  }

  // Logs a line and waits until it is in its file; the file's name.
  std::string logLine(const std::string& text) {
    QB_LOG_ERROR("{}", text);
    auto names = QBLogUtil::sortedLogFileNames();
    return names.empty() ? std::string() : names.front();
  }

  // Runs one upload to its completion, pumping the main queue; `midway`
  // (optional) runs once the upload URL has been requested.
  void upload(const std::function<void()>& midway = nullptr) {
    bool done = false;
    QBLogUtil::uploadLogFiles([&] { done = true; });
    if (midway) {
      ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return sent("GET", FeedbackService::kRequestUploadPath); },
                                                       testsupport::scaled(std::chrono::seconds(60))));
      midway();
    }
    ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return done; },
                                                     testsupport::scaled(std::chrono::seconds(60))));
  }

  bool sent(const std::string& method, const std::string& path) const {
    auto journal = server_->feedback().journal();
    return std::any_of(journal.begin(), journal.end(),
                       [&](const std::string& line) { return line.starts_with(method + " " + path); });
  }

  bool logFileExists(const std::string& name) const {
    return std::filesystem::exists(*QBLogUtil::getLogDir() / name);
  }
};

TEST_F(FeedbackUploadTest, TheServiceGetsTheZipCommitAndReportAndTheUploadedLogsGo) {
  loginThroughAccountService();
  std::string uploaded = logLine("a line before the upload");
  ASSERT_FALSE(uploaded.empty());
  // Left by an earlier run: removed, and the property list written fresh.
  std::filesystem::path tmp = platform::AppHome::tmp();
  std::filesystem::create_directories(tmp);
  std::ofstream(tmp / "1500000000.zip") << "old";
  std::ofstream(tmp / "deviceInfo.plist") << "stale";

  std::string later;
  upload([&] { later = logLine("a line begun after the roll"); });

  auto uploads = server_->feedback().uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto& got = uploads.front();
  EXPECT_EQ(got.state, "reported");
  EXPECT_EQ(got.userId, signedtest::kUserId);
  EXPECT_EQ(got.deviceInfo, QBLogUtil::deviceInfo());

  auto entries = unzipAll(got.zipFile);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_NE(entries[uploaded].find("a line before the upload"), std::string::npos);
  EXPECT_EQ(entries[uploaded].find("a line begun after the roll"), std::string::npos);
  const std::string& plistText = entries["deviceInfo.plist"];
  auto plist = platform::plist::parse(platform::Bytes(plistText.begin(), plistText.end()));
  ASSERT_TRUE(plist);
  EXPECT_EQ(platform::plist::toJson(plist.get()), QBLogUtil::deviceInfo());
  EXPECT_NE(plistText.find("<?xml"), std::string::npos);

  // The commit is the upload reply in Base64 lines; the report names the
  // committed download URL.
  auto receipt = lumora::dataWithBase64EncodedString(got.commit);
  EXPECT_NE(std::string(receipt.begin(), receipt.end()).find(got.ticket), std::string::npos);
  auto reports = server_->feedback().reports();
  ASSERT_EQ(reports.size(), 1u);
  const auto& data = reports.front().data;
  EXPECT_EQ(data.size(), 9u);
  EXPECT_EQ(data["logFile"], got.downloadUrl);
  EXPECT_EQ(data["appId"], "3");
  EXPECT_EQ(data["model"], QBLogUtil::deviceInfo()["model"]);

  auto journal = server_->feedback().journal();
  ASSERT_EQ(journal.size(), 4u);
  EXPECT_TRUE(journal[0].starts_with("GET /upload/v1/requestUpload 200"));
  EXPECT_TRUE(journal[1].starts_with("POST /upload/v1/file/" + got.ticket + " 200"));
  EXPECT_TRUE(journal[2].starts_with("POST /upload/v1/commitUpload 200"));
  EXPECT_TRUE(journal[3].starts_with("POST /feedback/api/v1/klodata 200"));

  EXPECT_FALSE(logFileExists(uploaded));
  ASSERT_FALSE(later.empty());
  EXPECT_NE(later, uploaded);
  EXPECT_NE(readFile(*QBLogUtil::getLogDir() / later).find("a line begun after the roll"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(tmp / "1500000000.zip"));
}

// The zip holds only log files of the app's own: a symbolic link to a
// user's file or a pipe among the names is left out, never read through nor
// waited on, and the rest is zipped (a second name of a log as that log).
TEST_F(FeedbackUploadTest, TheZipHoldsOnlyLogFilesOfTheAppsOwn) {
  using testsupport::Planted;
  const std::string logged = logLine("a line of the app's own");
  ASSERT_FALSE(logged.empty());
  const std::filesystem::path directory = *QBLogUtil::getLogDir();
  const std::filesystem::path userFile = directory.parent_path() / "user.txt";
  std::ofstream(userFile) << "USER TEXT";
  std::vector<std::string> names{logged};
  for (Planted kind : {Planted::Pipe, Planted::SymbolicLink}) {
    names.push_back("planted-" + std::to_string(names.size()));
    ASSERT_TRUE(testsupport::plant(kind, directory / names.back(), userFile)) << testsupport::plantedName(kind);
  }
  // A second name of the app's own log is that log.
  names.push_back("second-name");
  std::filesystem::create_hard_link(directory / logged, directory / names.back());
  std::optional<std::filesystem::path> zip;
  EXPECT_TRUE(testsupport::endsWithoutWaitingOn(directory / names[1], [&] { zip = QBLogUtil::zipLogFiles(names); }));
  for (std::size_t i = 1; i < names.size(); ++i) std::filesystem::remove(directory / names[i]);
  ASSERT_TRUE(zip);
  const auto entries = unzipAll(*zip);
  std::filesystem::remove(*zip);
  EXPECT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries.count(QBLogUtil::kDeviceInfoFileName), 1u);
  ASSERT_EQ(entries.count(logged), 1u);
  EXPECT_NE(entries.at(logged).find("a line of the app's own"), std::string::npos);
  ASSERT_EQ(entries.count("second-name"), 1u);
  EXPECT_NE(entries.at("second-name").find("a line of the app's own"), std::string::npos);
  for (const auto& [name, content] : entries) EXPECT_EQ(content.find("USER TEXT"), std::string::npos) << name;
  EXPECT_EQ(readFile(userFile), "USER TEXT");
}

TEST_F(FeedbackUploadTest, EveryFailureKeepsTheLogs) {
  loginThroughAccountService();
  struct Case {
    const char* what;
    std::function<void()> inject;
    const char* lastPath;  // the last exchange the service answered (none: nullptr)
  };
  localcloud::Fault serverError;
  serverError.status = 500;
  localcloud::Fault coded;  // 200 with a body that is no encrypted reply
  coded.code = 500;
  localcloud::Fault drop;
  drop.drop = true;
  std::vector<Case> cases = {
      {"request upload fails", [&] { server_->faults().set(FeedbackService::kRequestUploadPath, serverError); },
       nullptr},
      {"commit connection drops", [&] { server_->faults().set(FeedbackService::kCommitPath, drop); },
       FeedbackService::kFilePathPrefix},
      {"report fails", [&] { server_->faults().set(FeedbackService::kReportPath, serverError); },
       FeedbackService::kCommitPath},
      {"report not confirmed", [&] { server_->faults().set(FeedbackService::kReportPath, coded); },
       FeedbackService::kCommitPath},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = logLine(std::string("kept through: ") + c.what);
    server_->faults().clearAll();
    server_->feedback().clearJournal();
    c.inject();
    upload();
    EXPECT_TRUE(logFileExists(name));
    EXPECT_TRUE(server_->feedback().reports().empty());
    auto journal = server_->feedback().journal();
    if (!c.lastPath) {
      EXPECT_TRUE(journal.empty());
    } else {
      ASSERT_FALSE(journal.empty());
      EXPECT_NE(journal.back().find(c.lastPath), std::string::npos) << journal.back();
    }
  }
  server_->faults().clearAll();

  // Without a pass token that the account service still takes, the
  // feedback login fails and nothing reaches the feedback service.
  std::string name = logLine("kept through a failed login");
  server_->feedback().clearJournal();
  server_->store().revokePassTokens(signedtest::kUserId);
  upload();
  EXPECT_TRUE(logFileExists(name));
  EXPECT_TRUE(server_->feedback().journal().empty());
}

TEST_F(FeedbackUploadTest, ASignedOutAppSendsNothingAndASecondRunDoesNotStartBesideTheFirst) {
  std::string name = logLine("nobody is signed in");
  upload();
  EXPECT_TRUE(server_->feedback().journal().empty());
  EXPECT_TRUE(logFileExists(name));

  loginThroughAccountService();
  int completions = 0;
  QBLogUtil::uploadLogFiles([&] { ++completions; });
  QBLogUtil::uploadLogFiles([&] { ++completions; });
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return completions == 2; },
                                                   testsupport::scaled(std::chrono::seconds(60))));
  EXPECT_EQ(server_->feedback().uploads().size(), 1u);
  EXPECT_EQ(server_->feedback().reports().size(), 1u);
  EXPECT_FALSE(logFileExists(name));
}

}  // namespace
