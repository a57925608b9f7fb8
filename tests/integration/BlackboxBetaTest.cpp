// The beta update check against the local cloud's beta service: the token
// from the bundle's font, one request for a burst of checks, and the alert
// that offers the new build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "blackbox/BBXBetaController.h"
#include "harbor/HBRSettingsOnboardingManager.h"
#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/device/ClassRegistry.h"
#include "platform/dispatch/MainQueue.h"
#include "server/CloudServer.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;
using lumora::BBXBetaController;

void betaPut32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}

// A font file whose only table is 'CRSH' with the version, the length field
// and the token bytes given.
void writeBetaFont(const fs::path& path, std::uint32_t version, std::uint32_t length, const std::string& token) {
  std::string table;
  betaPut32(table, version);
  betaPut32(table, length);
  table += token;
  std::string font;
  betaPut32(font, 0x00010000);
  font += std::string("\x00\x01\x00\x10\x00\x00\x00\x00", 8);  // one table; search fields
  betaPut32(font, lumora::kBBXBetaTokenTableTag);
  betaPut32(font, 0);
  betaPut32(font, 12 + 16);
  betaPut32(font, static_cast<std::uint32_t>(table.size()));
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << font << table;
}

class BetaTestDelegate : public lumora::BBXBetaControllerDelegate {
 public:
  std::optional<std::string> APIKeyForBetaController(BBXBetaController&) override { return "key-1"; }
  lumora::BBXSettings settingsForBetaController(BBXBetaController&) override {
    return lumora::BBXSettings(nlohmann::json{{"beta", {{"update_suspend_duration", 60}}}});
  }
};

class BlackboxBetaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example.beta"},
                                         {"CFBundleVersion", "14"},
                                         {"CFBundleShortVersionString", "2.0"},
                                         {"CFBundleDisplayName", "Beta App"},
                                         {"BlackboxSignedForDistribution", true}});
    platform::Bundle::setBundlePath(home_.root() / "bundle");
    platform::ClassRegistry::registerClass("Blackbox");
    platform::MainQueue::main().bindToCurrentThread();
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    setenv("BlackboxBetaEndpoint", server_->url().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("BlackboxBetaEndpoint");
    platform::ClassRegistry::unregisterClass("Blackbox");
    platform::Application::shared().resetForTesting();
    platform::Bundle::reset();
  }
  fs::path fontPath() const { return home_.root() / "bundle" / "Fonts" / "Blackbox.ttf"; }

  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
  std::shared_ptr<BetaTestDelegate> delegate_ = std::make_shared<BetaTestDelegate>();
};

TEST_F(BlackboxBetaTest, TheTokenComesWholeFromTheFontOrNotAtAll) {
  EXPECT_TRUE(BBXBetaController::isBetaSupported());
  EXPECT_FALSE(BBXBetaController::create(delegate_)->start());  // no font
  const struct {
    std::uint32_t version;
    std::uint32_t length;
    std::optional<std::string> token;
  } cases[] = {{1, 5, "2:tok-1"}, {1, 9, std::nullopt}, {2, 5, std::nullopt}};
  for (const auto& each : cases) {
    writeBetaFont(fontPath(), each.version, each.length, "tok-1");
    EXPECT_EQ(BBXBetaController::readBetaToken(), each.token) << each.version << " " << each.length;
  }
  // An App Store build has a receipt: no beta at all.
  fs::create_directories(home_.root() / "bundle" / "StoreKit");
  std::ofstream(home_.root() / "bundle" / "StoreKit" / "receipt") << "r";
  EXPECT_FALSE(BBXBetaController::isBetaSupported());
}

TEST_F(BlackboxBetaTest, ABurstOfChecksAsksOnceAndTheAlertOpensTheBuildOnlyOnInstall) {
  writeBetaFont(fontPath(), 1, 5, "tok-1");
  server_->beta().offer("tok-1", "https://beta.example.com/install/14", "2.0 (14)");
  platform::Application::shared().registerURLScheme("https", [](const std::string&) {});
  auto controller = BBXBetaController::create(delegate_);
  ASSERT_TRUE(controller->start());
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(lumora::kHBRSettingsAvailableNotification);
  center.post(platform::kApplicationWillEnterForegroundNotification);
  ASSERT_TRUE(platform::MainQueue::main().runUntil(
      [] { return !platform::ui::AlertView::visibleAlerts().empty(); }, testsupport::scaled(std::chrono::seconds(20))));
  controller->queue().sync([] {});
  EXPECT_EQ(server_->beta().requestCount(), 1u);
  EXPECT_TRUE(controller->checksSuspended());

  ASSERT_TRUE(controller->activeUpdate());
  const lumora::BBXBetaUpdate update = *controller->activeUpdate();
  auto alert = platform::ui::AlertView::visibleAlerts().back();
  EXPECT_EQ(alert->message(), "A new version of Beta App is available for testing.\n2.0 (14)");
  ASSERT_TRUE(alert->pressButtonWithTitle("Cancel"));
  EXPECT_TRUE(platform::Application::shared().openedURLs().empty());
  EXPECT_FALSE(controller->activeUpdate());

  controller->showBetaAlertForUpdate(update);
  ASSERT_TRUE(platform::ui::AlertView::visibleAlerts().back()->pressButtonWithTitle("Install"));
  EXPECT_EQ(platform::Application::shared().openedURLs(), std::vector<std::string>{update.url()});
}

}  // namespace
