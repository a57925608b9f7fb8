#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device/DeviceIdentifier.h"
#include "platform/device/MeteredNetwork.h"
#include "platform/device/NetworkInterface.h"
#include "platform/device/Reachability.h"
#include "support/TestHome.h"

namespace {

using platform::MeteredNetwork;
using platform::NetworkInterface;
using platform::NetworkStatus;
using platform::Reachability;

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
  Reachability::setStatusForTesting(NetworkStatus::NotReachable);
  EXPECT_EQ(internet(), NetworkStatus::NotReachable);
  Reachability::setStatusForTesting(NetworkStatus::ReachableViaWWAN);
  EXPECT_EQ(wifi(), NetworkStatus::NotReachable);
  Reachability::setStatusForTesting(std::nullopt);
  EXPECT_EQ(internet(), NetworkStatus::ReachableViaWiFi);
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
