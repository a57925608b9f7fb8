// The app's file logger: line form, file names, rolling and pruning, and
// the cloud SDK lines that reach it.
#include <gtest/gtest.h>

#include <ctime>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "applog/AppLogDelegate.h"
#include "applog/LoggerRegistry.h"
#include "applog/QBFileLogger.h"
#include "applog/QBFileLoggerFomatterDefault.h"
#include "feedback/QBLogUtil.h"
#include "platform/device/Bundle.h"
#include "support/TestHome.h"
#include "utils/LMLogUtil.h"

namespace {

using lumora::LoggerRegistry;
using lumora::QBLogUtil;
using platform::Clock;

// A local wall-clock time, as the device shows it.
Clock::TimePoint localTime(int year, int month, int day, int hour, int minute, int second, int millis) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return Clock::TimePoint(std::chrono::seconds(std::mktime(&tm))) + std::chrono::milliseconds(millis);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(QBFileLoggerFomatterDefault, WritesTimeLevelFunctionFileLineAndMessage) {
  lumora::QBFileLoggerFomatterDefault formatter;
  lumora::LogMessage message;
  message.timestamp = localTime(2015, 6, 24, 10, 5, 7, 9);
  message.function = "-[LMPhotoView showImage]";
  message.file = "/src/app/LMPhotoView.m";
  message.line = 52;
  message.message = "done";
  struct Case {
    std::uint32_t flag;
    const char* level;
  };
  for (const auto& c : std::vector<Case>{{1, "E"}, {2, "W"}, {4, "I"}, {8, "D"}, {16, "V"}, {0, "(null)"}, {3, "(null)"}}) {
    message.flag = c.flag;
    EXPECT_EQ(formatter.formatLogMessage(message),
              std::string("2015/06/24 10:05:07:009 [") + c.level + "] -[LMPhotoView showImage] (LMPhotoView52):  done");
  }
}

class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<platform::ManualClock>(localTime(2015, 6, 24, 10, 5, 7, 0));
    scoped_ = std::make_unique<platform::ScopedClock>(clock_);
  }
  void TearDown() override {
    QBLogUtil::stopLog();
    scoped_.reset();
  }

  static std::string app() { return *platform::Bundle::infoString("CFBundleIdentifier"); }
  std::filesystem::path logDir() const { return *QBLogUtil::getLogDir(); }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::ScopedClock> scoped_;
};

TEST_F(FileLoggerTest, FilesAreNamedByTheMinuteRolledBySizeAndAgeAndTheOldestGo) {
  QBLogUtil::startLog();
  QB_LOG_INFO("first {}", 1);
  QBLogUtil::startLog();  // a new logger in the same minute begins a new file
  QB_LOG_INFO("second");
  LoggerRegistry::flushLog();
  EXPECT_EQ(LoggerRegistry::allLoggers().size(), 1u);
  std::string first = app() + " 2015-06-24 10-05.log";
  std::string second = app() + " 2015-06-24 10-05 2.log";
  EXPECT_EQ(QBLogUtil::sortedLogFileNames(), (std::vector<std::string>{second, first}));
  std::string text = readFile(logDir() / first);
  EXPECT_TRUE(text.starts_with("2015/06/24 10:05:07:000 [I] TestBody (FileLoggerTest"));
  EXPECT_TRUE(text.ends_with("):  first 1\n"));

  // A file closes once a write brings it to 1 MiB; the next line begins a
  // new one.
  clock_->advance(std::chrono::minutes(1));
  std::string chunk(1000, 'x');
  while (QBLogUtil::sortedLogFileNames().size() < 3) {
    QB_LOG_ERROR("{}", chunk);
  }
  auto full = std::filesystem::file_size(logDir() / second);
  EXPECT_GE(full, QBLogUtil::kMaximumFileSize);
  EXPECT_LT(full, QBLogUtil::kMaximumFileSize + 1100);
  std::string third = app() + " 2015-06-24 10-06.log";
  EXPECT_EQ(QBLogUtil::sortedLogFileNames().front(), third);

  // 24 hours on, the next line begins a fourth file and the oldest goes.
  clock_->advance(std::chrono::hours(24));
  QB_LOG_ERROR("a day later");
  std::string fourth = app() + " 2015-06-25 10-06.log";
  EXPECT_EQ(QBLogUtil::sortedLogFileNames(), (std::vector<std::string>{fourth, third, second}));
  EXPECT_FALSE(std::filesystem::exists(logDir() / first));

  // Other files in the directory are not log files and stay.
  std::ofstream(logDir() / "notes.log") << "x";
  std::ofstream(logDir() / (app() + " 2015-06-24 xx-06.log")) << "x";
  EXPECT_EQ(QBLogUtil::sortedLogFileNames().size(), 3u);

  QBLogUtil::purgeFiles();
  EXPECT_FALSE(std::filesystem::exists(logDir()));
  QBLogUtil::purgeFiles();  // a missing directory: nothing happens
}

TEST_F(FileLoggerTest, CloudSdkErrorsWarningsAndInformationReachTheFile) {
  QBLogUtil::startLog();
  auto sink = std::make_shared<lumora::AppLogDelegate>();
  lumora::LMLogUtil::setLogDelegate(sink);
  LM_LOG_ERROR("sdk {}", "error");
  LM_LOG_WARN("sdk warning");
  LM_LOG_INFO("sdk info");
  LM_LOG_DEBUG("sdk debug");
  LM_LOG_VERBOSE("sdk verbose");
  lumora::LMLogUtil::setLogDelegate(nullptr);
  LoggerRegistry::flushLog();

  std::string text = readFile(logDir() / QBLogUtil::sortedLogFileNames().front());
  EXPECT_NE(text.find("[E] TestBody (FileLoggerTest"), std::string::npos);
  EXPECT_NE(text.find("):  sdk error\n"), std::string::npos);
  EXPECT_NE(text.find("[W] TestBody"), std::string::npos);
  EXPECT_NE(text.find("):  sdk info\n"), std::string::npos);
  EXPECT_EQ(text.find("debug"), std::string::npos);
  EXPECT_EQ(text.find("verbose"), std::string::npos);
}

TEST_F(FileLoggerTest, LinesFromManyThreadsAllArriveWhole) {
  QBLogUtil::startLog();
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) QB_LOG_INFO("thread {} line {}", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  LoggerRegistry::flushLog();
  std::string text;
  auto names = QBLogUtil::sortedLogFileNames();  // newest first
  for (auto it = names.rbegin(); it != names.rend(); ++it) text += readFile(logDir() / *it);
  std::map<int, int> next;
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    auto at = line.find("):  thread ");
    ASSERT_NE(at, std::string::npos) << line;
    int thread = 0, number = 0;
    ASSERT_EQ(std::sscanf(line.c_str() + at, "):  thread %d line %d", &thread, &number), 2);
    EXPECT_EQ(number, next[thread]++);  // in order per thread, none lost
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
