#include "blackbox/BBXFileManager.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blackbox/BBXInternalReport.h"
#include "platform/device/Bundle.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;
using lumora::BBXFileManager;
using lumora::BBXInternalReport;

void bbxStoreWrite(const fs::path& path, const std::string& text = "") {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

std::set<std::string> bbxStoreNames(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

class BBXFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example/app"}});
    store_ = std::make_unique<BBXFileManager>();
    ASSERT_TRUE(store_->prepareForNewLaunch());
  }

  testsupport::TestHome home_;
  std::unique_ptr<BBXFileManager> store_;
};

TEST_F(BBXFileManagerTest, TheTreeLiesUnderTheSanitisedBundleIdentifierAndLegacyRootsGoWhole) {
  EXPECT_EQ(fs::path(store_->rootPath()), home_.root() / "Library/Caches/com.blackbox.data/com.example_app");
  for (const std::string& path : {store_->activePath(), store_->processingPath(), store_->preparedPath()}) {
    EXPECT_TRUE(fs::is_directory(path)) << path;
  }
  EXPECT_FALSE(fs::exists(store_->pendingPath()));
  const auto made = store_->setupNewPathForExecutionIdentifier("run-1");
  ASSERT_TRUE(made);
  EXPECT_EQ(store_->activePathContents(), std::vector<std::string>{*made});
  for (const char* bad : {"", "..", "a/b"}) EXPECT_FALSE(store_->setupNewPathForExecutionIdentifier(bad)) << bad;

  store_->removeLegacyDirectories();  // no "sendable": nothing goes
  EXPECT_TRUE(fs::is_directory(*made));
  fs::create_directories(fs::path(store_->rootPath()) / "sendable");
  store_->removeLegacyDirectories();
  EXPECT_FALSE(fs::exists(store_->rootPath()));
}

TEST_F(BBXFileManagerTest, BulkStepsSkipHiddenEntriesAndNeverReplace) {
  const fs::path active = store_->activePath();
  const fs::path processing = store_->processingPath();
  bbxStoreWrite(active / "a" / "metadata.bbxrecord");
  bbxStoreWrite(active / "b" / "metadata.bbxrecord");
  bbxStoreWrite(active / ".hidden");
  bbxStoreWrite(processing / "b" / "other");

  std::vector<std::pair<std::string, std::string>> listed;
  store_->enumerateFilesInDirectory((active / "a").string(), [&](const std::string& path, const std::string& ext) {
    listed.emplace_back(fs::path(path).filename().string(), ext);
  });
  EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::string>>{{"metadata.bbxrecord", "bbxrecord"}}));
  EXPECT_EQ(store_->activePathContents().size(), 2u);

  // "a" moves; "b" exists in processing already: the move fails there and
  // stops, "b" stays in place, the hidden file is never touched.
  EXPECT_FALSE(store_->moveItemsFromDirectory(active.string(), processing.string()));
  EXPECT_EQ(bbxStoreNames(active.string()), (std::set<std::string>{".hidden", "b"}));
  EXPECT_EQ(bbxStoreNames((processing / "b").string()), std::set<std::string>{"other"});
  EXPECT_FALSE(store_->moveItemAtPath("", processing.string()));

  // Pending was never made: the other three are still emptied.
  bbxStoreWrite(fs::path(store_->preparedPath()) / "x.multipartmime", "body");
  EXPECT_EQ(store_->fileSizeAtPath(fs::path(store_->preparedPath()) / "x.multipartmime"), 4u);
  EXPECT_FALSE(store_->fileSizeAtPath(store_->pendingPath()));
  EXPECT_TRUE(store_->removeContentsOfAllPaths());
  EXPECT_EQ(bbxStoreNames(active.string()), std::set<std::string>{".hidden"});
  EXPECT_TRUE(bbxStoreNames(processing.string()).empty());
  EXPECT_TRUE(bbxStoreNames(store_->preparedPath()).empty());
  EXPECT_FALSE(store_->removeItemAtPath(store_->pendingPath()));
}

