#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device/DeviceIdentifier.h"
#include "platform/device/MeteredNetwork.h"
#include "platform/device/NetworkInterface.h"
#include "platform/device/LinkWatch.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using platform::MeteredNetwork;
using platform::NetworkInterface;
using platform::NetworkStatus;
using platform::Reachability;
using platform::ReachabilityMonitor;
using platform::ReachabilityStatus;

struct FakeInterface {
  std::string name;
  std::string flags;
  std::string operstate;
  int type;
  bool wireless;
  std::string deviceType = {};
};

class NetworkFacts : public ::testing::Test {
 protected:
  NetworkFacts() { metered(std::nullopt); }
  ~NetworkFacts() override {
    NetworkInterface::setInterfaceDirectoryForTesting(std::nullopt);
    MeteredNetwork::setReaderForTesting(nullptr);
  }
  // What the system says of its connection (nullopt: it says nothing).
  static void metered(std::optional<bool> mark) {
    MeteredNetwork::setReaderForTesting([mark] { return mark; });
  }

  void lay(const std::vector<FakeInterface>& interfaces) {
    std::filesystem::path root = home_.root() / ("net" + std::to_string(++layouts_));
    for (const auto& i : interfaces) {
      std::filesystem::create_directories(root / i.name);
      std::ofstream(root / i.name / "flags") << i.flags << "\n";
      std::ofstream(root / i.name / "operstate") << i.operstate << "\n";
      std::ofstream(root / i.name / "type") << i.type << "\n";
      if (i.wireless) std::filesystem::create_directories(root / i.name / "wireless");
      std::ofstream(root / i.name / "uevent") << "INTERFACE=" << i.name << "\n"
                                               << (i.deviceType.empty() ? "" : "DEVTYPE=" + i.deviceType + "\n");
    }
    NetworkInterface::setInterfaceDirectoryForTesting(root);
  }

  static NetworkStatus internet() {
    return Reachability::reachabilityForInternetConnection().currentReachabilityStatus();
  }
  static NetworkStatus wifi() {
    return Reachability::reachabilityForLocalWiFi().currentReachabilityStatus();
  }

  testsupport::TestHome home_;
  int layouts_ = 0;
};

TEST_F(NetworkFacts, ReachabilityFollowsTheLinksThatAreUpAndWhetherTheyAreMetered) {
  const FakeInterface loopback{"lo", "0x9", "unknown", 772, false};
  const FakeInterface wired{"eth0", "0x1003", "up", 1, false};
  const FakeInterface wiredNoCarrier{"eth1", "0x1003", "down", 1, false};
  const FakeInterface wiredAdminDown{"eth2", "0x1002", "up", 1, false};
  const FakeInterface tunnel{"tun0", "0x10d1", "unknown", 65534, false};
  const FakeInterface radio{"wlan0", "0x1003", "up", 1, true, "wlan"};
  const FakeInterface radioDown{"wlan1", "0x1002", "down", 1, true, "wlan"};
  const FakeInterface modem{"wwan0", "0x1091", "unknown", 519, false, "wwan"};
  const FakeInterface modemDown{"wwan1", "0x1090", "down", 519, false, "wwan"};
  constexpr auto none = NetworkStatus::NotReachable;
  constexpr auto viaWiFi = NetworkStatus::ReachableViaWiFi;
  constexpr auto viaMobile = NetworkStatus::ReachableViaWWAN;
  struct Case {
    std::vector<FakeInterface> interfaces;
    std::optional<bool> systemMark;
    NetworkStatus internet;
    NetworkStatus localWiFi;
  } cases[] = {
      {{}, std::nullopt, none, none},
      {{loopback}, false, none, none},
      {{loopback, wiredNoCarrier, wiredAdminDown, radioDown, modemDown}, true, none, none},
      // Unmetered links are the phone's Wi-Fi, whatever their kind.
      {{loopback, wired}, std::nullopt, viaWiFi, viaWiFi},
      {{tunnel}, std::nullopt, viaWiFi, viaWiFi},
      {{wired, radio}, std::nullopt, viaWiFi, viaWiFi},
      {{radioDown, wired}, std::nullopt, viaWiFi, viaWiFi},
      // A modem is mobile data, unless another link is up beside it.
      {{loopback, modem}, std::nullopt, viaMobile, none},
      {{modem, wired}, std::nullopt, viaWiFi, viaWiFi},
      // The system's mark decides where there is one.
      {{wired}, true, viaMobile, none},
      {{radio}, true, viaMobile, none},
      {{modem}, false, viaWiFi, viaWiFi},
  };
  for (const Case& c : cases) {
    lay(c.interfaces);
    metered(c.systemMark);
    EXPECT_EQ(internet(), c.internet) << c.interfaces.size() << " interfaces";
    EXPECT_EQ(wifi(), c.localWiFi) << c.interfaces.size() << " interfaces";
  }

  // A test fixes the status; the interfaces count again once it lets go.
  Reachability::overrideStatus(NetworkStatus::NotReachable);
  EXPECT_EQ(internet(), NetworkStatus::NotReachable);
  Reachability::overrideStatus(NetworkStatus::ReachableViaWWAN);
  EXPECT_EQ(wifi(), NetworkStatus::NotReachable);
  Reachability::overrideStatus(std::nullopt);
  EXPECT_EQ(internet(), NetworkStatus::ReachableViaWiFi);
}

