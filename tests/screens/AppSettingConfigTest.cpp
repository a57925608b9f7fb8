#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMSyncAdapter+LMHook.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

class AppSettingConfigTest : public ::testing::Test {
 protected:
  double now() const { return std::chrono::duration<double>(clock->now().time_since_epoch()).count(); }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  testsupport::TestHome home;
  LMAppSettingConfig& config = LMAppSettingConfig::sharedConfig();
};

TEST_F(AppSettingConfigTest, FreshValuesFlagsAndMobileDataNotices) {
  EXPECT_FALSE(config.autoBackupGallery() || config.autoBackupContacts() || config.autoBackupGalleryOnWWAN() ||
               config.autoSyncContactsOnWWAN() || config.tryOpenBackupGallerySwitch());
  EXPECT_EQ(config.lastBackupGalleryTime() + config.galleryChangeTime(), 0.0);
  EXPECT_EQ(config.exitButtonClickOfGalleryNumber(), 0);
  EXPECT_TRUE(config.isFirstLocationAuth());
  config.setFirstLocationAuth(false);
  EXPECT_FALSE(config.isFirstLocationAuth());

  std::vector<std::string> posted;
  auto& center = platform::NotificationCenter::defaultCenter();
  const auto galleryToken = center.addObserver(LMAppSettingConfig::kBackupGalleryWifiStatusNotification,
                                               [&](const std::string& name, const platform::Json&) { posted.push_back(name); });
  const auto contactsToken = center.addObserver(LMAppSettingConfig::kSyncContactsWifiStatusNotification,
                                                [&](const std::string& name, const platform::Json&) { posted.push_back(name); });
  config.setAutoBackupGalleryOnWWAN(true);
  EXPECT_TRUE(posted.empty());
  EXPECT_TRUE(config.autoBackupGalleryOnWWAN());
  config.setAutoBackupGalleryOnWWAN(false);
  config.setAutoSyncContactsOnWWAN(false);
  config.setAutoSyncContactsOnWWAN(false);
  EXPECT_EQ(posted.size(), 3u);
  EXPECT_FALSE(config.autoBackupGalleryOnWWAN());
  center.removeObserver(galleryToken);
  center.removeObserver(contactsToken);
}

TEST_F(AppSettingConfigTest, BackgroundRunsPassTheGateOnlyWhenDue) {
  enum class Kind { Contacts, Gallery, Other };
  struct Case {
    const char* name;
    Kind kind;
    double lastRunAgo;   // seconds before now; negative lies in the future
    double changeAgo;    // seconds before now
    bool background;
    bool syncing;
    bool queued;
  } cases[] = {
      {"gallery 11 h, changed since", Kind::Gallery, 11 * 3600, 3600, true, false, true},
      {"gallery 11 h, no change", Kind::Gallery, 11 * 3600, 12 * 3600, true, false, false},
      {"gallery 12 h + 1 s", Kind::Gallery, 43201, 50000, true, false, true},
      {"gallery change at the run itself", Kind::Gallery, 3600, 3600, true, false, false},
      {"gallery run 13 h in the future", Kind::Gallery, -13 * 3600, 0, true, false, true},
      {"contacts 23 h, no change", Kind::Contacts, 23 * 3600, 24 * 3600, true, false, false},
      {"contacts 24 h + 1 s", Kind::Contacts, 86401, 90000, true, false, true},
      {"contacts changed since", Kind::Contacts, 3600, 60, true, false, true},
      {"syncing adapter", Kind::Gallery, 50000, 0, true, true, false},
      {"syncing adapter, foreground", Kind::Contacts, 90000, 0, false, true, false},
      {"another adapter", Kind::Other, 90000, 0, true, false, false},
      {"foreground, not due", Kind::Gallery, 60, 120, false, false, true},
  };
  for (const Case& c : cases) {
    std::shared_ptr<LMSyncAdapter> adapter;
    if (c.kind == Kind::Contacts) {
      adapter = std::make_shared<LMContactSyncAdapter>();
      config.setLastSyncContactsTime(now() - c.lastRunAgo);
      config.setContactsChangeTime(now() - c.changeAgo);
    } else {
      adapter = c.kind == Kind::Gallery ? std::make_shared<LMImageSyncAdapter>() : std::make_shared<LMSyncAdapter>();
      config.setLastBackupGalleryTime(now() - c.lastRunAgo);
      config.setGalleryChangeTime(now() - c.changeAgo);
    }
    adapter->setSyncing(c.syncing);
    std::atomic<int> ran{0};
    swizzledPerformTaskBlock(*adapter, [&ran] { ++ran; }, c.background);
    adapter->taskOperationQueue().waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran.load(), c.queued ? 1 : 0) << c.name;
  }
}

}  // namespace
}  // namespace lumora