TEST_F(BBXFileManagerTest, AReportIsItsMetadataReadByPositionAndItsFilesDecideSubmission) {
  const fs::path dir = fs::path(store_->processingPath()) / "run-1";
  const std::string identity = R"({"identity":{"api_key":"k","started_at":1700000000,"session_id":"run-1"}})";
  const std::string host = R"({"host":{"os_display_version":"6.1.0","os_build_version":"#1 SMP"}})";
  const std::string application = R"({"application":{"build_version":"7","display_version":"1.2"}})";

  EXPECT_EQ(BBXInternalReport::reportWithPath(dir.string()), nullptr);  // no metadata
  bbxStoreWrite(dir / "metadata.bbxrecord", R"({"identity":{"api_key":"k"}})" "\n");
  EXPECT_EQ(BBXInternalReport::reportWithPath(dir.string()), nullptr);  // no session id
  // Metadata begun but cut before its first line was whole (a full disk):
  // the folder's name is the identifier.
  for (const char* cut : {"", R"({"identity":{"api_k)"}) {
    bbxStoreWrite(dir / "metadata.bbxrecord", cut);
    const auto named = BBXInternalReport::reportWithPath(dir.string());
    ASSERT_NE(named, nullptr) << cut;
    EXPECT_EQ(named->identifier(), "run-1");
  }
  EXPECT_EQ(BBXInternalReport::reportWithPath(dir.string(), ""), nullptr);

  bbxStoreWrite(dir / "metadata.bbxrecord", identity + "\n" + host + "\n" + application + "\n");
  int seen = 0;
  store_->enumerateReportsInProcessingDirectory([&](const auto& report, const std::string& path) {
    ++seen;
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->path(), path);
    EXPECT_EQ(report->identifier(), "run-1");
    EXPECT_EQ(report->directoryName(), "run-1");
    EXPECT_EQ(report->APIKey(), "k");
    EXPECT_EQ(report->OSVersion(), "6.1.0");
    EXPECT_EQ(report->OSBuildVersion(), "#1 SMP");
    EXPECT_EQ(report->bundleVersion(), "7");
    EXPECT_EQ(report->bundleShortVersionString(), "1.2");
    EXPECT_EQ(report->dateCreated()->time_since_epoch(), std::chrono::seconds(1700000000));
    EXPECT_FALSE(report->customKeys());
  });
  EXPECT_EQ(seen, 1);

  // By position: with the host section missing, the application is not found.
  bbxStoreWrite(dir / "metadata.bbxrecord", identity + "\n" + application + "\n");
  EXPECT_FALSE(BBXInternalReport::reportWithPath(dir.string())->bundleVersion());
  // A start time the clock cannot hold (a damaged record) is no date.
  for (const char* startedAt : {"51700000000", "18446744073709551615"}) {
    bbxStoreWrite(dir / "metadata.bbxrecord",
                  std::string(R"({"identity":{"started_at":)") + startedAt + R"(,"session_id":"run-1"}})" "\n");
    EXPECT_FALSE(BBXInternalReport::reportWithPath(dir.string())->dateCreated()) << startedAt;
  }

  const struct {
    const char* file;
    bool submit;
    bool crash;
  } cases[] = {{"user_compacted_kv.bbxrecord", false, false}, {"errors_b.bbxrecord", true, false},
               {"custom_exception.bbxrecord", true, false},   {"mach_exception.bbxrecord", true, true},
               {"signal.bbxrecord", true, true},              {"exception.bbxrecord", true, true}};
  for (const auto& c : cases) {
    const fs::path other = fs::path(store_->activePath()) / c.file;
    fs::create_directories(other);
    bbxStoreWrite(other / c.file);
    const auto report = BBXInternalReport::reportWithPath(other.string(), "id");
    EXPECT_EQ(report->needsToBeSubmitted(), c.submit) << c.file;
    EXPECT_EQ(report->isCrash(), c.crash) << c.file;
    // A link of that name is no record of the launch.
    fs::remove(other / c.file);
    fs::create_symlink(dir / "metadata.bbxrecord", other / c.file);
    EXPECT_FALSE(report->needsToBeSubmitted()) << c.file;
  }
}

TEST_F(BBXFileManagerTest, ItemsSetAsideAreNumberedAndTheOldestGoFirst) {
  const std::size_t kept = BBXFileManager::kMaxRefusedItems;
  for (std::size_t i = 0; i < kept + 2; ++i) {
    const fs::path item = fs::path(store_->preparedPath()) / ("p" + std::to_string(i) + ".multipartmime");
    bbxStoreWrite(item, "x");
    ASSERT_TRUE(store_->moveItemAside(item.string()));
    EXPECT_FALSE(fs::exists(item));
  }
  const std::vector<std::string> refused = store_->contentsOfDirectory(store_->refusedPath());
  ASSERT_EQ(refused.size(), kept);
  EXPECT_NE(fs::path(refused.front()).filename().string().find("-p2."), std::string::npos);
  EXPECT_NE(fs::path(refused.back()).filename().string().find("-p" + std::to_string(kept + 1) + "."), std::string::npos);

  // What an interrupted packaging left goes; finished packages stay.
  bbxStoreWrite(fs::path(store_->preparedPath()) / ".b1.partial", "--b1");
  bbxStoreWrite(fs::path(store_->preparedPath()) / "b2.multipartmime", "--b2");
  store_->removePartialPackages();
  EXPECT_EQ(bbxStoreNames(store_->preparedPath()), std::set<std::string>{"b2.multipartmime"});
  EXPECT_TRUE(store_->removeContentsOfAllPaths());
  EXPECT_TRUE(store_->contentsOfDirectory(store_->refusedPath()).empty());
}

}  // namespace
