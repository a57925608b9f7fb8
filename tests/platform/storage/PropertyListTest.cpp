// Stores kept in property lists (preferences, the keychain, keyed archives)
// read only a file of their own: a pipe, or a symbolic link to a user's
// file holding a store of the same kind, at the store's name is taken as an
// unreadable store, never waited on nor read through; a second name of the
// file (a hard link) is read as the store. The user's file stays as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "platform/storage/KeyedArchive.h"
#include "platform/storage/Keychain.h"
#include "platform/storage/PropertyList.h"
#include "platform/storage/UserDefaults.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;
using platform::Keychain;
using testsupport::Planted;

platform::KeychainItem usersKeychainItem() {
  platform::KeychainItem item;
  item.attributes.service = "UUID";
  item.data = platform::toBytes("the user's secret");
  return item;
}

platform::KeychainQuery usersKeychainQuery() {
  platform::KeychainQuery query;
  query.attributes.service = "UUID";
  return query;
}

TEST(PropertyListStores, ReadOnlyAFileOfTheirOwn) {
  testsupport::TestHome home;
  struct Store {
    const char* name;
    fs::path file;
    std::function<void(const fs::path&)> writeUsersOwn;  // a store the user keeps elsewhere
    std::function<bool()> readsAsUnreadable;
  };
  const Store stores[] = {
      {"preferences", platform::UserDefaults::standardFile(),
       [](const fs::path& at) {
         platform::plist::Node root = platform::plist::fromJson({{"key", "the user's"}});
         testsupport::writeFile(at, platform::plist::toBinary(root.get()));
       },
       [] {
         platform::UserDefaults::resetStandardForTesting();
         testing::internal::CaptureStderr();
         auto& defaults = platform::UserDefaults::standard();
         const bool empty = !defaults.hasKey("key");
         testing::internal::GetCapturedStderr();
         return empty && defaults.lastLoadError().has_value();
       }},
      {"keychain", home.root() / "kc" / "keychain.plist",
       [](const fs::path& at) { ASSERT_EQ(Keychain(at, "TEAM.app").add(usersKeychainItem()), Keychain::kSuccess); },
       [&] {
         return Keychain(home.root() / "kc" / "keychain.plist", "TEAM.app").copyMatching(usersKeychainQuery()).status ==
                Keychain::kNotAvailable;
       }},
      {"keyed archive", home.root() / "tmp" / "report.data",
       [](const fs::path& at) {
         platform::KeyedArchive archive;
         archive.encodeString("key", "the user's");
         ASSERT_TRUE(archive.writeToFile(at).ok());
       },
       [&] {
         testing::internal::CaptureStderr();
         const bool failed = !platform::KeyedArchive::readFromFile(home.root() / "tmp" / "report.data").ok();
         testing::internal::GetCapturedStderr();
         return failed;
       }},
  };
  for (const Store& store : stores) {
    const fs::path userFile = home.root() / "Documents" / (std::string(store.name) + ".user");
    fs::create_directories(userFile.parent_path());
    store.writeUsersOwn(userFile);
    const platform::Bytes users = testsupport::readFile(userFile);
    for (Planted kind : {Planted::Pipe, Planted::SymbolicLink, Planted::HardLink}) {
      SCOPED_TRACE(std::string(store.name) + " at " + testsupport::plantedName(kind));
      fs::create_directories(store.file.parent_path());
      fs::remove(store.file);
      ASSERT_TRUE(testsupport::plant(kind, store.file, userFile));
      bool unreadable = false;
      EXPECT_TRUE(testsupport::endsWithoutWaitingOn(store.file, [&] { unreadable = store.readsAsUnreadable(); }));
      EXPECT_EQ(unreadable, kind != Planted::HardLink);
      EXPECT_EQ(testsupport::readFile(userFile), users);
    }
  }
  platform::UserDefaults::resetStandardForTesting();
}

}  // namespace
