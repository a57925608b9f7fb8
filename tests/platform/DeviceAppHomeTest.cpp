#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <filesystem>

#include "platform/AppHome.h"
#include "platform/Device.h"
#include "support/TestHome.h"

namespace {

using platform::Device;
using platform::DeviceFacts;

class DeviceTest : public ::testing::Test {
 protected:
  ~DeviceTest() override { Device::configure(saved_); }
  DeviceFacts saved_ = Device::configured();
};

TEST_F(DeviceTest, ConfiguredFactsWinAndUnsetOnesFallBack) {
  struct utsname info {};
  ASSERT_EQ(uname(&info), 0);

  Device::configure(DeviceFacts{});
  EXPECT_EQ(Device::sysInfo("hw.machine"), std::string(info.machine));
  EXPECT_EQ(Device::sysInfo("kern.ostype"), std::string(info.sysname));
  EXPECT_EQ(Device::sysInfo("kern.osrelease"), std::string(info.release));
  EXPECT_EQ(Device::sysInfo("hw.nosuchparameter"), std::nullopt);
  EXPECT_EQ(Device::model(), "iPhone");
  EXPECT_EQ(Device::systemName(), "iPhone OS");
  EXPECT_EQ(Device::systemVersion(), "9.3");
  EXPECT_EQ(Device::name(), std::string(info.nodename));

  DeviceFacts facts;
  facts.modelIdentifier = "iPhone7,2";
  facts.model = "iPad";
  facts.systemName = "Phone OS";
  facts.systemVersion = "8.1";
  facts.name = "Test phone";
  Device::configure(facts);
  EXPECT_EQ(Device::sysInfo("hw.machine"), "iPhone7,2");
  EXPECT_EQ(Device::sysInfo("kern.ostype"), std::string(info.sysname));  // not configurable
  EXPECT_EQ(Device::model(), "iPad");
  EXPECT_EQ(Device::systemName(), "Phone OS");
  EXPECT_EQ(Device::systemVersion(), "8.1");
  EXPECT_EQ(Device::name(), "Test phone");
}

TEST(AppHome, FoldersLieUnderTheRootAndAreCreatedOnUse) {
  testsupport::TestHome home;
  namespace fs = std::filesystem;
  EXPECT_EQ(platform::AppHome::root(), home.root());
  EXPECT_FALSE(fs::exists(home.root() / "Library"));
  EXPECT_EQ(platform::AppHome::documents(), home.root() / "Documents");
  EXPECT_EQ(platform::AppHome::caches(), home.root() / "Library" / "Caches");
  EXPECT_EQ(platform::AppHome::preferences(), home.root() / "Library" / "Preferences");
  EXPECT_EQ(platform::AppHome::tmp(), home.root() / "tmp");
  for (const char* folder : {"Documents", "Library/Caches", "Library/Preferences", "tmp"}) {
    EXPECT_TRUE(fs::is_directory(home.root() / folder)) << folder;
  }
}

}  // namespace
