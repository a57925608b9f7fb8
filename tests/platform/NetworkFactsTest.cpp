#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device/DeviceIdentifier.h"
#include "platform/device/NetworkInterface.h"
#include "platform/device/Reachability.h"
#include "support/TestHome.h"

namespace {

using platform::NetworkInterface;
using platform::NetworkStatus;
using platform::Reachability;

struct FakeInterface {
  std::string name;
  std::string flags;
  std::string operstate;
  int type;
  bool wireless;
};

class NetworkFacts : public ::testing::Test {
 protected:
  ~NetworkFacts() override { NetworkInterface::setInterfaceDirectoryForTesting(std::nullopt); }

  void lay(const std::vector<FakeInterface>& interfaces) {
    std::filesystem::path root = home_.root() / ("net" + std::to_string(++layouts_));
    for (const auto& i : interfaces) {
      std::filesystem::create_directories(root / i.name);
      std::ofstream(root / i.name / "flags") << i.flags << "\n";
      std::ofstream(root / i.name / "operstate") << i.operstate << "\n";
      std::ofstream(root / i.name / "type") << i.type << "\n";
      if (i.wireless) std::filesystem::create_directories(root / i.name / "wireless");
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

TEST_F(NetworkFacts, ReachabilityFollowsTheInterfacesThatAreUp) {
  const FakeInterface loopback{"lo", "0x9", "unknown", 772, false};
  const FakeInterface wired{"eth0", "0x1003", "up", 1, false};
  const FakeInterface wiredNoCarrier{"eth1", "0x1003", "down", 1, false};
  const FakeInterface wiredAdminDown{"eth2", "0x1002", "up", 1, false};
  const FakeInterface tunnel{"tun0", "0x10d1", "unknown", 65534, false};
  const FakeInterface radio{"wlan0", "0x1003", "up", 1, true};
  const FakeInterface radioDown{"wlan1", "0x1002", "down", 1, true};
  struct Case {
    std::vector<FakeInterface> interfaces;
    NetworkStatus internet;
    NetworkStatus wifi;
  } cases[] = {
      {{}, NetworkStatus::NotReachable, NetworkStatus::NotReachable},
      {{loopback}, NetworkStatus::NotReachable, NetworkStatus::NotReachable},
      {{loopback, wiredNoCarrier, wiredAdminDown, radioDown}, NetworkStatus::NotReachable,
       NetworkStatus::NotReachable},
      {{loopback, wired}, NetworkStatus::ReachableViaWWAN, NetworkStatus::NotReachable},
      {{tunnel}, NetworkStatus::ReachableViaWWAN, NetworkStatus::NotReachable},
      {{wired, radio}, NetworkStatus::ReachableViaWiFi, NetworkStatus::ReachableViaWiFi},
      {{radioDown, wired}, NetworkStatus::ReachableViaWWAN, NetworkStatus::NotReachable},
  };
  for (const Case& c : cases) {
    lay(c.interfaces);
    EXPECT_EQ(internet(), c.internet) << c.interfaces.size() << " interfaces";
    EXPECT_EQ(wifi(), c.wifi) << c.interfaces.size() << " interfaces";
  }

  // A test fixes the status; the interfaces count again once it lets go.
  Reachability::setStatusForTesting(NetworkStatus::NotReachable);
  EXPECT_EQ(internet(), NetworkStatus::NotReachable);
  Reachability::setStatusForTesting(NetworkStatus::ReachableViaWiFi);
  EXPECT_EQ(wifi(), NetworkStatus::ReachableViaWiFi);
  Reachability::setStatusForTesting(std::nullopt);
  EXPECT_EQ(internet(), NetworkStatus::ReachableViaWWAN);
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
