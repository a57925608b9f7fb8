#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "harbor/BBXUserDefaults.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

TEST(BBXUserDefaultsTest, KeepsOnlySynchronisedValuesAndMigratesFromSystemDefaults) {
  testsupport::TestHome home;
  auto directory = BBXUserDefaults::defaultDirectory();
  platform::UserDefaults system(home.root() / "system.plist");

  // A directory where the file belongs is removed and the store starts empty.
  std::filesystem::create_directories(directory / "BBXUserDefaults.plist" / "inner");
  {
    BBXUserDefaults store(directory, &system);
    EXPECT_TRUE(store.dictionaryRepresentation().empty());
    EXPECT_FALSE(std::filesystem::exists(store.fileURL()));
    store.setString("a", "kept");
    store.setObject(BBXUserDefaults::Value(std::string("yes")), "text");
    EXPECT_FALSE(store.boolForKey("text"));
    store.setObject(std::nullopt, "text");
    EXPECT_FALSE(store.objectForKey("text"));
    store.synchronize();
    store.setBool(true, "unsynchronised");
    EXPECT_TRUE(store.boolForKey("unsynchronised"));
  }
  {
    // The value set after the last synchronize is gone with the process.
    BBXUserDefaults store(directory, &system);
    EXPECT_EQ(store.stringForKey("kept"), "a");
    EXPECT_FALSE(store.objectForKey("unsynchronised"));

    ASSERT_TRUE(system.setString("com.blackbox.iuuid", "U-1"));
    auto migrated = store.objectForKeyByMigratingFromNSUserDefaults("com.blackbox.iuuid");
    ASSERT_TRUE(migrated);
    EXPECT_EQ(std::get<std::string>(*migrated), "U-1");
    EXPECT_FALSE(system.objectForKey("com.blackbox.iuuid"));
    EXPECT_FALSE(store.objectForKeyByMigratingFromNSUserDefaults(std::nullopt));
  }
  BBXUserDefaults reread(directory, &system);
  EXPECT_EQ(reread.stringForKey("com.blackbox.iuuid"), "U-1");
  std::ifstream file(reread.fileURL());
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("<plist"), std::string::npos);  // kept as XML

  // An unreadable file leaves the store empty; the next synchronize mends it.
  std::ofstream(reread.fileURL()) << "not a plist";
  BBXUserDefaults broken(directory, &system);
  EXPECT_TRUE(broken.dictionaryRepresentation().empty());
}

}  // namespace
}  // namespace lumora
