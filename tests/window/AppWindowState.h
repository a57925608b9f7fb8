// What a test of the app in its window sets up once its harness stands
// (Chinese texts, the app's scenes, no gallery store) and puts back before
// the harness goes (no user, no sync contexts, no progress display, no
// alerts, the texts reloaded). Held as a member after the harness.
#pragma once

#include <optional>

#include "app/AppScenes.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/gallery/LMGalleryStoreStack.h"

namespace e2e {

class AppWindowState {
 public:
  AppWindowState() {
    platform::UserDefaults::standard().registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({"zh-Hans"})}});
    platform::ui::resetLocalizedStringsForTesting();
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::registerAppScenes();
  }
  ~AppWindowState() {
    lumora::QBPassportsManager::sharedManager()->setUserId(std::nullopt);
    lumora::LMContactSyncAdapter::sharedAdapter()->setContext(nullptr);
    lumora::LMImageSyncAdapter::sharedAdapter()->setContext(nullptr);
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    platform::ui::AlertView::resetForTesting();
    platform::ui::resetLocalizedStringsForTesting();
  }
  AppWindowState(const AppWindowState&) = delete;
  AppWindowState& operator=(const AppWindowState&) = delete;
};

}  // namespace e2e
