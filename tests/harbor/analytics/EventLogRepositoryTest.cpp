#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "harbor/analytics/BBXAnalyticsCompressFile.h"
#include "harbor/analytics/BBXEventLogSessionRepository.h"
#include "platform/Random.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

platform::Bytes repositoryGunzip(const fs::path& file) {
  gzFile in = gzopen(file.c_str(), "rb");
  platform::Bytes out;
  if (!in) return out;
  unsigned char buffer[8192];
  int n = 0;
  while ((n = gzread(in, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
  gzclose(in);
  return out;
}

// Packs `in` into `out` as the maintenance does; the packer's result.
int repositoryPack(const fs::path& in, const fs::path& out) {
  std::FILE* source = std::fopen(in.c_str(), "r");
  std::FILE* target = std::fopen(out.c_str(), "w+");
  const int result = BBXAnalyticsCompressFile(source, target);
  if (source) std::fclose(source);
  if (target) std::fclose(target);
  return result;
}

class EventLogRepositoryTest : public ::testing::Test {
 protected:
  fs::path root() const { return home_.root() / "analytics"; }
  fs::path fragment(const char* state, const char* session, const char* fragmentName) {
    auto url = repository_.sessionFragmentDirectoryURLForStateName(state, session, 1, fragmentName, 2);
    EXPECT_TRUE(url);
    return url ? *url : fs::path();
  }
  static void write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

  testsupport::TestHome home_;
  BBXEventLogSessionRepository repository_{home_.root() / "analytics"};
};

TEST_F(EventLogRepositoryTest, PackagingMovesAFragmentThroughItsPrepTwin) {
  const fs::path active = fragment("ACTIVE", "s", "f");
  EXPECT_EQ(active, root() / "v1" / "ACTIVE" / "1_s" / "2_f");
  write(active / "1.log", "1000\tk\n");
  // A prep twin left by an interrupted run is purged first.
  const fs::path leftover = root() / "v1" / "PACKAGED" / "1_s" / "2_old.prep";
  fs::create_directories(leftover);
  ASSERT_TRUE(repository_.purgePrepSessionFragmentDirectoriesForStateName("PACKAGED"));
  EXPECT_FALSE(fs::exists(leftover));

  auto prep = repository_.prepSessionFragmentDirectoryURLForStateName("PACKAGED", active);
  ASSERT_TRUE(prep);
  EXPECT_EQ(*prep, root() / "v1" / "PACKAGED" / "1_s" / "2_f.prep");
  ASSERT_EQ(repositoryPack(active / "1.log", *prep / "1.log.zip"), 0);
  write(root() / "v1" / "PACKAGED" / "1_s" / "2_f" / "1.log.zip", "older copy");
  auto packaged = repository_.removePrepStatusFromSessionFragmentDirectoryURL(*prep);
  ASSERT_TRUE(packaged);
  EXPECT_EQ(platform::toString(repositoryGunzip(*packaged / "1.log.zip")), "1000\tk\n");
  EXPECT_FALSE(repository_.removePrepStatusFromSessionFragmentDirectoryURL(*packaged));

  ASSERT_TRUE(repository_.removeSessionFragmentDirectory(active));
  EXPECT_FALSE(fs::exists(root() / "v1" / "ACTIVE"));  // emptied parents go too
  auto files = repository_.logFileURLsForAllStates();  // recreates the state directory
  ASSERT_TRUE(files);
  EXPECT_EQ(*files, std::vector<fs::path>{*packaged / "1.log.zip"});
  EXPECT_TRUE(fs::is_directory(root() / "v1" / "ACTIVE"));

  // The last log file of the last fragment takes its parents along.
  ASSERT_TRUE(repository_.removeLogFile(*packaged / "1.log.zip"));
  EXPECT_FALSE(fs::exists(root() / "v1" / "PACKAGED"));
  EXPECT_TRUE(fs::exists(root() / "v1"));
}

// Counts the listings of each directory.
class CountingRepository : public BBXEventLogSessionRepository {
 public:
  using BBXEventLogSessionRepository::BBXEventLogSessionRepository;
  platform::Result<URLs> contentsOfDirectoryURL(const URL& directory) override {
    ++listings[directory.filename().string()];
    return BBXEventLogSessionRepository::contentsOfDirectoryURL(directory);
  }
  std::map<std::string, int> listings;
};

TEST_F(EventLogRepositoryTest, APassListsEachDirectoryOnceHoweverManyItRemoves) {
  // 40 sessions of one fragment, and one session of 40 fragments.
  CountingRepository repository(root());
  std::vector<fs::path> added;
  for (int i = 0; i < 40; ++i) {
    for (const auto& [session, fragmentName] : {std::pair("s" + std::to_string(i), std::string("f")),
                                                std::pair(std::string("big"), "f" + std::to_string(i))}) {
      auto url = repository.eventLogFileURLForStateName("ACTIVE", session, 1, fragmentName, 2, 1);
      ASSERT_TRUE(url);
      write(*url, "1\tk\n");
    }
  }
  const fs::path state = root() / "v1" / "ACTIVE";
  const fs::path late = state / "1_big" / "2_late";  // added behind the pass's back
  {
    const auto pass = repository.beginPass();
    auto files = repository.logFileURLsForAllStates();
    ASSERT_TRUE(files);
    ASSERT_EQ(files->size(), 80u);
    fs::create_directories(late);
    for (const fs::path& file : *files) ASSERT_TRUE(repository.removeLogFile(file)) << file;
  }
  // Every emptied fragment and session went, the added fragment and its
  // parents stayed (the listing made the other state).
  std::vector<fs::path> left;
  for (const auto& entry : fs::recursive_directory_iterator(root() / "v1")) left.push_back(entry.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<fs::path>{state, state / "1_big", late, root() / "v1" / "PACKAGED"}));
  // The pass's own listing and one more when a count ran out.
  EXPECT_LE(repository.listings["ACTIVE"], 2);
  EXPECT_LE(repository.listings["1_big"], 2);

  // Without a pass every removal looks again.
  ASSERT_TRUE(repository.removeSessionFragmentDirectory(late));
  EXPECT_FALSE(fs::exists(root() / "v1" / "ACTIVE"));
}

TEST_F(EventLogRepositoryTest, SweepRemovesStrayItemsButKeepsTheOpenFragment) {
  const fs::path open = fragment("ACTIVE", "s", "open");  // empty, yet kept
  const fs::path closed = fragment("PACKAGED", "s", "closed");
  write(closed / "0.log.zip", "z");
  write(closed / "notes.txt", "stray");
  fs::create_directories(closed / "nested");
  const fs::path emptyFragment = fragment("ACTIVE", "t", "empty");
  const fs::path emptySession = root() / "v1" / "ACTIVE" / "3_u";
  fs::create_directories(emptySession);
  write(root() / "v1" / "stray-file", "x");
  fs::create_directories(root() / "v1" / "OTHER");

  ASSERT_TRUE(repository_.cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(open));
  EXPECT_TRUE(fs::is_directory(open));
  EXPECT_TRUE(fs::exists(closed / "0.log.zip"));
  for (const fs::path& gone : {closed / "notes.txt", closed / "nested", emptyFragment.parent_path(), emptySession,
                               root() / "v1" / "stray-file", root() / "v1" / "OTHER"}) {
    EXPECT_FALSE(fs::exists(gone)) << gone;
  }
}

TEST_F(EventLogRepositoryTest, PackedFilesAreGzipMembersOfAnyInput) {
  fs::create_directories(root());
  platform::Bytes text;
  for (int line = 0; line < 5000; ++line) {
    const std::string record = std::to_string(line) + "\tview_controller_appeared\t2\t{}\n";
    text.insert(text.end(), record.begin(), record.end());
  }
  // Random bytes do not shrink: one read fills more than one output buffer.
  for (const platform::Bytes& input : {platform::Bytes{}, text, platform::randomBytes(1 << 20)}) {
    std::ofstream(root() / "in.log", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    ASSERT_EQ(repositoryPack(root() / "in.log", root() / "in.log.zip"), 0) << input.size();
    std::ifstream packed(root() / "in.log.zip", std::ios::binary);
    EXPECT_TRUE(packed.get() == 0x1f && packed.get() == 0x8b);  // a gzip member, not the bytes as they were
    EXPECT_GE(fs::file_size(root() / "in.log.zip"), 20u);
    EXPECT_EQ(repositoryGunzip(root() / "in.log.zip"), input) << input.size();
  }
}

}  // namespace
}  // namespace lumora
