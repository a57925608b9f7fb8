#include "screens/shell/LMSyncAdapter+LMHook.h"

#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/sync/LMSyncAdapter.h"
#include "screens/shell/LMAppSettingConfig.h"

namespace lumora {

void swizzledPerformTaskBlock(LMSyncAdapter& adapter, std::function<void()> block, bool inBackground) {
  if (adapter.isSyncing()) return;
  if (!inBackground) {
    adapter.performTaskBlock(std::move(block), false);
    return;
  }
  const LMAppSettingConfig& config = LMAppSettingConfig::sharedConfig();
  bool due = false;
  if (dynamic_cast<LMContactSyncAdapter*>(&adapter) != nullptr) {
    due = config.isMoreThan24hoursSinceLastBackupContactsTime() || config.contactsHasNewChange();
  } else if (dynamic_cast<LMImageSyncAdapter*>(&adapter) != nullptr) {
    due = config.isMoreThan12hoursSinceLastBackupGalleryTime() || config.galleryHasNewChange();
  }
  if (due) adapter.performTaskBlock(std::move(block), true);
}

}  // namespace lumora
