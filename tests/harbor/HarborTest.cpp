#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "harbor/BBXUserDefaults.h"
#include "harbor/HBRObfuscator.h"
#include "harbor/HBRSettings.h"
#include "harbor/HBRSettingsOnboardingManager.h"
#include "harbor/Harbor.h"
#include "platform/device/Bundle.h"
#include "platform/device/ClassRegistry.h"
#include "platform/diagnostics/Exception.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

class HarborTestKitObject : public HBRKitObject {
 public:
  explicit HarborTestKitObject(HBRKitClassPtr kitClass) : kitClass_(std::move(kitClass)) {}
  HBRKitClassPtr kitClass() const override { return kitClass_; }

 private:
  HBRKitClassPtr kitClass_;
};

class HarborTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Nothing listens there: the settings download fails at once.
    setenv("SettingsEndpoint", "http://127.0.0.1:9", 1);
    platform::Bundle::setInfoValue("Harbor", {{"APIKey", "key-1"}, {"Kits", platform::Json::array()}});
  }
  void TearDown() override {
    unsetenv("SettingsEndpoint");
    platform::Bundle::reset();
    platform::ClassRegistry::reset();
  }
  static HBRKitClassPtr kit(const std::string& name, int* initialized) {
    auto kit = std::make_shared<HBRKitClass>();
    kit->name = name;
    kit->adoptsHBRKit = true;
    kit->bundleIdentifier = [name] { return "com.example." + name; };
    kit->kitDisplayVersion = [] { return std::string("2.0"); };
    kit->initializeIfNeeded = [initialized] { ++*initialized; };
    return kit;
  }

  testsupport::TestHome home_;
};

TEST_F(HarborTest, StartsOnceWithTallyAfterBlackboxAndRefusesOtherClasses) {
  BBXUserDefaults defaults(home_.root() / "defaults");
  int blackboxStarts = 0;
  int tallyStarts = 0;
  auto blackbox = kit("Blackbox", &blackboxStarts);
  auto tally = kit("Tally", &tallyStarts);
  HBRRegisterKitClass(blackbox);
  HBRRegisterKitClass(tally);
  Harbor harbor(&defaults);
  // An instance stands for its class.
  harbor.startWithKits({std::make_shared<const HarborTestKitObject>(blackbox)});
  harbor.startWithKits({blackbox, tally});
  EXPECT_EQ(blackboxStarts, 1);
  EXPECT_EQ(tallyStarts, 1);
  ASSERT_EQ(harbor.kitClasses().size(), 2u);
  EXPECT_EQ(harbor.kitClasses()[0], blackbox);
  EXPECT_EQ(harbor.kitClasses()[1], tally);
  auto versions = harbor.kitVersionsByKitBundleIdentifier();
  EXPECT_EQ(versions.size(), 3u);
  EXPECT_EQ(versions["com.example.Tally"], "2.0");

  auto plain = std::make_shared<HBRKitClass>();
  plain->name = "NotAKit";
  Harbor other(&defaults);
  try {
    other.startWithKits({plain});
    ADD_FAILURE() << "a class that is no kit was taken";
  } catch (const platform::Exception& exception) {
    EXPECT_EQ(exception.name(), "HBRException");
  }
}

TEST_F(HarborTest, InstallationUuidIsMadeOnceAndTheRunGetsItsOwnIdentifier) {
  std::string first;
  std::string firstRun;
  {
    BBXUserDefaults defaults(home_.root() / "defaults");
    Harbor harbor(&defaults);
    EXPECT_TRUE(harbor.isFirstInstall());
    first = harbor.installID();
    firstRun = harbor.executionIdentifier();
  }
  EXPECT_EQ(first.size(), 36u);
  EXPECT_EQ(firstRun.size(), 32u);
  EXPECT_EQ(firstRun.find_first_not_of("0123456789abcdef"), std::string::npos);
  BBXUserDefaults reopened(home_.root() / "defaults");
  Harbor again(&reopened);
  EXPECT_FALSE(again.isFirstInstall());
  EXPECT_EQ(again.installID(), first);
  EXPECT_NE(again.executionIdentifier(), firstRun);
}

TEST_F(HarborTest, PlainKitInfoWinsOverObfuscatedInfo) {
  platform::Bytes hidden = HBRObfuscator::obfuscatedDataFromDictionary({{"a", 2}, {"b", 3}});
  platform::Json entry = {{"KitName", "Blackbox"},
                          {"KitInfo", {{"a", 1}}},
                          {"ObfuscatedKitInfo", platform::Json::binary(hidden)}};
  platform::Bundle::setInfoValue("Harbor", {{"APIKey", "key-1"}, {"Kits", {entry}}});
  BBXUserDefaults defaults(home_.root() / "defaults");
  Harbor harbor(&defaults);
  EXPECT_EQ(harbor.configurationDictionaryForKitName("Blackbox"), (platform::Json{{"a", 1}, {"b", 3}}));
  EXPECT_FALSE(harbor.configurationDictionaryForKitName("Tally"));

  for (const std::optional<platform::Bytes>& bad :
       {std::optional<platform::Bytes>(), std::optional(platform::Bytes()), std::optional(platform::toBytes("a*b="))}) {
    EXPECT_THROW(HBRObfuscator::dictionaryWithObfuscatedData(bad), platform::Exception);
  }
}

