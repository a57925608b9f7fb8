#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/device/Bundle.h"
#include "platform/storage/Keychain.h"
#include "platform/storage/PropertyList.h"
#include "support/TestHome.h"

namespace {

using platform::Bytes;
using platform::Keychain;
using platform::KeychainAttributes;
using platform::KeychainItem;
using platform::KeychainQuery;
using platform::toBytes;

namespace fs = std::filesystem;

// An item shaped as the account layer keeps a named text: description,
// generic and service all carry the identifier.
KeychainItem namedItem(const std::string& id, const std::string& text,
                       std::optional<std::string> group = std::nullopt) {
  KeychainItem item;
  item.attributes.description = id;
  item.attributes.generic = toBytes(id);
  item.attributes.service = id;
  item.attributes.accessGroup = std::move(group);
  item.data = toBytes(text);
  return item;
}

KeychainQuery byService(const std::string& service, std::optional<std::string> group = std::nullopt) {
  KeychainQuery query;
  query.attributes.service = service;
  query.attributes.accessGroup = std::move(group);
  return query;
}

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class KeychainTest : public ::testing::Test {
 protected:
  testsupport::TestHome home_;
  fs::path file_ = home_.root() / "kc" / "keychain.plist";
  Keychain keychain_{file_, "TEAM.app"};
};

TEST_F(KeychainTest, AddFindUpdateAndRemoveReportThePlatformStatuses) {
  EXPECT_EQ(keychain_.copyMatching(byService("CATOKEN")).status, Keychain::kItemNotFound);
  EXPECT_EQ(keychain_.add(namedItem("CATOKEN", "tok,sec")), Keychain::kSuccess);

  auto found = keychain_.copyMatching(byService("CATOKEN"));
  ASSERT_EQ(found.status, Keychain::kSuccess);
  EXPECT_EQ(found.data, toBytes("tok,sec"));
  ASSERT_TRUE(found.attributes.has_value());
  EXPECT_EQ(found.attributes->description, "CATOKEN");
  EXPECT_EQ(found.attributes->account, "");  // identity attributes are always filled in
  EXPECT_EQ(found.attributes->accessGroup, "TEAM.app");
  EXPECT_FALSE(found.attributes->label.has_value());

  KeychainItem changes;
  changes.data = toBytes("new,key");
  EXPECT_EQ(keychain_.update(byService("CATOKEN"), changes), Keychain::kSuccess);
  EXPECT_EQ(keychain_.copyMatching(byService("CATOKEN")).data, toBytes("new,key"));

  EXPECT_EQ(keychain_.remove(byService("CATOKEN")), Keychain::kSuccess);
  EXPECT_EQ(keychain_.copyMatching(byService("CATOKEN")).status, Keychain::kItemNotFound);
  EXPECT_EQ(keychain_.update(byService("CATOKEN"), changes), Keychain::kItemNotFound);
  EXPECT_EQ(keychain_.remove(byService("CATOKEN")), Keychain::kItemNotFound);

  // Another instance on the same file sees what this one wrote.
  ASSERT_EQ(keychain_.add(namedItem("UUID", "ABC")), Keychain::kSuccess);
  Keychain other(file_, "TEAM.app");
  EXPECT_EQ(other.copyMatching(byService("UUID")).data, toBytes("ABC"));
}

TEST_F(KeychainTest, DuplicatesAreJudgedByAccountServiceAndGroup) {
  ASSERT_EQ(keychain_.add(namedItem("CATOKEN", "a")), Keychain::kSuccess);
  EXPECT_EQ(keychain_.add(namedItem("CATOKEN", "b")), Keychain::kDuplicateItem);
  EXPECT_EQ(keychain_.add(namedItem("CATOKEN", "b", "TEAM.app")), Keychain::kDuplicateItem);  // the default group
  EXPECT_EQ(keychain_.add(namedItem("CATOKEN", "c", "com.quenby.passport.catoken")), Keychain::kSuccess);
  KeychainItem otherAccount = namedItem("CATOKEN", "d");
  otherAccount.attributes.account = "someone";
  EXPECT_EQ(keychain_.add(otherAccount), Keychain::kSuccess);
  // The rejected add left the first value alone.
  EXPECT_EQ(keychain_.copyMatching(byService("CATOKEN", "TEAM.app")).data, toBytes("a"));
}

TEST_F(KeychainTest, AccessGroupsKeepItemsApart) {
  ASSERT_EQ(keychain_.add(namedItem("UUID", "in-default")), Keychain::kSuccess);
  ASSERT_EQ(keychain_.add(namedItem("UUID", "in-shared", "TEAM.shared")), Keychain::kSuccess);

  EXPECT_EQ(keychain_.copyMatching(byService("UUID", "TEAM.shared")).data, toBytes("in-shared"));
  EXPECT_EQ(keychain_.copyMatching(byService("UUID", "TEAM.app")).data, toBytes("in-default"));
  EXPECT_EQ(keychain_.copyMatching(byService("UUID")).data, toBytes("in-default"));  // first added
  EXPECT_EQ(keychain_.copyMatching(byService("UUID", "TEAM.other")).status, Keychain::kItemNotFound);

  EXPECT_EQ(keychain_.remove(byService("UUID", "TEAM.app")), Keychain::kSuccess);
  EXPECT_EQ(keychain_.copyMatching(byService("UUID")).data, toBytes("in-shared"));

  // Without a group, an update and a delete reach every group.
  ASSERT_EQ(keychain_.add(namedItem("UUID", "again")), Keychain::kSuccess);
  KeychainItem changes;
  changes.attributes.label = "seen";
  EXPECT_EQ(keychain_.update(byService("UUID"), changes), Keychain::kSuccess);
  EXPECT_EQ(keychain_.copyMatching(byService("UUID", "TEAM.shared")).attributes->label, "seen");
  EXPECT_EQ(keychain_.copyMatching(byService("UUID", "TEAM.app")).attributes->label, "seen");
  EXPECT_EQ(keychain_.remove(byService("UUID")), Keychain::kSuccess);
  EXPECT_EQ(keychain_.copyMatching(byService("UUID")).status, Keychain::kItemNotFound);
}

// The device identifier item has no service; a named item "UUID" has one. A
// lookup, then an update whose search is the attributes the lookup returned,
// must change only the item that was found.
TEST_F(KeychainTest, UpdateThroughReturnedAttributesTouchesOnlyThatItem) {
  KeychainItem udid;
  udid.attributes.description = "UUID";
  udid.attributes.generic = toBytes("UUID");
  udid.attributes.account = "";
  udid.attributes.label = "";
  udid.attributes.accessGroup = "TEAM.com.quenby.device.identifier";
  udid.data = toBytes("0123456789ABCDEF");
  ASSERT_EQ(keychain_.add(udid), Keychain::kSuccess);
  ASSERT_EQ(keychain_.add(namedItem("UUID", "named")), Keychain::kSuccess);

  KeychainQuery lookup;
  lookup.attributes.generic = toBytes("UUID");
  lookup.attributes.service = "";
  lookup.caseInsensitive = true;
  auto found = keychain_.copyMatching(lookup);
  ASSERT_EQ(found.status, Keychain::kSuccess);
  EXPECT_EQ(found.data, toBytes("0123456789ABCDEF"));

  KeychainItem changes;
  changes.attributes.description = "UUID";
  changes.attributes.generic = toBytes("UUID");
  changes.data = toBytes("FEDCBA9876543210");
  EXPECT_EQ(keychain_.update(KeychainQuery{*found.attributes}, changes), Keychain::kSuccess);
  EXPECT_EQ(keychain_.copyMatching(lookup).data, toBytes("FEDCBA9876543210"));
  EXPECT_EQ(keychain_.copyMatching(byService("UUID")).data, toBytes("named"));
}

TEST_F(KeychainTest, CaseInsensitiveMatchingIsOnlyOnRequest) {
  ASSERT_EQ(keychain_.add(namedItem("CATOKEN", "t")), Keychain::kSuccess);
  KeychainQuery query = byService("catoken");
  query.attributes.description = "CaToken";
  EXPECT_EQ(keychain_.copyMatching(query).status, Keychain::kItemNotFound);
  query.caseInsensitive = true;
  EXPECT_EQ(keychain_.copyMatching(query).status, Keychain::kSuccess);
  query.attributes.generic = toBytes("catoken");  // data is always compared exactly
  EXPECT_EQ(keychain_.copyMatching(query).status, Keychain::kItemNotFound);
}

TEST_F(KeychainTest, UpdatesAreAllOrNothingAndRefuseCollisions) {
  ASSERT_EQ(keychain_.add(namedItem("A", "a")), Keychain::kSuccess);
  ASSERT_EQ(keychain_.add(namedItem("B", "b")), Keychain::kSuccess);
  KeychainItem rename;
  rename.attributes.service = "B";
  rename.data = toBytes("changed");
  EXPECT_EQ(keychain_.update(byService("A"), rename), Keychain::kDuplicateItem);
  EXPECT_EQ(keychain_.copyMatching(byService("A")).data, toBytes("a"));
  EXPECT_EQ(keychain_.copyMatching(byService("B")).data, toBytes("b"));

  KeychainItem noData = namedItem("C", "");
  noData.data.reset();
  ASSERT_EQ(keychain_.add(noData), Keychain::kSuccess);
  auto found = keychain_.copyMatching(byService("C"));
  EXPECT_EQ(found.status, Keychain::kSuccess);
  EXPECT_FALSE(found.data.has_value());
}

TEST_F(KeychainTest, BadParametersAreRefused) {
  EXPECT_EQ(keychain_.add(namedItem("X", "x", "")), Keychain::kBadParameter);
  EXPECT_EQ(keychain_.copyMatching(byService("X", "")).status, Keychain::kBadParameter);
  EXPECT_EQ(keychain_.add(namedItem("\xC3", "x")), Keychain::kBadParameter);
  ASSERT_EQ(keychain_.add(namedItem("X", "x")), Keychain::kSuccess);
  EXPECT_EQ(keychain_.update(byService("X"), KeychainItem{}), Keychain::kBadParameter);
  EXPECT_EQ(keychain_.remove(byService(std::string("X\0Y", 3))), Keychain::kBadParameter);
  EXPECT_EQ(keychain_.copyMatching(byService("X")).data, toBytes("x"));
}

TEST_F(KeychainTest, UnreadableFileAnswersNotAvailableAndIsNeverOverwritten) {
  for (const std::string& bad : {std::string("garbage, not a plist"), std::string()}) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_, std::ios::binary | std::ios::trunc) << bad;
    EXPECT_EQ(keychain_.copyMatching(byService("UUID")).status, Keychain::kNotAvailable);
    EXPECT_EQ(keychain_.add(namedItem("UUID", "x")), Keychain::kNotAvailable);
    EXPECT_EQ(keychain_.update(byService("UUID"), namedItem("UUID", "y")), Keychain::kNotAvailable);
    EXPECT_EQ(keychain_.remove(byService("UUID")), Keychain::kNotAvailable);
    EXPECT_EQ(readText(file_), bad);
  }
  // Well-formed plists that are not a keychain of this format are no better.
  for (const platform::Json& foreign :
       {platform::Json{{"version", 2}, {"items", platform::Json::array()}},
        platform::Json{{"version", 1}, {"items", {{{"service", "UUID"}, {"account", 7}}}}},
        platform::Json{{"version", 1}}}) {
    platform::plist::Node root = platform::plist::fromJson(foreign);
    Bytes bytes = platform::plist::toBinary(root.get());
    std::ofstream(file_, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                   static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(keychain_.copyMatching(byService("UUID")).status, Keychain::kNotAvailable) << foreign;
    EXPECT_EQ(keychain_.add(namedItem("Z", "z")), Keychain::kNotAvailable);
    EXPECT_EQ(readText(file_), platform::toString(bytes));
  }
}

TEST(SharedKeychain, LivesUnderTheAppHomeWithOwnerOnlyAccess) {
  testsupport::TestHome home;
  platform::Bundle::setInfoValue("CFBundleIdentifier", "com.example.app");
  Keychain& keychain = Keychain::shared();
  EXPECT_EQ(Keychain::sharedFile(), home.root() / "Library" / "Keychains" / "keychain.plist");
  ASSERT_EQ(keychain.add(namedItem("UUID", "id")), Keychain::kSuccess);
  EXPECT_EQ(keychain.copyMatching(byService("UUID")).attributes->accessGroup, "com.example.app");
  fs::path file = Keychain::sharedFile();
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
  // A fresh app home has an empty keychain.
  {
    testsupport::TestHome other;
    EXPECT_EQ(keychain.copyMatching(byService("UUID")).status, Keychain::kItemNotFound);
  }
  EXPECT_EQ(keychain.copyMatching(byService("UUID")).data, toBytes("id"));
  platform::Bundle::reset();
}

}  // namespace
