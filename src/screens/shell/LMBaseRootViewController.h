// The app's main screen, the start scene inside the navigation controller:
// the contacts page (left) and the gallery page (right) side by side in a
// paging scroll view, the two-tab switch as the bar's title, the settings
// button on the left and the menu button on the right. The menu merges,
// imports and removes contacts, opens the cloud albums and logs out; the
// container answers the app-wide login and logout notifications and, as
// delegate of both pages, locks the menu, the paging and the tabs while a
// page syncs (not after a location wake-up).
//
// Logout: the crash reports lose the user, the image adapter's running job
// is cancelled, the push alias of the user is removed, the account logs
// out and the device's registration is forgotten; then the contact
// adapter's task queue clears the record store and the host list, and the
// image adapter's queue (after what both had queued) the gallery sync
// store and the gallery cache with its tokens, and the pages reset on the
// main thread. With "show" in the notification this runs behind the HUD.
//
// Ownership: a controller made with std::make_shared; it owns both pages
// (children, made once in viewDidLoad), the scroll view and the bar views;
// the clearing tasks hold it, the pages and the adapters weakly. Its
// notification observers go with it.
// Threading: main thread; the clearing runs on the adapters' task queues
// and comes back with a synchronous hop to the main queue.
// Failures: none of its own; a scene the storyboard does not know is not
// shown; the push and device calls of a logout are not waited for.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Control.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"
#include "screens/shell/LMNavTabView.h"
#include "screens/shell/LMSynBaseViewController.h"

namespace lumora {

class LMContactSyncAdapter;
class LMImageSyncAdapter;
class LMRootViewController;
class LMGalleryRootViewController;

class LMBaseRootViewController : public platform::ui::ViewController,
                                 public LMNavTabViewDelegate,
                                 public LMSynBaseViewControllerDelegate,
                                 public platform::ui::ScrollViewDelegate {
 public:
  static constexpr const char* kDidLoginNotification = "LMPassportDidLoginNotification";
  static constexpr const char* kLogoutNotification = "LMPassportLogoutNotification";
  static constexpr const char* kBackgroundColor = "278ff0";
  // The bar and the status bar above the pages.
  static constexpr double kTopBarsHeight = 64;
  // A 480-point screen's gallery page is this much taller than the pager.
  static constexpr double kShortScreenGalleryExtra = 88;
  // How close to a page's edge a settled offset selects that page's tab.
  static constexpr double kTabSnapDistance = 10;

  // What the container calls outside the screens, each replaceable (tests
  // log them).
  struct Services {
    std::function<std::optional<std::string>()> userId;
    std::function<void()> logOut;
    // The crash reports' user.
    std::function<void(const std::optional<std::string>&)> setUserIdentifier;
    std::function<void(const std::string&)> setAlias;
    std::function<void(const std::string&)> unsetAlias;
    std::function<std::optional<std::vector<std::string>>()> getAllAlias;
    std::function<void()> registerDeviceInfo;
    std::function<void()> unregisterDeviceInfo;
    std::function<bool()> isAddressBookAuthorized;
    std::function<bool()> isPhotoLibraryAuthorized;
    // Whether the app was launched for a location change.
    std::function<bool()> isFromBackground;
    std::function<void(const std::string& category, const std::string& key)> recordCountEvent;
    std::function<std::shared_ptr<LMContactSyncAdapter>()> contactAdapter;
    std::function<std::shared_ptr<LMImageSyncAdapter>()> imageAdapter;

    static Services standard();
  };

  explicit LMBaseRootViewController(Services services = Services::standard());
  ~LMBaseRootViewController() override;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  bool shouldAutorotate() const override { return false; }
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override {
    return platform::ui::StatusBarStyle::LightContent;
  }
  unsigned supportedInterfaceOrientations() const override { return platform::ui::kOrientationMaskPortrait; }
  // The pages sit below the bar inside a view that fills the screen.
  bool extendsUnderNavigationBar() const override { return true; }

  void interfaceInitialize();
  void updateTabView();
  void updateMenuButton();
  void pushSettingsVC();
  void presentMenu();
  void passportDidLoginNotice();
  void passportLogoutNotice(const platform::Json& userInfo);
  void actionSheetClickedButtonAtIndex(platform::ui::AlertView& sheet, int buttonIndex);
  void alertViewClickedButtonAtIndex(platform::ui::AlertView& alert, int buttonIndex);

  void didControllerBeginSync(LMSynBaseViewController& controller) override;
  void didControllerEndSync(LMSynBaseViewController& controller) override;
  void didTabViewChangeSelectedTab(bool left) override;
  void scrollViewDidEndDragging(platform::ui::ScrollView& scrollView, bool willDecelerate) override;
  void scrollViewDidEndDecelerating(platform::ui::ScrollView& scrollView) override;

  const std::shared_ptr<platform::ui::ScrollView>& scrollView() const { return scrollView_; }
  const std::shared_ptr<LMRootViewController>& contactVC() const { return contactVC_; }
  const std::shared_ptr<LMGalleryRootViewController>& galleryVC() const { return galleryVC_; }
  const std::shared_ptr<LMNavTabView>& tabView() const { return tabView_; }
  const std::shared_ptr<platform::ui::Button>& menuButton() const { return menuButton_; }
  const std::shared_ptr<platform::ui::Button>& settingsButton() const { return settingsButton_; }

 protected:
  // The pages hear the container's appearance.
  void appear(bool animated) override;
  void disappear(bool animated) override;

 private:
  std::weak_ptr<LMBaseRootViewController> weakSelf();
  void logOutAccount(bool withHUD);
  void clearStores(bool withHUD);
  void showAlert(const std::string& titleKey, const std::string& otherKey);
  // Presents a scene of the storyboard from the navigation controller, with
  // its top screen set up by `prepare`; false when there is no such scene.
  bool presentScene(const std::string& identifier,
                    const std::function<void(platform::ui::ViewController& top)>& prepare,
                    std::function<void(platform::ui::ViewController& top)> completion = nullptr);

  Services services_;
  std::shared_ptr<platform::ui::ScrollView> scrollView_;
  std::shared_ptr<LMRootViewController> contactVC_;
  std::shared_ptr<LMGalleryRootViewController> galleryVC_;
  std::shared_ptr<LMNavTabView> tabView_;
  std::shared_ptr<platform::ui::Button> menuButton_;
  std::shared_ptr<platform::ui::Button> settingsButton_;
  std::vector<platform::ObserverToken> observers_;
};

}  // namespace lumora
