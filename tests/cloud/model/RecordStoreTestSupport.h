// Shared helpers of the record store tests: a fresh app home with its own user
// defaults, and a log sink that keeps the SDK's records.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "utils/LMLogUtil.h"
#include "utils/LogRecorder.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "support/TestHome.h"

namespace recordstoretest {

// The keys of a change map, as a set.
template <class Map>
std::set<typename Map::key_type> keysOf(const Map& map) {
  std::set<typename Map::key_type> keys;
  for (const auto& entry : map) keys.insert(entry.first);
  return keys;
}

using testsupport::LogRecorder;

// A fixture with a fresh app home (so a fresh Documents folder and user
// defaults), a recording log sink, and a test thread that is not the main
// thread (whatever an earlier test bound).
class StoreFixture : public ::testing::Test {
 protected:
  StoreFixture() {
    platform::MainQueue::main().resetForTesting();
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
