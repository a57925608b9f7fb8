#include "app/AppScenes.h"

#include "platform/ui/Resources.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/account/LMVerifyPhoneViewController.h"
#include "screens/account/LMWebViewController.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsScenes.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMNavViewController.h"

namespace lumora {

namespace {
template <class Screen>
std::shared_ptr<Screen> titled(const char* titleKey) {
  auto screen = std::make_shared<Screen>();
  screen->setTitle(platform::ui::localizedString(titleKey));
  return screen;
}
}  // namespace

void registerAppScenes() {
  static const bool registered = [] {
    // The sign-in flow.
    LMStoryboard::registerScene(LMLoginViewController::kSceneIdentifier, [] {
      return LMNavViewController::withRoot(titled<LMLoginViewController>("Quenby帐号登录"));
    });
    LMStoryboard::registerScene(LMVerifyPhoneViewController::kSceneIdentifier,
                                [] { return titled<LMVerifyPhoneViewController>("短信验证"); });
    LMStoryboard::registerScene(LMOTPViewController::kSceneIdentifier,
                                [] { return titled<LMOTPViewController>("Quenby安全令牌"); });
    LMStoryboard::registerScene(LMWebViewController::kSceneIdentifier, [] { return std::make_shared<LMWebViewController>(); });
    registerContactsScenes();
    registerGalleryScenes();
    // The app opens with the root container of the two pages.
    LMStoryboard::registerInitialScene(
        [] { return LMNavViewController::withRoot(std::make_shared<LMBaseRootViewController>()); });
    return true;
  }();
  (void)registered;
}

LMBackgroundPageFactories appBackgroundPages() {
  LMBackgroundPageFactories pages;
  pages.contacts = [] { return std::make_shared<LMRootViewController>(); };
  pages.gallery = [] { return std::make_shared<LMGalleryRootViewController>(); };
  return pages;
}

}  // namespace lumora
