// Shared helpers of the record store tests: a fresh app home with its own user
// defaults, and a log sink that keeps the SDK's records.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/utils/LMLogUtil.h"
#include "platform/UserDefaults.h"
#include "support/TestHome.h"

namespace recordstoretest {

struct LogRecorder : lumora::LMLogDelegate {
  LogRecorder() {
    appendLogMessage = [this](const lumora::LMLogMessage& message) {
      std::lock_guard<std::mutex> guard(mutex);
      records.push_back(message);
    };
  }
  // Whether a record with exactly this text and flag was logged.
  bool contains(const std::string& text, std::uint64_t flag) {
    std::lock_guard<std::mutex> guard(mutex);
    for (const auto& record : records) {
      if (record.message() == text && record.flag() == flag) return true;
    }
    return false;
  }
  std::mutex mutex;
  std::vector<lumora::LMLogMessage> records;
};

// A fixture with a fresh app home (so a fresh Documents folder and user
// defaults) and a recording log sink.
class StoreFixture : public ::testing::Test {
 protected:
  StoreFixture() {
    platform::UserDefaults::resetStandardForTesting();
    lumora::LMLogUtil::setLogDelegate(log_);
  }
  ~StoreFixture() override {
    lumora::LMLogUtil::setLogDelegate(nullptr);
    platform::UserDefaults::resetStandardForTesting();
  }
  platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

  testsupport::TestHome home_;
  std::shared_ptr<LogRecorder> log_ = std::make_shared<LogRecorder>();
};

}  // namespace recordstoretest
