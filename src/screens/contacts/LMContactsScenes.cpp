#include "screens/contacts/LMContactsScenes.h"

#include <memory>

#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/contacts/LMSyncLoadViewController.h"

namespace lumora {

void registerContactsScenes() {
  LMStoryboard::registerScene(LMRootViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMRootViewController>(); });
  LMStoryboard::registerScene(LMSyncLoadViewController::kSceneIdentifier,
                              [] { return std::make_shared<LMSyncLoadViewController>(); });
}

}  // namespace lumora