TEST_F(NetworkFacts, TheMonitorHearsSettledLinkChangesAndPostsOnlyANewStatus) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  int sockets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sockets), 0);
  lay({{"eth0", "0x1003", "up", 1, false}});
  std::atomic<bool> mark{false};
  std::atomic<int> readings{0};
  MeteredNetwork::setReaderForTesting([&]() -> std::optional<bool> {
    ++readings;
    return mark.load();
  });
  std::vector<ReachabilityStatus> heard;
  auto& monitor = ReachabilityMonitor::sharedMonitor();
  struct Stop {
    int kernel;
    ~Stop() {
      ReachabilityMonitor::sharedMonitor().resetForTesting();
      ::close(kernel);
    }
  } stop{sockets[1]};
  monitor.setLinkWatchForTesting(
      [&](std::function<void()> changed) { return platform::LinkWatch::startOn(sockets[0], std::move(changed)); });
  monitor.addListener([&](ReachabilityStatus s) { heard.push_back(s); });
  monitor.startMonitoring();
  auto tell = [&](int messages) {
    for (int i = 0; i < messages; ++i) ASSERT_EQ(::send(stop.kernel, "l", 1, 0), 1);
    ASSERT_TRUE(clock->waitForWaiters(1, testsupport::scaled(std::chrono::seconds(10)))) << "settling";
  };
  auto settled = [&](const std::function<bool()>& done) {
    clock->advance(platform::seconds(platform::LinkWatch::kSettleSeconds));
    return platform::MainQueue::main().runUntil(done, testsupport::scaled(std::chrono::seconds(10)));
  };

  mark = true;
  tell(3);  // one burst, one reading
  ASSERT_TRUE(settled([&] { return heard.size() == 2; }));
  tell(1);  // read again unchanged: nothing posted
  ASSERT_TRUE(settled([&] { return readings == 3; }));
  mark = false;
  tell(1);
  ASSERT_TRUE(settled([&] { return heard.size() == 3; }));
  EXPECT_EQ(heard, (std::vector<ReachabilityStatus>{ReachabilityStatus::ReachableViaWiFi,
                                                    ReachabilityStatus::ReachableViaWWAN,
                                                    ReachabilityStatus::ReachableViaWiFi}));
  EXPECT_EQ(readings, 4);
  tell(1);  // stopping ends a wait for messages to settle
  monitor.stopMonitoring();
  EXPECT_EQ(readings, 4);
}

TEST_F(NetworkFacts, TheSystemsMeteredMarkIsReadFromItsReply) {
  struct Case {
    const char* reply;
    std::optional<bool> metered;
  } cases[] = {
      {"u 1\n", true},  {"u 3\n", true},  {"u 2\n", false}, {"u 4", false},
      {"u 0\n", std::nullopt}, {"u 7\n", std::nullopt}, {"", std::nullopt},
      {"s \"yes\"\n", std::nullopt}, {"u 12\n", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(MeteredNetwork::parseMeteredReply(c.reply), c.metered) << c.reply;
}

TEST_F(NetworkFacts, DeviceIdentifierIsSharedOutsideTheAppHomeAndRepaired) {
  auto id = platform::DeviceIdentifier::value();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 40u);
  EXPECT_EQ(id->find_first_not_of("0123456789abcdef"), std::string::npos);
  std::filesystem::path file = home_.sharedDirectory() / "OpenUDID";
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_FALSE(file.string().starts_with(home_.root().string()));

  // Another app home (another app of the user) reads the same value.
  {
    testsupport::TestHome otherApp;
    platform::DeviceIdentifier::setSharedDirectory(home_.sharedDirectory());
    EXPECT_EQ(platform::DeviceIdentifier::value(), id);
  }
  platform::DeviceIdentifier::setSharedDirectory(home_.sharedDirectory());
  EXPECT_EQ(platform::DeviceIdentifier::value(), id);

  std::ofstream(file) << "not an identifier\n";
  auto repaired = platform::DeviceIdentifier::value();
  ASSERT_TRUE(repaired);
  EXPECT_NE(repaired, id);
  EXPECT_EQ(platform::DeviceIdentifier::value(), repaired);

  platform::DeviceIdentifier::setSharedDirectory(home_.root() / "file-in-the-way" / "x");
  std::ofstream(home_.root() / "file-in-the-way") << "x";
  EXPECT_EQ(platform::DeviceIdentifier::value(), std::nullopt);
}

}  // namespace
