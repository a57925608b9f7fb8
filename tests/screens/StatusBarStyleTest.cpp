// The status bar's style as the screens in front ask for it: light over
// the app's blue screens, dark over the light ones (a screen presented by a
// page inside the container decides too, and a plain navigation controller
// with its bar shown asks for the dark style whatever its screen says).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Window.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMContactsScenes.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMNavViewController.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

namespace ui = platform::ui;
using Style = ui::StatusBarStyle;

TEST(StatusBarStyleTest, EachScreenInFrontDecidesItsStyle) {
  testsupport::TestHome home;
  platform::MainQueue::main().bindToCurrentThread();
  ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
  LMGalleryStoreStack::setShared(nullptr);
  registerContactsScenes();
  registerGalleryScenes();
  auto services = LMBaseRootViewController::Services::standard();
  services.userId = [] { return std::optional<std::string>("10001"); };
  auto container = std::make_shared<LMBaseRootViewController>(services);
  auto app = LMNavViewController::withRoot(container);
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->setRootViewController(app);
  window->makeKeyAndVisible();
  platform::MainQueue::main().runUntilIdle();
  for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();
  auto& hud = LMProgressHUD::sharedHUD();

  std::shared_ptr<LMGalleryAlbumCollectionViewController> grid;
  const std::vector<std::tuple<std::string, std::function<void()>, Style>> steps = {
      {"the container's pages", [] {}, Style::LightContent},
      {"the login screen a page presents",
       [&] { container->contactVC()->presentViewController(LMNavViewController::withRoot(std::make_shared<LMLoginViewController>()), false); },
       Style::Default},
      {"the page again", [&] { container->contactVC()->dismissViewController(false); }, Style::LightContent},
      {"the HUD of removing all contacts",
       [&] {
         hud.statusBarStyle = Style::Default;
         container->contactVC()->removeAllContacts();
       },
       Style::LightContent},
      {"the settings",
       [&] {
         hud.resetForTesting();
         app->pushViewController(std::make_shared<LMSettingViewController>(), false);
       },
       Style::LightContent},
      {"the album grid",
       [&] {
         app->popViewController(false);
         auto scene = std::dynamic_pointer_cast<ui::NavigationController>(LMGalleryAlbumCollectionViewController::instantiateScene());
         grid = std::dynamic_pointer_cast<LMGalleryAlbumCollectionViewController>(scene->topViewController());
         app->presentViewController(scene, false);
       },
       Style::Default},
      {"an album's photos",
       [&] { grid->navigationController()->pushViewController(std::make_shared<LMGalleryPhotoCollectionViewController>(), false); },
       Style::Default},
      {"the merge screen",
       [&] {
         app->dismissViewController(false);
         app->presentViewController(LMStoryboard::instantiateViewControllerWithIdentifier("mergeViewController"), false);
       },
       Style::Default},
  };
  for (const auto& [what, step, style] : steps) {
    step();
    platform::MainQueue::main().runUntilIdle();
    EXPECT_EQ(ui::Screen::main().statusBarStyle(), style) << what;
    if (what == "the settings") {
      EXPECT_EQ(app->tintColor(), ui::Color::white()) << "white items over the blue bar";
    }
  }
  hud.resetForTesting();
  window->setHidden(true);
}

}  // namespace
}  // namespace lumora
