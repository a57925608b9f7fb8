#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "AccountTestSupport.h"
#include "account/KPIdentifierAddition.h"
#include "account/KPKeyChainUtil.h"
#include "account/KPQBEnDecryptUtil.h"
#include "account/KPUDIDKeyChainUtil.h"
#include "platform/device/Bundle.h"
#include "platform/storage/Keychain.h"
#include "platform/device/NetworkInterface.h"
#include "platform/device/VendorIdentifier.h"
#include "utils/LogRecorder.h"

namespace {

using lumora::KPKeyChainUtil;
using lumora::KPUDIDKeyChainUtil;

class KeychainUtil : public accounttest::AccountTest {};

TEST_F(KeychainUtil, StoresUpdatesAndRemovesOneNamedItem) {
  auto util = KPKeyChainUtil::utilForKeyChainItemIdentifier("session");
  EXPECT_EQ(util->getKeyData(), platform::toBytes("session"));
  EXPECT_FALSE(util->getFromKeyChain());

  EXPECT_TRUE(util->setToKeyChain("first"));
  EXPECT_EQ(util->getFromKeyChain(), "first");
  EXPECT_TRUE(util->setToKeyChain("second"));  // existing item: an update
  EXPECT_EQ(util->getFromKeyChain(), "second");
  EXPECT_TRUE(util->updateInKeyChain("third"));
  EXPECT_EQ(util->getFromKeyChain(), "third");

  // Another identifier is another item.
  auto other = KPKeyChainUtil::utilForKeyChainItemIdentifier("other");
  EXPECT_FALSE(other->getFromKeyChain());
  EXPECT_FALSE(other->updateInKeyChain("x"));

  EXPECT_TRUE(util->removeFromKeyChain());
  EXPECT_FALSE(util->getFromKeyChain());
  EXPECT_TRUE(log_->contains("delete UUID from KeyChain success"));
  EXPECT_FALSE(util->removeFromKeyChain());
  EXPECT_TRUE(log_->contains("delete UUID from KeyChain Error: -25300"));
  EXPECT_FALSE(util->updateInKeyChain("again"));

  EXPECT_EQ(KPKeyChainUtil::initWithKeyChainItemIdentifier(nullptr), nullptr);
  EXPECT_EQ(KPKeyChainUtil::initWithKeyChainItemIdentifier("UUID")->keyString(), "UUID");
}

TEST_F(KeychainUtil, MissingItemLogsTheQueryStatusThenNotFoundAsInformation) {
  // The expected answer of a first sign-in: nothing at error level.
  auto sink = std::make_shared<testsupport::LogRecorder>();
  lumora::LMLogUtil::setLogDelegate(sink);
  EXPECT_FALSE(KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierUUID().getFromKeyChain());
  lumora::LMLogUtil::setLogDelegate(log_);
  std::vector<std::pair<std::string, std::uint64_t>> lines;
  for (const auto& record : sink->records) lines.emplace_back(record.message(), record.flag());
  EXPECT_EQ(lines, (std::vector<std::pair<std::string, std::uint64_t>>{
                       {"KeyChain Item query Error: -25300", lumora::kLMLogFlagInfo},
                       {"KeyChain Item: item not found", lumora::kLMLogFlagInfo}}));
}

TEST_F(KeychainUtil, SharedInstancesKeepTheirIdentifiersAndGroups) {
  auto& uuid = KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierUUID();
  auto& ca = KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierCATOKEN();
  EXPECT_EQ(&uuid, &KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierUUID());
  EXPECT_EQ(uuid.keyString(), "UUID");
  EXPECT_FALSE(uuid.keyChainAccessGroup());
  EXPECT_EQ(ca.keyString(), "CATOKEN");
  EXPECT_EQ(ca.keyChainAccessGroup(), "com.quenby.passport.catoken");

  ASSERT_TRUE(ca.setToKeyChain("token"));
  platform::KeychainQuery query;
  query.attributes.service = "CATOKEN";
  auto match = platform::Keychain::shared().copyMatching(query);
  ASSERT_EQ(match.status, platform::Keychain::kSuccess);
  EXPECT_EQ(match.attributes->accessGroup, "com.quenby.passport.catoken");
  EXPECT_EQ(match.attributes->description, "CATOKEN");
  EXPECT_EQ(match.attributes->generic, platform::toBytes("CATOKEN"));
}

TEST_F(KeychainUtil, BadTextIsRefusedAndTheStoredTextSurvives) {
  auto util = KPKeyChainUtil::utilForKeyChainItemIdentifier("item");
  ASSERT_TRUE(util->setToKeyChain("good"));
  EXPECT_FALSE(util->setToKeyChain("\xff\xfe"));
  EXPECT_FALSE(util->updateInKeyChain("bad\xc3"));
  EXPECT_EQ(util->getFromKeyChain(), "good");

  // The text is kept up to its first zero byte.
  EXPECT_TRUE(util->setToKeyChain(std::string("ab\0cd", 5)));
  EXPECT_EQ(util->getFromKeyChain(), "ab");

  // An identifier the keychain cannot hold is a clear failure, not a crash.
  auto broken = KPKeyChainUtil::utilForKeyChainItemIdentifier("bad\xff");
  EXPECT_FALSE(broken->setToKeyChain("x"));
  EXPECT_FALSE(broken->getFromKeyChain());
  EXPECT_FALSE(broken->removeFromKeyChain());
}

TEST_F(KeychainUtil, FailedUpdateIsReportedAndLosesNothing) {
  // An item left with the service in other letters case, next to an item
  // that already uses the service text: renaming the first onto the second
  // would make two items of one identity, so the keychain refuses it.
  auto& keychain = platform::Keychain::shared();
  platform::KeychainItem old;
  old.attributes.description = "token";
  old.attributes.generic = platform::toBytes("token");
  old.attributes.service = "TOKEN";
  old.data = platform::toBytes("old value");
  ASSERT_EQ(keychain.add(old), platform::Keychain::kSuccess);
  platform::KeychainItem neighbour;
  neighbour.attributes.description = "neighbour";
  neighbour.attributes.generic = platform::toBytes("neighbour");
  neighbour.attributes.service = "token";
  neighbour.data = platform::toBytes("neighbour value");
  ASSERT_EQ(keychain.add(neighbour), platform::Keychain::kSuccess);

  auto util = KPKeyChainUtil::utilForKeyChainItemIdentifier("token");
  ASSERT_EQ(util->getFromKeyChain(), "old value");
  EXPECT_FALSE(util->setToKeyChain("new value"));
  EXPECT_TRUE(log_->contains("Update KeyChain Item Error: -25299"));
  EXPECT_EQ(util->getFromKeyChain(), "old value");
}

TEST_F(KeychainUtil, DeviceIdItemFollowsTheProcessWideGroup) {
  EXPECT_FALSE(KPUDIDKeyChainUtil::getUDIDFromKeyChain());
  EXPECT_FALSE(KPUDIDKeyChainUtil::updateUDIDInKeyChain("x"));
  EXPECT_FALSE(KPUDIDKeyChainUtil::removeUDIDFromKeyChain());

  KPUDIDKeyChainUtil::setKeyChainAccessGroup("group.shared");
  ASSERT_TRUE(KPUDIDKeyChainUtil::setUDIDToKeyChain("0123456789ABCDEF"));
  EXPECT_EQ(KPUDIDKeyChainUtil::getUDIDFromKeyChain(), "0123456789ABCDEF");
  platform::KeychainQuery query;
  query.attributes.generic = platform::toBytes("UUID");
  auto match = platform::Keychain::shared().copyMatching(query);
  ASSERT_EQ(match.status, platform::Keychain::kSuccess);
  EXPECT_EQ(match.attributes->accessGroup, "group.shared");
  EXPECT_EQ(match.attributes->account, "");
  EXPECT_EQ(match.attributes->label, "");

  // Another group does not see it; no group searches them all.
  KPUDIDKeyChainUtil::setKeyChainAccessGroup("group.other");
  EXPECT_FALSE(KPUDIDKeyChainUtil::getUDIDFromKeyChain());
  KPUDIDKeyChainUtil::setKeyChainAccessGroup("");
  EXPECT_EQ(KPUDIDKeyChainUtil::getUDIDFromKeyChain(), "0123456789ABCDEF");

  EXPECT_TRUE(KPUDIDKeyChainUtil::setUDIDToKeyChain("FEDCBA9876543210"));
  EXPECT_EQ(KPUDIDKeyChainUtil::getUDIDFromKeyChain(), "FEDCBA9876543210");
  EXPECT_FALSE(KPUDIDKeyChainUtil::setUDIDToKeyChain("\xff"));
  EXPECT_EQ(KPUDIDKeyChainUtil::getUDIDFromKeyChain(), "FEDCBA9876543210");
  EXPECT_TRUE(KPUDIDKeyChainUtil::removeUDIDFromKeyChain());
  EXPECT_FALSE(KPUDIDKeyChainUtil::getUDIDFromKeyChain());
}

class DeviceIdentifiers : public accounttest::AccountTest {
 protected:
  // A fake interface list: lo (loopback), dummy0 (no address), eth1 (the
  // first real one) and ib0 (too long an address).
  void fakeInterfaces() {
    std::filesystem::path root = home_.root() / "net";
    auto make = [&](const std::string& name, const std::string& address, int type) {
      std::filesystem::create_directories(root / name);
      std::ofstream(root / name / "address") << address << "\n";
      std::ofstream(root / name / "type") << type << "\n";
    };
    make("lo", "00:00:00:00:00:00", 772);
    make("dummy0", "00:00:00:00:00:00", 1);
    make("eth1", "0a:1b:2c:3d:4e:5f", 1);
    make("ib0", "80:00:00:48:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0f:63:1d", 32);
    platform::NetworkInterface::setInterfaceDirectoryForTesting(root);
  }
};

TEST_F(DeviceIdentifiers, HardwareAddressOfThePrimaryInterface) {
  fakeInterfaces();
  EXPECT_EQ(platform::NetworkInterface::primaryName(), "eth1");
  EXPECT_EQ(lumora::kpMacaddress(), "0A:1B:2C:3D:4E:5F");
  EXPECT_FALSE(platform::NetworkInterface::macAddressText("ib0"));
  EXPECT_FALSE(platform::NetworkInterface::macAddressText("../eth1"));

  platform::Bundle::setInfoValue("CFBundleIdentifier", "com.quenby.lumora");
  EXPECT_EQ(lumora::kpUniqueDeviceIdentifier(),
            lumora::KPQBEnDecryptUtil::md5String("0A:1B:2C:3D:4E:5Fcom.quenby.lumora"));
  platform::Bundle::reset();

  platform::NetworkInterface::setPrimaryName("wlan7");
  EXPECT_FALSE(lumora::kpMacaddress());
  platform::NetworkInterface::setPrimaryName(std::nullopt);
  platform::NetworkInterface::setInterfaceDirectoryForTesting(home_.root() / "none");
  EXPECT_FALSE(platform::NetworkInterface::primaryName());
  EXPECT_FALSE(lumora::kpMacaddress());
}

TEST_F(DeviceIdentifiers, VendorIdentifierIsMadeOnceAndRepaired) {
  auto id = platform::VendorIdentifier::identifierForVendor();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 36u);
  EXPECT_EQ((*id)[14], '4');  // a random (version 4) UUID
  EXPECT_EQ(platform::VendorIdentifier::identifierForVendor(), id);

