#include "screens/shell/LMAppSettingConfig.h"

#include <chrono>
#include <cmath>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/UserDefaults.h"
#include "screens/common/LMLastContactSync.h"

namespace lumora {
namespace {

platform::UserDefaults& settingDefaults() { return platform::UserDefaults::standard(); }

bool settingBool(const char* key) { return settingDefaults().boolForKey(key); }

void storeSettingBool(const char* key, bool value) {
  settingDefaults().setBool(key, value);
  settingDefaults().synchronize();
}

double settingDouble(const char* key) { return settingDefaults().doubleForKey(key); }

void storeSettingDouble(const char* key, double value) {
  settingDefaults().setDouble(key, value);
  settingDefaults().synchronize();
}

void storeSettingInteger(const char* key, std::int64_t value) {
  settingDefaults().setInteger(key, value);
  settingDefaults().synchronize();
}

double secondsSince1970Now() {
  return std::chrono::duration<double>(platform::Clock::currentTime().time_since_epoch()).count();
}

}  // namespace

LMAppSettingConfig& LMAppSettingConfig::sharedConfig() {
  static auto& config = *new LMAppSettingConfig();
  return config;
}

bool LMAppSettingConfig::autoBackupGallery() const { return settingBool("autoBackupGallery"); }
void LMAppSettingConfig::setAutoBackupGallery(bool value) { storeSettingBool("autoBackupGallery", value); }
bool LMAppSettingConfig::autoBackupContacts() const { return settingBool("autoBackupContacts"); }
void LMAppSettingConfig::setAutoBackupContacts(bool value) { storeSettingBool("autoBackupContacts", value); }

bool LMAppSettingConfig::autoBackupGalleryOnWWAN() const { return settingBool("autoBackupGalleryOnWWAN"); }
void LMAppSettingConfig::setAutoBackupGalleryOnWWAN(bool value) {
  if (!value) platform::NotificationCenter::defaultCenter().post(kBackupGalleryWifiStatusNotification);
  storeSettingBool("autoBackupGalleryOnWWAN", value);
}

bool LMAppSettingConfig::autoSyncContactsOnWWAN() const { return settingBool("autoSyncContactsOnWWAN"); }
void LMAppSettingConfig::setAutoSyncContactsOnWWAN(bool value) {
  if (!value) platform::NotificationCenter::defaultCenter().post(kSyncContactsWifiStatusNotification);
  storeSettingBool("autoSyncContactsOnWWAN", value);
}

double LMAppSettingConfig::lastSyncContactsTime() const { return settingDouble(LMLastContactSync::kRuleKey); }
void LMAppSettingConfig::setLastSyncContactsTime(double value) {
  storeSettingDouble(LMLastContactSync::kRuleKey, value);
}
double LMAppSettingConfig::contactsChangeTime() const { return settingDouble("contactsChangeTime"); }
void LMAppSettingConfig::setContactsChangeTime(double value) { storeSettingDouble("contactsChangeTime", value); }
double LMAppSettingConfig::lastBackupGalleryTime() const { return settingDouble("lastBackupGalleryTime"); }
void LMAppSettingConfig::setLastBackupGalleryTime(double value) { storeSettingDouble("lastBackupGalleryTime", value); }
double LMAppSettingConfig::galleryChangeTime() const { return settingDouble("galleryChangeTime"); }
void LMAppSettingConfig::setGalleryChangeTime(double value) { storeSettingDouble("galleryChangeTime", value); }

std::int64_t LMAppSettingConfig::exitButtonClickOfContactsNumber() const {
  return settingDefaults().integerForKey("exitButtonClickOfContactsNumber");
}
void LMAppSettingConfig::setExitButtonClickOfContactsNumber(std::int64_t value) {
  storeSettingInteger("exitButtonClickOfContactsNumber", value);
}
std::int64_t LMAppSettingConfig::exitButtonClickOfGalleryNumber() const {
  return settingDefaults().integerForKey("exitButtonClickOfGalleryNumber");
}
void LMAppSettingConfig::setExitButtonClickOfGalleryNumber(std::int64_t value) {
  storeSettingInteger("exitButtonClickOfGalleryNumber", value);
}

bool LMAppSettingConfig::isFirstLocationAuth() const { return !settingDefaults().hasKey("isFirstLocationAuth"); }
void LMAppSettingConfig::setFirstLocationAuth(bool value) { storeSettingBool("isFirstLocationAuth", value); }

bool LMAppSettingConfig::tryOpenBackupGallerySwitch() const { return settingBool("tryOpenBackupGallerySwitch"); }
void LMAppSettingConfig::setTryOpenBackupGallerySwitch(bool value) {
  storeSettingBool("tryOpenBackupGallerySwitch", value);
}
bool LMAppSettingConfig::tryOpenBackupContactsSwitch() const { return settingBool("tryOpenBackupContactsSwitch"); }
void LMAppSettingConfig::setTryOpenBackupContactsSwitch(bool value) {
  storeSettingBool("tryOpenBackupContactsSwitch", value);
}

bool LMAppSettingConfig::isMoreThan12hoursSinceLastBackupGalleryTime() const {
  return std::fabs(secondsSince1970Now() - lastBackupGalleryTime()) > 43200.0;
}
bool LMAppSettingConfig::galleryHasNewChange() const { return galleryChangeTime() > lastBackupGalleryTime(); }
bool LMAppSettingConfig::isMoreThan24hoursSinceLastBackupContactsTime() const {
  return std::fabs(secondsSince1970Now() - lastSyncContactsTime()) > 86400.0;
}
bool LMAppSettingConfig::contactsHasNewChange() const { return contactsChangeTime() > lastSyncContactsTime(); }

}  // namespace lumora
