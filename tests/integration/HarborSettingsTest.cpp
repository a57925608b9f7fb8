// The reporting platform's start against the local cloud's vendor service:
// settings downloads, app create and update, the settings notification.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  Harbor& run(const std::string& apiKey, const std::optional<std::string>& advertisingToken = std::nullopt) {
    harbors_.push_back(std::make_unique<Harbor>(&defaults_));
    Harbor& harbor = *harbors_.back();
    harbor.setAPIKey(apiKey);
    harbor.setAdvertisingToken(advertisingToken);
    auto done = std::make_shared<platform::Semaphore>(0);
    harbor.settingsAndOnboardingManager()->setSessionFinishedObserver([done] { done->signal(); });
    harbor.startWithKits({});
    EXPECT_TRUE(done->waitFor(std::chrono::seconds(30)));
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

}  // namespace
