// The reporting platform's start against the local cloud's vendor service:
// settings downloads, app create and update, the settings notification.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "harbor/BBXUserDefaults.h"
#include "harbor/HBRSettingsOnboardingManager.h"
#include "harbor/Harbor.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/media/PngImage.h"
#include "server/CloudServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

using lumora::Harbor;

class HarborSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    setenv("SettingsEndpoint", server_->url().c_str(), 1);
    setenv("ConfigureEndpoint", server_->url().c_str(), 1);
    const std::filesystem::path bundle = home_.root() / "Bundle";
    std::filesystem::create_directories(bundle);
    auto png = platform::PngImage(60, 60, platform::Bytes(60 * 60 * 4, 0x40)).pngData();
    ASSERT_TRUE(png);
    std::ofstream(bundle / "Icon.png", std::ios::binary).write(reinterpret_cast<const char*>(png->data()), png->size());
    platform::Bundle::setBundlePath(bundle.string());
    platform::Bundle::setInfoValue("Harbor", {{"APIKey", "key-1"}});
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        lumora::kHBRSettingsAvailableNotification, [this](const std::string&, const platform::Json&) {
          std::lock_guard lock(mutex_);
          onboardingsAtNotification_.push_back(server_->vendor().onboardingRequests().size());
        });
  }
  void TearDown() override {
    platform::NotificationCenter::defaultCenter().removeObserver(observer_);
    harbors_.clear();
    unsetenv("SettingsEndpoint");
    unsetenv("ConfigureEndpoint");
    platform::Bundle::reset();
  }
  // One start of the kits, waited for until its sequence has ended.
  Harbor& run(const std::string& apiKey, const std::optional<std::string>& advertisingToken = std::nullopt,
              lumora::BBXUserDefaults* defaults = nullptr) {
    harbors_.push_back(std::make_unique<Harbor>(defaults ? defaults : &defaults_));
    Harbor& harbor = *harbors_.back();
    harbor.setAPIKey(apiKey);
    harbor.setAdvertisingToken(advertisingToken);
    auto done = std::make_shared<platform::Semaphore>(0);
    harbor.settingsAndOnboardingManager()->setSessionFinishedObserver([done] { done->signal(); });
    harbor.startWithKits({});
    EXPECT_TRUE(done->waitFor(testsupport::scaled(std::chrono::seconds(30))));
    return harbor;
  }
  std::vector<std::size_t> notifications() {
    std::lock_guard lock(mutex_);
    return onboardingsAtNotification_;
  }
  static std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // Every file below `folder` with what it holds.
  static std::map<std::string, std::string> tree(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.is_regular_file()) files[entry.path().lexically_relative(folder).string()] = fileText(entry.path());
    }
    return files;
  }

  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
  lumora::BBXUserDefaults defaults_{home_.root() / "defaults"};
  std::vector<std::unique_ptr<Harbor>> harbors_;
  platform::ObserverToken observer_ = 0;
  std::mutex mutex_;
  std::vector<std::size_t> onboardingsAtNotification_;
};

TEST_F(HarborSettingsTest, NewAppIsCreatedThenItsSettingsAreFetchedAgainAndAnnouncedOnce) {
  Harbor& harbor = run("key-1");
  EXPECT_EQ(notifications(), std::vector<std::size_t>{1});
  auto downloads = server_->vendor().settingsRequests();
  ASSERT_EQ(downloads.size(), 2u);
  EXPECT_EQ(downloads[0].headers.count("X-Blackbox-Advertising-Token"), 0u);
  auto onboardings = server_->vendor().onboardingRequests();
  ASSERT_EQ(onboardings.size(), 1u);
  EXPECT_EQ(onboardings[0].method, "POST");
  const auto& icon = onboardings[0].parts.back();
  EXPECT_EQ(icon.fileName, "icon.png");
  EXPECT_EQ(icon.contentType, "image/png");
  auto settings = harbor.settings();
  ASSERT_TRUE(settings);
  EXPECT_EQ((*settings)["app"]["status"], "activated");
}

TEST_F(HarborSettingsTest, UpdateIsAnnouncedBeforeItIsSentAndAFailedDownloadKeepsTheOldFile) {
  run("key-1");
  ASSERT_TRUE(server_->vendor().requestUpdate("com.quenby.lumora"));
  run("key-1", "ad-token");
  // The second notification came while only the create had been sent.
  EXPECT_EQ(notifications(), (std::vector<std::size_t>{1, 1}));
  auto onboardings = server_->vendor().onboardingRequests();
  ASSERT_EQ(onboardings.size(), 2u);
  EXPECT_EQ(onboardings[1].method, "PUT");
  EXPECT_EQ(server_->vendor().settingsRequests().back().headers.at("X-Blackbox-Advertising-Token"), "ad-token");

  // Another API key is refused: no notification, the session is closed and
  // the settings of the last run stay.
  const std::string path = lumora::HBRSettingsOnboardingManager::settingsPath();
  const std::string before = fileText(path);
  Harbor& refused = run("key-2");
  EXPECT_EQ(notifications().size(), 2u);
  EXPECT_EQ(fileText(path), before);
  EXPECT_TRUE(refused.settings());
}

// A link in the place of the settings' data folder, of its bundle folder or
// of the kits' preferences folder goes (the link, not what it points to):
// the kits neither read what lies outside the home nor write there.
TEST_F(HarborSettingsTest, NothingIsReadOrWrittenThroughALinkInThePlaceOfTheKitsFolders) {
  namespace fs = std::filesystem;
  const fs::path settingsFolder(lumora::HBRSettingsOnboardingManager::settingsDirectoryPath());
  const fs::path preferences = lumora::BBXUserDefaults::defaultDirectory();
  int row = 0;
  for (const fs::path& place : {settingsFolder.parent_path(), settingsFolder, preferences}) {
    SCOPED_TRACE(place.lexically_relative(home_.root()).string());
    fs::remove_all(settingsFolder.parent_path());
    fs::remove_all(preferences);
    // What the folders would hold, outside the home.
    const fs::path outside = home_.root() / ("outside-" + std::to_string(row++));
    const fs::path settingsOutside =
        place == settingsFolder.parent_path() ? outside / settingsFolder.filename() : outside;
    fs::create_directories(settingsOutside);
    std::ofstream(settingsOutside / "settings.json") << R"({"app":{"status":"activated"},"outside":true})";
    {
      lumora::BBXUserDefaults store(outside);
      store.setString("outside-install", "com.blackbox.iuuid");
      store.synchronize();
    }
    fs::create_directories(place.parent_path());
    fs::create_directory_symlink(outside, place);
    const auto before = tree(outside);

    lumora::BBXUserDefaults defaults(preferences);
    Harbor& harbor = run("key-1", std::nullopt, &defaults);
    EXPECT_FALSE(fs::is_symlink(place));
    EXPECT_NE(harbor.installID(), "outside-install");
    auto settings = harbor.settings();
    ASSERT_TRUE(settings);
    EXPECT_FALSE(settings->contains("outside"));
    EXPECT_EQ(tree(outside), before);
    harbors_.clear();
  }
}

}  // namespace
