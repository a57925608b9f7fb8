// The app's settings, run times and small flags, kept in the standard user
// defaults and nowhere else: every read goes to the store, every setter
// writes through and synchronises, so screens, the app delegate and the
// adapters' task blocks see one value at once.
//
// Ownership: sharedConfig() is one process-wide object, created on first use.
// Threading: any thread (the user defaults guard themselves).
// Failures: a value that cannot be written stays as it was; absent values
// read as NO, 0, or (for isFirstLocationAuth) YES.
#pragma once

#include <cstdint>

namespace lumora {

class LMAppSettingConfig {
 public:
  // Posted (user info null) whenever the mobile-data permission is set to NO.
  static constexpr const char* kBackupGalleryWifiStatusNotification = "backupGalleryWifiStatusNotif";
  static constexpr const char* kSyncContactsWifiStatusNotification = "syncContactsWifiStatusNofif";

  static LMAppSettingConfig& sharedConfig();

  bool autoBackupGallery() const;
  void setAutoBackupGallery(bool value);
  bool autoBackupContacts() const;
  void setAutoBackupContacts(bool value);
  bool autoBackupGalleryOnWWAN() const;
  void setAutoBackupGalleryOnWWAN(bool value);
  bool autoSyncContactsOnWWAN() const;
  void setAutoSyncContactsOnWWAN(bool value);

  // Seconds since 1970.
  double lastSyncContactsTime() const;
  void setLastSyncContactsTime(double value);
  double contactsChangeTime() const;
  void setContactsChangeTime(double value);
  double lastBackupGalleryTime() const;
  void setLastBackupGalleryTime(double value);
  double galleryChangeTime() const;
  void setGalleryChangeTime(double value);

  // How often the location notice bar was closed on each page.
  std::int64_t exitButtonClickOfContactsNumber() const;
  void setExitButtonClickOfContactsNumber(std::int64_t value);
  std::int64_t exitButtonClickOfGalleryNumber() const;
  void setExitButtonClickOfGalleryNumber(std::int64_t value);

  // YES until any value at all has been stored.
  bool isFirstLocationAuth() const;
  void setFirstLocationAuth(bool value);

  bool tryOpenBackupGallerySwitch() const;
  void setTryOpenBackupGallerySwitch(bool value);
  bool tryOpenBackupContactsSwitch() const;
  void setTryOpenBackupContactsSwitch(bool value);

  // Now is the platform clock; the time rules take the absolute difference,
  // so a last run far in the future passes too. The change tests are strict.
  bool isMoreThan12hoursSinceLastBackupGalleryTime() const;
  bool galleryHasNewChange() const;
  bool isMoreThan24hoursSinceLastBackupContactsTime() const;
  bool contactsHasNewChange() const;
};

}  // namespace lumora