TEST_F(HarborTest, SettingsDocumentAnswersTheOnboardingQuestions) {
  const std::filesystem::path path = home_.root() / "settings.json";
  struct Case {
    const char* document;
    bool needsOnboarding;
    bool updateRequired;
  };
  const Case cases[] = {
      {R"({"app":{"status":"new"}})", true, false},
      {R"({"app":{"status":"activated","update_required":true}})", false, true},
      {R"({"app":null})", false, false},
      {R"({"app":{"status":null,"update_required":false}})", false, false},
      {R"({"features":{}})", false, false},
  };
  for (const Case& c : cases) {
    std::ofstream(path) << c.document;
    HBRSettings settings(path);
    EXPECT_EQ(settings.appNeedsOnboarding(), c.needsOnboarding) << c.document;
    EXPECT_EQ(settings.appUpdateRequired(), c.updateRequired) << c.document;
  }
  // A document longer than one read reads whole.
  std::ofstream(path, std::ios::trunc) << R"({"pad":")" << std::string(100000, 'x') << R"(","app":{"status":"new"}})";
  EXPECT_TRUE(HBRSettings(path).appNeedsOnboarding());
  // Whatever a reader would choke on is no document, and is deleted, so
  // that it cannot fail every later start too.
  const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  const std::string huge = R"({"pad":")" + std::string(HBRSettings::kMaxDocumentBytes, 'x') + "\"}";
  for (const std::string& bad : {std::string("{\"app\":"), deep, std::string("[1]"), huge}) {
    std::ofstream(path, std::ios::trunc) << bad;
    EXPECT_FALSE(HBRSettings(path).settingsDictionary()) << bad.substr(0, 8);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);  // would block a plain read
  EXPECT_FALSE(HBRSettings(path).settingsDictionary());
  EXPECT_FALSE(std::filesystem::exists(path));
  // A second name of a document (a copy of the home made with hard links
  // leaves one) is that document: read, and both names stay.
  const std::filesystem::path another = home_.root() / "another.json";
  std::ofstream(another) << R"({"app":{"status":"new"}})";
  std::filesystem::create_hard_link(another, path);
  EXPECT_TRUE(HBRSettings(path).appNeedsOnboarding());
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(HBRSettings(another).appNeedsOnboarding());
  std::filesystem::remove(path);
  // The document is parsed once and shared by every reader.
  std::ofstream(path) << R"({"app":{"status":"new"}})";
  HBRSettings shared(path);
  EXPECT_EQ(shared.settingsDictionary().get(), shared.settingsDictionary().get());
}

TEST_F(HarborTest, EndpointComesFromTheEnvironmentThenTheBlackboxDictionaryThenTheDefault) {
  platform::Bundle::setInfoValue("Blackbox", {{"SettingsEndpoint", "https://info.example"}});
  EXPECT_EQ(HBRSettingsOnboardingManager::valueForConfigurationKey("SettingsEndpoint"), "http://127.0.0.1:9");
  unsetenv("SettingsEndpoint");
  EXPECT_EQ(HBRSettingsOnboardingManager::valueForConfigurationKey("SettingsEndpoint"), "https://info.example");
  platform::Bundle::removeInfoValue("Blackbox");
  auto fallback = HBRSettingsOnboardingManager::valueForConfigurationKey("SettingsEndpoint");
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->rfind("https://", 0), 0u);
}

platform::Json settingsIn(const std::filesystem::path& file) {
  auto document = HBRSettings(file).settingsDictionary();
  return document ? *document : platform::Json();
}

TEST_F(HarborTest, SettingsFileIsReplacedWholeOrNotAtAll) {
  const std::filesystem::path dir = home_.root() / "settings";
  const std::filesystem::path file = dir / "settings.json";
  const std::filesystem::path download = home_.root() / "download";
  std::filesystem::create_directories(dir);
  std::ofstream(file) << R"({"v":1})";
  std::ofstream(dir / "stray") << "x";
  std::ofstream(download) << R"({"v":2})";
  ASSERT_TRUE(HBRSettings::replaceSettingsFile(download, dir, file));
  EXPECT_EQ(settingsIn(file), (platform::Json{{"v", 2}}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

  // A download that is gone, and a target that cannot be replaced: the
  // settings there stay readable.
  EXPECT_FALSE(HBRSettings::replaceSettingsFile(home_.root() / "missing", dir, file));
  EXPECT_EQ(settingsIn(file), (platform::Json{{"v", 2}}));
  const std::filesystem::path blocked = dir / "blocked.json";
  std::filesystem::create_directories(blocked / "inside");
  EXPECT_FALSE(HBRSettings::replaceSettingsFile(download, dir, blocked));
  EXPECT_EQ(settingsIn(file), (platform::Json{{"v", 2}}));
  EXPECT_FALSE(std::filesystem::exists(dir / "blocked.json.download"));
}

}  // namespace
}  // namespace lumora
