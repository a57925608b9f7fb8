#include "screens/contacts/LMContactsScenes.h"

#include "platform/ui/Resources.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsTableViewController.h"
#include "screens/contacts/LMManualMergeTableViewController.h"
#include "screens/contacts/LMMergeSourceTableViewController.h"
#include "screens/contacts/LMMergeTableViewController.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/contacts/LMSyncLoadViewController.h"

namespace lumora {

namespace {

template <class T>
std::shared_ptr<T> contactsScene(const char* titleKey) {
  auto screen = std::make_shared<T>();
  screen->setTitle(platform::ui::localizedString(titleKey));
  return screen;
}

}  // namespace

void registerContactsScenes() {
  LMStoryboard::registerScene(LMRootViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMRootViewController>(); });
  LMStoryboard::registerScene(LMSyncLoadViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMSyncLoadViewController>(); });
  LMStoryboard::registerScene("mergeViewController", [] {
    return platform::ui::NavigationController::withRoot(contactsScene<LMMergeTableViewController>("合并重复联系人"));
  });
  LMStoryboard::registerScene("mergeSourceViewController", [] {
    return platform::ui::NavigationController::withRoot(
        contactsScene<LMMergeSourceTableViewController>("导入其他帐号联系人"));
  });
  LMStoryboard::registerScene("manualMergeTableViewController",
                              [] { return contactsScene<LMManualMergeTableViewController>("手动合并"); });
  LMStoryboard::registerScene("contactsTableViewController",
                              [] { return contactsScene<LMContactsTableViewController>("联系人"); });
}

}  // namespace lumora
