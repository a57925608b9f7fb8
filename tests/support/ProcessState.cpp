// Process-wide state that one test may leave behind and the next must not
// meet, put back after every test of every test binary, so that tests pass
// in any order and repeated in one process (--gtest_shuffle,
// --gtest_repeat). Fixtures reset what they set up themselves; this catches
// what outlives them.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/dispatch/MainQueue.h"
#include "platform/location/LocationManager.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/device/TelephonyNetworkInfo.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Window.h"

namespace {

// The host's own link changes reach no test; one that wants link messages
// gives the monitor a watch of its own.
void hearNoLinks() {
  platform::ReachabilityMonitor::sharedMonitor().setLinkWatchForTesting(
      [](std::function<void()>) -> platform::Result<std::unique_ptr<platform::LinkWatch>> {
        return platform::posixError(ENOTSUP, "link messages in a test");
      });
}

class ResetAfterEachTest final : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo&) override {
    // A test that made its thread the main thread leaves it so for the
    // next one; tasks posted late (a completion nobody waited for) would
    // run inside the next test's pumping.
    platform::MainQueue::main().resetForTesting();
    // Network facts a test fixed go back to the machine's own.
    platform::Reachability::overrideStatus(std::nullopt);
    platform::TelephonyNetworkInfo::configure(std::nullopt, std::nullopt);
    platform::ReachabilityMonitor::sharedMonitor().resetForTesting();
    hearNoLinks();
    platform::location::LocationManager::setAuthorizationAnswer(
        platform::location::AuthorizationStatus::AuthorizedAlways);
    // Windows, alerts and the device profile of the UI kit.
    platform::ui::AlertView::resetForTesting();
    platform::ui::Screen::main().resetForTesting();
  }
};

[[maybe_unused]] const bool kRegistered = [] {
  hearNoLinks();
  ::testing::UnitTest::GetInstance()->listeners().Append(new ResetAfterEachTest);
  return true;
}();

}  // namespace
