#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "harbor/analytics/BBXEventLogEventFile.h"
#include "harbor/analytics/BBXEventLogSessionRepository.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace lumora {
namespace {

std::string eventLogRecordText(const BBXEventLogEvent& event) { return platform::toString(event.eventData()); }

TEST(EventLogRecordTest, RecordBytesCarryTheLengthAndKeepThePayloadUnescaped) {
  const std::string payloadWithBreaks = "{\"a\":\"x\ny\tz\"}";
  const struct {
    BBXEventLogEvent event;
    std::string bytes;
  } cases[] = {
      {BBXEventLogEvent(1, 1000, "app_launched"), "1000\tapp_launched\n"},
      {BBXEventLogEvent(2, 1000, "k", platform::toBytes("{}")), "1000\tk\t2\t{}\n"},
      {BBXEventLogEvent(2, 7, "k", platform::Bytes{}), "7\tk\t0\t\n"},
      {BBXEventLogEvent(0, 5, "k", platform::toBytes(payloadWithBreaks)),
       "5\tk\t" + std::to_string(payloadWithBreaks.size()) + "\t" + payloadWithBreaks + "\n"},
      {BBXEventLogEvent(0, 5, "\xC3\xA9v\xC3\xA9nement"), "5\t\xC3\xA9v\xC3\xA9nement\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(eventLogRecordText(c.event), c.bytes);

  const BBXEventLogEvent withPayload(2, 1000, "k", platform::toBytes("{}"));
  EXPECT_EQ(withPayload, BBXEventLogEvent(2, 1000, "k", platform::toBytes("{}")));
  EXPECT_EQ(withPayload.hash(), BBXEventLogEvent(2, 1000, "k", platform::toBytes("{}")).hash());
  EXPECT_FALSE(withPayload == BBXEventLogEvent(2, 1000, "k"));
  EXPECT_FALSE(withPayload == BBXEventLogEvent(1, 1000, "k", platform::toBytes("{}")));
}

TEST(EventLogRecordTest, FileNamesGiveTheirPriority) {
  const std::pair<const char*, int> cases[] = {
      {"0.log", 0}, {"1.log.zip", 1}, {"2.log.zip", 2}, {"3.log", -1}, {"0.zip", -1}, {"2.log.prep.zip", -1}};
  for (const auto& [name, priority] : cases) {
    EXPECT_EQ(BBXEventLogSessionRepository::priorityForEventLogFileWithName(name), priority) << name;
  }
}

// Appends 50 bytes to a 300-byte file that may grow to 310 only; exits 0
// when the append failed and left the file (and its count) at 300 bytes.
[[noreturn]] void eventLogAppendPastTheSizeLimit(const std::filesystem::path& file) {
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit {};
  limit.rlim_cur = limit.rlim_max = 310;
  setrlimit(RLIMIT_FSIZE, &limit);
  auto log = BBXEventLogEventFile::open(file);
  const bool failed = log && !log->appendData(platform::Bytes(50, 'y'));
  const bool kept = log && log->fileSize() == 300 && std::filesystem::file_size(file) == 300;
  std::_Exit(failed && kept ? 0 : 1);
}

class EventLogFileTest : public ::testing::Test {
 protected:
  std::filesystem::path path(const char* name) const { return home_.root() / name; }
  testsupport::TestHome home_;
};

TEST_F(EventLogFileTest, OpeningCountsTheFileAndAppendsGrowIt) {
  std::filesystem::create_directories(path("0.log") / "inner");
  auto overDirectory = BBXEventLogEventFile::open(path("0.log"));
  ASSERT_TRUE(overDirectory);
  EXPECT_TRUE(std::filesystem::is_regular_file(path("0.log")));
  EXPECT_EQ(overDirectory->fileSize(), 0u);

  std::ofstream(path("1.log")) << std::string(300, 'x');
  auto file = BBXEventLogEventFile::open(path("1.log"));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->fileSize(), 300u);
  ASSERT_TRUE(file->appendData(platform::Bytes(50, 'y')));
  EXPECT_EQ(file->fileSize(), 350u);
  EXPECT_EQ(std::filesystem::file_size(path("1.log")), 350u);

  const BBXEventLogEvent event(2, 1000, "k", platform::toBytes("{}"));
  ASSERT_TRUE(file->appendEvent(event));
  auto contents = file->readFromFile();
  ASSERT_TRUE(contents);
  EXPECT_EQ(platform::toString(*contents), std::string(300, 'x') + std::string(50, 'y') + "1000\tk\t2\t{}\n");
  ASSERT_TRUE(file->appendData(platform::toBytes("z")));  // open for writing again
  ASSERT_TRUE(file->resetFile());
  EXPECT_EQ(file->fileSize(), 0u);
  EXPECT_EQ(std::filesystem::file_size(path("1.log")), 0u);
  EXPECT_FALSE(file->openFileHandleForReading());  // one handle at a time
}

// Someone else's file at a log's name: never appended to or waited on, the
// log unusable. A device is no log either. A log with a second name (a copy
// of the home made with hard links) is written on as a file of this name
// alone: the other name keeps its bytes.
TEST_F(EventLogFileTest, OnlyALogOfItsOwnIsOpened) {
  const auto userFile = path("notes.txt");
  std::ofstream(userFile) << "the user's notes\n";
  for (auto kind : {testsupport::Planted::Pipe, testsupport::Planted::SymbolicLink}) {
    SCOPED_TRACE(testsupport::plantedName(kind));
    const auto log = path("0.log");
    ASSERT_TRUE(testsupport::plant(kind, log, userFile));
    std::unique_ptr<BBXEventLogEventFile> opened;
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(log, [&] {
      opened = BBXEventLogEventFile::open(log);
      if (opened) (void)opened->appendEvent(BBXEventLogEvent(1, 1, "k"));
    }));
    EXPECT_FALSE(opened);
    EXPECT_EQ(platform::toString(testsupport::readFile(userFile)), "the user's notes\n");
    std::filesystem::remove(log);
  }
  EXPECT_FALSE(BBXEventLogEventFile::open("/dev/full"));

  const BBXEventLogEvent first(1, 1, "first"), second(1, 2, "second");
  const auto log = path("1.log");
  ASSERT_TRUE(BBXEventLogEventFile::open(log)->appendEvent(first));
  std::filesystem::create_hard_link(log, path("snapshot.log"));
  auto opened = BBXEventLogEventFile::open(log);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->appendEvent(second));
  EXPECT_EQ(opened->fileSize(), (eventLogRecordText(first) + eventLogRecordText(second)).size());
  EXPECT_EQ(platform::toString(testsupport::readFile(log)), eventLogRecordText(first) + eventLogRecordText(second));
  EXPECT_EQ(platform::toString(testsupport::readFile(path("snapshot.log"))), eventLogRecordText(first));
}

TEST_F(EventLogFileTest, AFailedAppendIsAnErrorAndLeavesNoPartialRecord) {
  // A write cut short by the file-size limit, in a process of its own.
  const auto limited = path("limited.log");
  std::ofstream(limited) << std::string(300, 'x');
  EXPECT_EXIT(eventLogAppendPastTheSizeLimit(limited), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace lumora
