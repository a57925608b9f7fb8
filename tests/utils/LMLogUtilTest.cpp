#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "utils/LMLogUtil.h"

namespace {

using lumora::LMLogDelegate;
using lumora::LMLogMessage;
using lumora::LMLogUtil;

// A thread-safe sink that keeps every record with the thread that delivered it.
struct RecordingSink : LMLogDelegate {
  RecordingSink() {
    appendLogMessage = [this](const LMLogMessage& message) {
      std::lock_guard<std::mutex> guard(mutex);
      records.push_back(message);
      threads.push_back(std::this_thread::get_id());
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> guard(mutex);
    return records.size();
  }
  std::mutex mutex;
  std::vector<LMLogMessage> records;
  std::vector<std::thread::id> threads;
};

// A sink that does not provide the optional operation.
class SilentSink : public LMLogDelegate {};

class LogSink : public ::testing::Test {
 protected:
  void SetUp() override { LMLogUtil::setLogDelegate(sink_); }
  void TearDown() override { LMLogUtil::setLogDelegate(nullptr); }
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
};

TEST_F(LogSink, RecordCarriesExpandedTextAndTheCallersPlace) {
  const unsigned line = __LINE__ + 1;
  LM_LOG_INFO("saved {} of {}", 3, std::string("contacts"));
  LMLogUtil::logFlag(5, "Sync/LMSyncAdapter.m", "-[LMSyncAdapter run]", 42, "user {}", "u1");
  LM_LOG_ERROR("e");
  LM_LOG_WARN("w");
  LM_LOG_DEBUG("d");

  const auto& records = sink_->records;
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].message(), "saved 3 of contacts");
  EXPECT_EQ(records[0].flag(), 3u);
  EXPECT_EQ(records[0].fileName(), __FILE__);
  EXPECT_EQ(records[0].funcName(), "TestBody");
  EXPECT_EQ(records[0].line(), line);
  EXPECT_EQ(records[1].message(), "user u1");
  EXPECT_EQ(records[1].fileName(), "Sync/LMSyncAdapter.m");
  EXPECT_EQ(records[1].funcName(), "-[LMSyncAdapter run]");
  EXPECT_EQ(records[1].line(), 42u);
  EXPECT_EQ(records[1].flag(), 5u);
  EXPECT_EQ(records[2].flag(), 1u);
  EXPECT_EQ(records[3].flag(), 2u);
  EXPECT_EQ(records[4].flag(), 4u);
  EXPECT_EQ(sink_->threads[0], std::this_thread::get_id());  // delivered on the caller's thread
}

TEST_F(LogSink, NullAndRunTimeFormats) {
  const char* none = nullptr;
  LMLogUtil::logFlag(1, __FILE__, __func__, __LINE__, none);
  LMLogUtil::logFlag(1, __FILE__, __func__, __LINE__, none, fmt::format_args());
  EXPECT_TRUE(sink_->records.empty());

  const char* escaped = "100% {{done}}";
  LMLogUtil::logFlag(1, "f", "g", 1, escaped);
  const char* unmatched = "missing {} argument";
  LMLogUtil::logFlag(1, "f", "g", 2, unmatched);  // kept as written, not thrown
  int count = 7;
  LMLogUtil::logFlag(1, "f", "g", 3, "count {}", fmt::make_format_args(count));
  const auto& records = sink_->records;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message(), "100% {done}");
  EXPECT_EQ(records[1].message(), "missing {} argument");
  EXPECT_EQ(records[2].message(), "count 7");
}

TEST_F(LogSink, SinkWithoutTheOptionalOperationOrGoneReceivesNothing) {
  auto silent = std::make_shared<SilentSink>();
  LMLogUtil::setLogDelegate(silent);
  LM_LOG_ERROR("dropped {}", 1);  // no failure
  EXPECT_EQ(LMLogUtil::defaultUtil().delegate(), silent);

  auto shortLived = std::make_shared<RecordingSink>();
  LMLogUtil::setLogDelegate(shortLived);
  EXPECT_EQ(shortLived.use_count(), 1);  // held weakly
  LM_LOG_ERROR("seen");
  ASSERT_EQ(shortLived->count(), 1u);
  shortLived.reset();
  EXPECT_EQ(LMLogUtil::defaultUtil().delegate(), nullptr);
  LM_LOG_ERROR("after the sink went away");
  EXPECT_TRUE(sink_->records.empty());
}

TEST_F(LogSink, LinesNobodyTakesAreNeitherBuiltNorDelivered) {
  int built = 0;
  auto expensive = [&built] { return ++built; };
  LM_LOG_VERBOSE("{}", expensive());
  EXPECT_EQ(built, 1);

  auto warnings = std::make_shared<RecordingSink>();
  warnings->logLevel = lumora::kLMLogFlagWarning;
  LMLogUtil::setLogDelegate(warnings);
  LM_LOG_INFO("{}", expensive());
  LM_LOG_DEBUG("{}", expensive());
  LMLogUtil::logFlag(lumora::kLMLogFlagVerbose, "f", "g", 1, "direct {}", 1);
  EXPECT_EQ(built, 1);
  LM_LOG_WARN("{}", expensive());
  ASSERT_EQ(warnings->count(), 1u);
  EXPECT_EQ(warnings->records[0].message(), "2");

  LMLogUtil::setLogDelegate(nullptr);
  LM_LOG_ERROR("{}", expensive());
  warnings.reset();
  auto gone = std::make_shared<RecordingSink>();
  LMLogUtil::setLogDelegate(gone);
  gone.reset();
  LM_LOG_ERROR("{}", expensive());  // the sink's end is noticed on this line
  LM_LOG_ERROR("{}", expensive());
  EXPECT_EQ(built, 3);
}

TEST_F(LogSink, RemoveInstallsItsArgumentAndNullClears) {
  auto other = std::make_shared<RecordingSink>();
  LMLogUtil::removeLogDelegate(other);
  LM_LOG_INFO("to other");
  EXPECT_EQ(other->count(), 1u);
  EXPECT_TRUE(sink_->records.empty());

  LMLogUtil::removeLogDelegate(nullptr);
  LM_LOG_INFO("to nobody");
  EXPECT_EQ(other->count(), 1u);
}

TEST_F(LogSink, ConcurrentLoggingDeliversEveryRecordOnItsOwnThread) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 400;
  std::atomic<bool> stop{false};
  // Reinstalls the same sink over and over while the others log.
  std::thread installer([&] {
    while (!stop) LMLogUtil::setLogDelegate(sink_);
  });
  std::vector<std::thread> loggers;
  std::vector<std::thread::id> ids(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([&, t] {
      ids[t] = std::this_thread::get_id();
      for (int i = 0; i < kPerThread; ++i) LM_LOG_DEBUG("{}:{}", t, i);
    });
  }
  for (auto& thread : loggers) thread.join();
  stop = true;
  installer.join();

  const auto& records = sink_->records;
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (size_t k = 0; k < records.size(); ++k) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(records[k].message().c_str(), "%d:%d", &t, &i), 2);
    EXPECT_EQ(i, next[t]++);  // each thread's records arrive in its own order
    EXPECT_EQ(sink_->threads[k], ids[t]);
  }
}

}  // namespace
