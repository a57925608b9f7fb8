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

// A symbolic link in the place of the store's file (to another app's store,
// say) is not read through; a second name of a file there (a hard link, as
// a copy of the home made with hard links leaves) is read as the store's
// file. Either way the store's next write replaces the name rather than
// writing into what it leads to.
TEST(BBXUserDefaultsTest, ALinkInPlaceOfTheFileIsNeitherReadNorWrittenThrough) {
  testsupport::TestHome home;
  const auto directory = BBXUserDefaults::defaultDirectory();
  const std::filesystem::path outside = home.root() / "elsewhere.plist";
  using Path = std::filesystem::path;
  const struct {
    const char* name;
    void (*link)(const Path& target, const Path& place);
    bool read;
  } links[] = {{"symbolic", [](const Path& to, const Path& place) { std::filesystem::create_symlink(to, place); }, false},
               {"hard", [](const Path& to, const Path& place) { std::filesystem::create_hard_link(to, place); }, true}};
  for (const auto& link : links) {
    SCOPED_TRACE(link.name);
    std::filesystem::remove_all(directory);
    {
      BBXUserDefaults elsewhere(home.root() / "elsewhere", nullptr);
      elsewhere.setString("outside-install", "com.blackbox.iuuid");
      elsewhere.synchronize();
      std::filesystem::rename(elsewhere.fileURL(), outside);
    }
    std::ifstream before(outside);
    const std::string kept((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
    std::filesystem::create_directories(directory);
    link.link(outside, directory / "BBXUserDefaults.plist");

    BBXUserDefaults store(directory, nullptr);
    EXPECT_EQ(store.objectForKey("com.blackbox.iuuid").has_value(), link.read);
    store.setString("own-install", "com.blackbox.iuuid");
    store.synchronize();
    std::ifstream after(outside);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), kept);
    EXPECT_EQ(BBXUserDefaults(directory, nullptr).stringForKey("com.blackbox.iuuid"), "own-install");
  }
}

}  // namespace
}  // namespace lumora