  std::ofstream(home_.root() / "Library" / "identifierForVendor") << "garbage\n";
  auto repaired = platform::VendorIdentifier::identifierForVendor();
  ASSERT_TRUE(repaired);
  EXPECT_NE(repaired, id);
  EXPECT_EQ(platform::VendorIdentifier::identifierForVendor(), repaired);
}

TEST_F(DeviceIdentifiers, DeviceIdComesFromTheVendorIdentifierAndIsStored) {
  std::string id = lumora::kpUniqueGlobalDeviceIdentifier();
  auto vendor = platform::VendorIdentifier::identifierForVendor();
  ASSERT_TRUE(vendor);
  EXPECT_EQ(id, lumora::KPQBEnDecryptUtil::md5String(*vendor)->substr(0, 16));
  EXPECT_EQ(KPUDIDKeyChainUtil::getUDIDFromKeyChain(), id);
  EXPECT_EQ(lumora::kpUniqueGlobalDeviceIdentifier(), id);
}

TEST_F(DeviceIdentifiers, StoredDeviceIdWinsAndOutlivesItsItem) {
  ASSERT_TRUE(KPUDIDKeyChainUtil::setUDIDToKeyChain("FROM-THE-KEYCHAIN"));
  EXPECT_EQ(lumora::kpUniqueGlobalDeviceIdentifier(), "FROM-THE-KEYCHAIN");
  EXPECT_FALSE(std::filesystem::exists(home_.root() / "Library" / "identifierForVendor"));
  ASSERT_TRUE(KPUDIDKeyChainUtil::removeUDIDFromKeyChain());
  EXPECT_EQ(lumora::kpUniqueGlobalDeviceIdentifier(), "FROM-THE-KEYCHAIN");
}

TEST_F(DeviceIdentifiers, WithoutVendorIdentifierTheAddressServesAndNothingIsEmpty) {
  // A file where the Library folder belongs: neither the vendor identifier
  // nor the keychain can be kept.
  std::filesystem::remove_all(home_.root() / "Library");
  std::ofstream(home_.root() / "Library") << "not a folder";
  EXPECT_FALSE(platform::VendorIdentifier::identifierForVendor());

  fakeInterfaces();
  EXPECT_EQ(lumora::kpUniqueGlobalDeviceIdentifier(),
            lumora::KPQBEnDecryptUtil::md5String("0A:1B:2C:3D:4E:5F")->substr(0, 16));

  lumora::kpResetUniqueGlobalDeviceIdentifierCacheForTesting();
  platform::NetworkInterface::setInterfaceDirectoryForTesting(home_.root() / "none");
  EXPECT_EQ(lumora::kpUniqueGlobalDeviceIdentifier(), "");
}

}  // namespace
