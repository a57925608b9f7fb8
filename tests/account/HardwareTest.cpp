#include <gtest/gtest.h>

#include <sys/utsname.h>

#include "account/Hardware.h"
#include "platform/device/Device.h"

namespace {

class DeviceNames : public ::testing::Test {
 protected:
  ~DeviceNames() override { platform::Device::configure(saved_); }
  void useIdentifier(const std::string& identifier, std::optional<std::string> model = std::nullopt) {
    platform::DeviceFacts facts;
    facts.modelIdentifier = identifier;
    facts.model = std::move(model);
    platform::Device::configure(facts);
  }
  platform::DeviceFacts saved_ = platform::Device::configured();
};

TEST_F(DeviceNames, KnownIdentifiersGiveTheirNamesExactly) {
  useIdentifier("iPad2,7");
  EXPECT_EQ(lumora::machine(), "iPad2,7");
  EXPECT_EQ(lumora::platformString(), "ipad mini(GSM+CDMA)");
  EXPECT_EQ(lumora::deviceModel(), "ipad mini");

  useIdentifier("iPhone3,2");
  EXPECT_EQ(lumora::platformString(), "iPhone 4(GSM Rev A)");
  EXPECT_EQ(lumora::deviceModel(), "iPhone 4");

  useIdentifier("iPad4,6");
  EXPECT_EQ(lumora::platformString(), "ipad mini 2(GSM+CDMA)");
  EXPECT_EQ(lumora::deviceModel(), "ipad mini 2");

  useIdentifier("x86_64");
  EXPECT_EQ(lumora::platformString(), "iPhone Simulator");
}

TEST_F(DeviceNames, UnknownIdentifierFallsBack) {
  useIdentifier("iPhone8,1");
  EXPECT_EQ(lumora::platformString(), "iPhone8,1");
  EXPECT_EQ(lumora::deviceModel(), "iPhone");

  useIdentifier("ipad2,7", "iPod touch");  // the lookup is case-sensitive
  EXPECT_EQ(lumora::platformString(), "ipad2,7");
  EXPECT_EQ(lumora::deviceModel(), "iPod touch");
}

TEST_F(DeviceNames, KernelParametersAndROMText) {
  struct utsname info {};
  ASSERT_EQ(uname(&info), 0);
  EXPECT_EQ(lumora::getSysInfoByName("kern.ostype"), std::string(info.sysname));
  EXPECT_FALSE(lumora::getSysInfoByName("no.such.parameter"));
  EXPECT_FALSE(lumora::getSysInfoByName(nullptr));
  EXPECT_EQ(lumora::ROM(), std::string(info.sysname) + " " + info.release);
}

}  // namespace
