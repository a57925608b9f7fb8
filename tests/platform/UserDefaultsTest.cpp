#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/storage/AppHome.h"
#include "platform/device/Bundle.h"
#include "platform/storage/PropertyList.h"
#include "platform/storage/UserDefaults.h"
#include "platform/CraftedPlists.h"
#include "support/TestHome.h"

namespace {

using platform::Bytes;
using platform::Json;
using platform::UserDefaults;
using std::chrono::milliseconds;

namespace fs = std::filesystem;

Bytes readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// The keys of the dictionary stored in a plist file.
std::vector<std::string> keysInFile(const fs::path& file) {
  platform::plist::Node root = platform::plist::parse(readBytes(file));
  if (!root) return {};
  Json json = platform::plist::toJson(root.get());
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items()) keys.push_back(key);
  return keys;
}

platform::Clock::TimePoint at(std::int64_t msSince1970) {
  return platform::Clock::TimePoint(milliseconds(msSince1970));
}

class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { UserDefaults::resetStandardForTesting(); }
  void TearDown() override {
    UserDefaults::resetStandardForTesting();
    platform::Bundle::reset();
  }
  testsupport::TestHome home_;
};

TEST_F(UserDefaultsTest, EveryTypeRoundTripsThroughTheFile) {
  Json array = Json::array({"one", 2, 3.5, true, Json::binary({0, 1, 255}), Json::array()});
  Json dict = {{"user", {{"42", "token"}, {"43", -7}}}, {"empty", Json::object()}};
  const Bytes data = {0, 'a', 0, 0xFF};
  {
    UserDefaults& d = UserDefaults::standard();
    EXPECT_TRUE(d.setString("s", "h\xC3\xA9llo \xF0\x9F\x98\x80"));
    EXPECT_TRUE(d.setInteger("min", INT64_MIN));
    EXPECT_TRUE(d.setInteger("max", INT64_MAX));
    EXPECT_TRUE(d.setDouble("pi", 3.14159));
    EXPECT_TRUE(d.setBool("flag", true));
    EXPECT_TRUE(d.setDate("now", at(1600000000123)));
    EXPECT_TRUE(d.setDate("old", at(-86400000 * 365LL - 250)));  // before 1970 and 2001
    EXPECT_TRUE(d.setData("bytes", data));
    EXPECT_TRUE(d.setArray("list", array));
    EXPECT_TRUE(d.setDictionary("map", dict));
    EXPECT_TRUE(d.setObject("unsigned", Json(7u)));  // a JSON scalar becomes the typed value
  }
  fs::path file = platform::AppHome::preferences() / "com.quenby.lumora.plist";
  EXPECT_EQ(UserDefaults::standard().file(), file);
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  UserDefaults::resetStandardForTesting();  // forget memory: read back from disk
  UserDefaults& d = UserDefaults::standard();
  EXPECT_FALSE(d.lastLoadError().has_value());
  EXPECT_EQ(d.stringForKey("s"), "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(d.integerForKey("min"), INT64_MIN);
  EXPECT_EQ(d.integerForKey("max"), INT64_MAX);
  EXPECT_DOUBLE_EQ(d.doubleForKey("pi"), 3.14159);
  EXPECT_TRUE(d.boolForKey("flag"));
  EXPECT_EQ(d.dateForKey("now"), at(1600000000123));
  EXPECT_EQ(d.dateForKey("old"), at(-86400000 * 365LL - 250));
  EXPECT_EQ(d.dataForKey("bytes"), data);
  EXPECT_EQ(d.arrayForKey("list"), array);
  EXPECT_EQ(d.dictionaryForKey("map"), dict);
  EXPECT_EQ(d.objectForKey("unsigned"), UserDefaults::Value(std::int64_t{7}));
  EXPECT_EQ(d.dictionaryRepresentation().size(), 12u);  // 11 stored + AppleLanguages
}

TEST_F(UserDefaultsTest, DatesKeepMillisecondsAndRefuseWhatThePlistCannotHold) {
  UserDefaults& d = UserDefaults::standard();
  auto precise = at(1600000000123) + std::chrono::microseconds(987);
  EXPECT_TRUE(d.setDate("d", precise));
  EXPECT_EQ(d.dateForKey("d"), at(1600000000123));  // same before and after a reload
  EXPECT_FALSE(d.setDate("far", at(4102444800000)));  // 2100
  EXPECT_FALSE(d.setDate("early", at(-1262304000000)));  // 1930
  EXPECT_FALSE(d.hasKey("far"));
  EXPECT_FALSE(d.hasKey("early"));
}

TEST_F(UserDefaultsTest, TypedReadsFollowThePlatformOnMissingAndOtherTypes) {
  UserDefaults& d = UserDefaults::standard();
  EXPECT_EQ(d.stringForKey("none"), std::nullopt);
  EXPECT_EQ(d.integerForKey("none"), 0);
  EXPECT_EQ(d.doubleForKey("none"), 0.0);
  EXPECT_FALSE(d.boolForKey("none"));
  EXPECT_FALSE(d.dateForKey("none").has_value());
  EXPECT_FALSE(d.objectForKey("none").has_value());

  ASSERT_TRUE(d.setInteger("n", 12));
  ASSERT_TRUE(d.setDouble("r", -2.9));
  ASSERT_TRUE(d.setString("yes", "  +0Yes"));
  ASSERT_TRUE(d.setString("no", "no"));
  ASSERT_TRUE(d.setString("num", "42abc"));
  ASSERT_TRUE(d.setDouble("huge", 1e30));
  ASSERT_TRUE(d.setArray("list", Json::array({1})));
  EXPECT_EQ(d.stringForKey("n"), std::nullopt);
  EXPECT_EQ(d.integerForKey("r"), -2);
  EXPECT_EQ(d.integerForKey("huge"), INT64_MAX);
  EXPECT_EQ(d.integerForKey("num"), 42);
  EXPECT_EQ(d.doubleForKey("n"), 12.0);
  EXPECT_TRUE(d.boolForKey("yes"));
  EXPECT_FALSE(d.boolForKey("no"));
  EXPECT_TRUE(d.boolForKey("n"));
  EXPECT_EQ(d.dictionaryForKey("list"), std::nullopt);
  EXPECT_EQ(d.dataForKey("n"), std::nullopt);
  EXPECT_EQ(d.integerForKey("list"), 0);
}

TEST_F(UserDefaultsTest, UnstorableValuesAreRefusedAndChangeNothing) {
  UserDefaults& d = UserDefaults::standard();
  ASSERT_TRUE(d.setString("k", "kept"));
  EXPECT_FALSE(d.setString("k", "\xC0\xAF"));
  EXPECT_FALSE(d.setString("k", std::string("a\0b", 3)));
  EXPECT_FALSE(d.setString(std::string("k\0x", 3), "v"));
  EXPECT_FALSE(d.setArray("k", Json::array({1, nullptr})));
  EXPECT_FALSE(d.setArray("k", Json::object()));
  EXPECT_FALSE(d.setDictionary("k", Json::array()));
  EXPECT_FALSE(d.setDictionary("k", {{"big", UINT64_MAX}}));
  EXPECT_FALSE(d.setObject("k", Json(nullptr)));
  EXPECT_EQ(d.stringForKey("k"), "kept");
  UserDefaults::resetStandardForTesting();
  EXPECT_EQ(UserDefaults::standard().stringForKey("k"), "kept");
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAnswerReadsButAreNeverSaved) {
  UserDefaults& d = UserDefaults::standard();
  EXPECT_EQ(d.arrayForKey("AppleLanguages"), Json::array({"en"}));
  d.registerDefaults({{"auto", true}, {"interval", std::int64_t{3600}}});
  EXPECT_TRUE(d.boolForKey("auto"));
  EXPECT_TRUE(d.hasKey("interval"));

  ASSERT_TRUE(d.setBool("auto", false));
  EXPECT_FALSE(d.boolForKey("auto"));
  ASSERT_TRUE(d.setString("other", "x"));
  EXPECT_EQ(keysInFile(d.file()), (std::vector<std::string>{"auto", "other"}));

  d.removeObjectForKey("auto");
  EXPECT_TRUE(d.boolForKey("auto"));  // the registered value shows through again
  EXPECT_EQ(keysInFile(d.file()), std::vector<std::string>{"other"});

  UserDefaults::resetStandardForTesting();
  EXPECT_FALSE(UserDefaults::standard().hasKey("interval"));
  EXPECT_EQ(UserDefaults::standard().arrayForKey("AppleLanguages"), Json::array({"en"}));
}

TEST_F(UserDefaultsTest, StandardStoreFollowsTheAppHomeAndBundle) {
  ASSERT_TRUE(UserDefaults::standard().setString("where", "first"));
  {
    testsupport::TestHome second;
    EXPECT_FALSE(UserDefaults::standard().hasKey("where"));
    ASSERT_TRUE(UserDefaults::standard().setString("where", "second"));
  }
  EXPECT_EQ(UserDefaults::standard().stringForKey("where"), "first");

  platform::Bundle::setInfoValue("CFBundleIdentifier", "../escape");
  EXPECT_EQ(UserDefaults::standard().file(), platform::AppHome::preferences() / "UserDefaults.plist");
  EXPECT_FALSE(UserDefaults::standard().hasKey("where"));
}

TEST_F(UserDefaultsTest, OwnSuiteFileIsSharedThroughTheDisk) {
  fs::path file = home_.root() / "suites" / "deep" / "suite.plist";
  {
    UserDefaults suite(file);
    EXPECT_FALSE(fs::exists(file));  // nothing written before the first change
    ASSERT_TRUE(suite.setInteger("count", 5));
  }
  UserDefaults again(file);
  EXPECT_EQ(again.integerForKey("count"), 5);
  EXPECT_FALSE(UserDefaults::standard().hasKey("count"));
}

TEST_F(UserDefaultsTest, BatchWritesItsThreadsChangesOnceWhenItCloses) {
  fs::path file = home_.root() / "batch.plist";
  UserDefaults suite(file);
  ASSERT_TRUE(suite.setString("before", "x"));
  {
    UserDefaults::Batch outer(suite);
    {
      UserDefaults::Batch inner(suite);
      suite.setString("token", "t1");
      suite.setInteger("nonce", 7);
      EXPECT_TRUE(suite.synchronize());
    }
    suite.removeObjectForKey("before");
    EXPECT_EQ(suite.stringForKey("token"), "t1");  // reads see the changes at once
    EXPECT_EQ(keysInFile(file), std::vector<std::string>{"before"});
    // Another thread's change writes through, the batch's changes with it, and
    // a batch it opens meanwhile gathers nothing.
    std::thread([&suite, &file] {
      UserDefaults::Batch other(suite);
      suite.setBool("other", true);
      EXPECT_EQ(keysInFile(file), (std::vector<std::string>{"nonce", "other", "token"}));
    }).join();
    suite.setInteger("nonce", 8);
  }
  UserDefaults reread(file);
  EXPECT_EQ(reread.integerForKey("nonce"), 8);
  EXPECT_EQ(reread.stringForKey("token"), "t1");
  EXPECT_FALSE(reread.hasKey("before"));
}

TEST_F(UserDefaultsTest, FileIsAlwaysAWholePlistWhileThreadsWrite) {
  UserDefaults& d = UserDefaults::standard();
  ASSERT_TRUE(d.setString("seed", std::string(4096, 'x')));
  fs::path file = d.file();
  std::atomic<bool> done{false};
  std::atomic<int> badReads{0};
  std::thread reader([&] {
    while (!done) {
      platform::plist::Node root = platform::plist::parse(readBytes(file));
      if (!root || plist_get_node_type(root.get()) != PLIST_DICT) ++badReads;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&d, t] {
      for (int i = 0; i < 50; ++i) {
        d.setInteger("w" + std::to_string(t), i);
        d.setString("text", std::string(static_cast<std::size_t>(100 * i), static_cast<char>('a' + t)));
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(badReads, 0);
  UserDefaults::resetStandardForTesting();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(UserDefaults::standard().integerForKey("w" + std::to_string(t)), 49);
  // No temporary file is left behind.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(file.parent_path())) ++files;
  EXPECT_EQ(files, 1u);
}

TEST_F(UserDefaultsTest, CorruptFileIsSetAsideAndTheStoreStartsEmpty) {
  fs::path file = UserDefaults::standardFile();
  writeBytes(file, "not a property list");
  UserDefaults& d = UserDefaults::standard();
  EXPECT_FALSE(d.hasKey("anything"));
  auto error = d.lastLoadError();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(error->code(), 3840);
  fs::path aside = file;
  aside += ".corrupt";
  EXPECT_EQ(error->userInfo().value("movedTo", ""), aside.string());
  EXPECT_EQ(platform::toString(readBytes(aside)), "not a property list");

  ASSERT_TRUE(d.setString("fresh", "value"));
  EXPECT_EQ(keysInFile(file), std::vector<std::string>{"fresh"});

  // A second bad file does not replace the first one kept aside; a plist
  // whose root is not a dictionary counts as bad too.
  platform::plist::Node array(plist_new_array());
  Bytes arrayBytes = platform::plist::toBinary(array.get());
  writeBytes(file, platform::toString(arrayBytes));
  UserDefaults::resetStandardForTesting();
  EXPECT_FALSE(UserDefaults::standard().hasKey("fresh"));
  EXPECT_TRUE(UserDefaults::standard().lastLoadError().has_value());
  fs::path second = file;
  second += ".corrupt.1";
  EXPECT_EQ(readBytes(second), arrayBytes);
  EXPECT_EQ(platform::toString(readBytes(aside)), "not a property list");
}

// Files libplist would abort on (an assertion, a recursion without end) are
// refused before it sees them: set aside, reported, and the app starts with
// empty preferences instead of crashing on every start.
TEST_F(UserDefaultsTest, FilesTheLibraryCannotReadAreSetAsideNotCrashedOn) {
  fs::path file = UserDefaults::standardFile();
  for (const auto& [what, bytes] : testsupport::unreadablePlists()) {
    SCOPED_TRACE(what);
    writeBytes(file, platform::toString(bytes));
    UserDefaults::resetStandardForTesting();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(UserDefaults::standard().hasKey("key"));
    const std::string logged = testing::internal::GetCapturedStderr();
    auto error = UserDefaults::standard().lastLoadError();
    ASSERT_TRUE(error.has_value());
    const fs::path aside = error->userInfo().value("movedTo", "");
    EXPECT_EQ(readBytes(aside), bytes);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_NE(logged.find(aside.string()), std::string::npos) << logged;
  }
  ASSERT_TRUE(UserDefaults::standard().setString("fresh", "value"));
  EXPECT_EQ(keysInFile(file), std::vector<std::string>{"fresh"});
}

TEST_F(UserDefaultsTest, FailedWriteKeepsTheValueAndIsReported) {
  fs::path blocker = home_.root() / "blocker";
  writeBytes(blocker, "a file where a folder should be");
  UserDefaults suite(blocker / "suite.plist");
  EXPECT_TRUE(suite.setString("k", "v"));
  EXPECT_EQ(suite.stringForKey("k"), "v");
  ASSERT_TRUE(suite.lastSaveError().has_value());
  EXPECT_EQ(suite.lastSaveError()->domain(), "NSCocoaErrorDomain");
  EXPECT_FALSE(suite.synchronize());

  fs::remove(blocker);
  EXPECT_TRUE(suite.synchronize());
  EXPECT_FALSE(suite.lastSaveError().has_value());
  EXPECT_EQ(UserDefaults(blocker / "suite.plist").stringForKey("k"), "v");
}

TEST(UserDefaultsForeignFile, ReadsNestedDatesAndData) {
  // An XML plist as other tools write it: nested dates become ISO text,
  // nested data a JSON binary value.
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>when</key><date>2020-01-01T00:00:00Z</date>"
      "<key>nested</key><array><date>2001-01-01T00:00:01Z</date><data>AAE=</data><integer>-3</integer></array>"
      "</dict></plist>";
  testsupport::TestHome home;
  fs::path file = home.root() / "foreign.plist";
  writeBytes(file, xml);
  UserDefaults suite(file);
  EXPECT_FALSE(suite.lastLoadError().has_value());
  EXPECT_EQ(suite.dateForKey("when"), at(1577836800000));
  EXPECT_EQ(suite.arrayForKey("nested"), Json::array({"2001-01-01T00:00:01Z", Json::binary({0, 1}), -3}));
}

}  // namespace
