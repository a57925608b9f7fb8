// Shared parts of the login tests (the account, passports-manager and
// integration binaries): a session delegate that records every message, the
// login web screen on top of the app, and a fixture that starts each test as
// a fresh app and lets every running account exchange end before it cleans
// up.
//
// The recorder locks its record, so messages may arrive on any thread; read
// its fields directly only on the thread that pumps the main queue. The
// helpers pump the main queue on the calling thread; every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "account/KPSessionDelegate.h"
#include "account/KPWebViewController.h"
#include "account/QBPassportRequestMemoryHolder.h"
#include "utils/ServiceHosts.h"
#include "platform/app/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/ViewController.h"
#include "platform/http/CookieStorage.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace logintest {

// Records every session-delegate message as "login", "failed <code>",
// "expired <code>", "ticket" or "webview", with the errors.
struct SessionRecorder : lumora::KPSessionDelegate {
  SessionRecorder() {
    passportDidLogin = [this](const PassportPtr&) { add("login"); };
    passportFailedWithError = [this](const PassportPtr&, const platform::Error& e) {
      add("failed " + std::to_string(e.code()), e);
    };
    passportPassSessionInvalidOrExpired = [this](const PassportPtr&, const platform::Error& e) {
      add("expired " + std::to_string(e.code()), e);
    };
    passportDidSendPhoneTicket = [this](const PassportPtr&) { add("ticket"); };
    passportWillShowWebView = [this] { add("webview"); };
  }
  // The messages that end a step (the web view announcement does not).
  std::vector<std::string> ends() {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& m : messages) {
      if (m != "webview") out.push_back(m);
    }
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex);
    messages.clear();
  }

  std::mutex mutex;
  std::vector<std::string> messages;
  std::vector<platform::Error> errors;
  platform::Error lastError;

 private:
  void add(const std::string& message) {
    std::lock_guard lock(mutex);
    messages.push_back(message);
  }
  void add(const std::string& message, const platform::Error& error) {
    std::lock_guard lock(mutex);
    messages.push_back(message);
    errors.push_back(error);
    lastError = error;
  }
};

// The login web screen on top of the app, if one is shown.
inline std::shared_ptr<lumora::KPWebViewController> shownWebScreen() {
  auto top = lumora::KPWebViewController::topMostControllerToPresentVC();
  auto navigation = std::dynamic_pointer_cast<platform::ui::NavigationController>(top);
  if (!navigation) return nullptr;
  return std::dynamic_pointer_cast<lumora::KPWebViewController>(navigation->rootViewController());
}

// Lets every running account exchange end (bounded) and every posted
// message run, so a second message, if any, would be seen.
inline void drainExchanges() {
  platform::MainQueue::main().runUntil(
      [] { return lumora::QBPassportRequestMemoryHolder::count() == 0; },
      testsupport::scaled(std::chrono::milliseconds(10000)));
  platform::MainQueue::main().runUntilIdle();
}

// Screen tests start and end with no screen shown and an empty cookie store,
// with everything posted to the main queue run.
class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }

 private:
  static void clean() {
    platform::MainQueue::main().runUntilIdle();
    platform::Application::shared().resetForTesting();
    platform::http::CookieStorage::shared().deleteAllCookies();
    platform::MainQueue::main().runUntilIdle();
  }
};

class LoginTest : public ::testing::Test {
 protected:
  // A fresh app: empty defaults and cookie store, no screens shown, the
  // account hosts at `accountBase`.
  static void startClean(const std::string& accountBase) {
    platform::UserDefaults::resetStandardForTesting();
    lumora::ServiceHosts::setAll(accountBase);
    platform::http::CookieStorage::shared().deleteAllCookies();
    platform::Application::shared().resetForTesting();
    platform::MainQueue::main().runUntilIdle();
  }
  // Lets running exchanges end, then clears what startClean set.
  static void finishClean() {
    drainExchanges();
    lumora::ServiceHosts::reset();
    platform::Application::shared().resetForTesting();
    platform::http::CookieStorage::shared().deleteAllCookies();
    platform::UserDefaults::resetStandardForTesting();
  }

  testsupport::TestHome home_;
};

}  // namespace logintest
