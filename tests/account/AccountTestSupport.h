// Shared parts of the account SDK tests: a fresh app home with empty
// defaults, keychain and cookie store, and a log sink that records the SDK's
// log lines. The sink locks its record (log lines may come from any thread);
// the fixture owns the temporary home and puts back what it changed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "account/KPIdentifierAddition.h"
#include "account/KPUDIDKeyChainUtil.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"
#include "platform/device/NetworkInterface.h"
#include "platform/storage/UserDefaults.h"
#include "platform/http/CookieStorage.h"
#include "support/TestHome.h"

namespace accounttest {

class LogCapture : public lumora::LMLogDelegate {
 public:
  LogCapture() {
    appendLogMessage = [this](const lumora::LMLogMessage& message) {
      std::lock_guard<std::mutex> guard(mutex_);
      lines_.push_back(message.message());
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  bool contains(const std::string& line) const {
    auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Every test starts as a freshly installed app in a new process would.
class AccountTest : public ::testing::Test {
 protected:
  AccountTest() {
    platform::UserDefaults::resetStandardForTesting();
    platform::http::CookieStorage::shared().deleteAllCookies();
    lumora::kpResetUniqueGlobalDeviceIdentifierCacheForTesting();
    lumora::KPUDIDKeyChainUtil::setKeyChainAccessGroup(std::nullopt);
    lumora::ServiceHosts::reset();
    lumora::LMLogUtil::setLogDelegate(log_);
  }
  ~AccountTest() override {
    lumora::LMLogUtil::setLogDelegate(nullptr);
    platform::http::CookieStorage::shared().deleteAllCookies();
    platform::UserDefaults::resetStandardForTesting();
    lumora::kpResetUniqueGlobalDeviceIdentifierCacheForTesting();
    lumora::ServiceHosts::reset();
    platform::NetworkInterface::setInterfaceDirectoryForTesting(std::nullopt);
    platform::NetworkInterface::setPrimaryName(std::nullopt);
  }

  testsupport::TestHome home_;
  std::shared_ptr<LogCapture> log_ = std::make_shared<LogCapture>();
};

}  // namespace accounttest
