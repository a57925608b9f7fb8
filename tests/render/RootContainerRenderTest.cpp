// The app's main screen as the renderer paints it at 375 x 667: the bar's
// picture under the status bar, the left tab selected, and the menu sheet.
// Each is also written to render-<name>.png to look at.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Window.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "platform/uiqt/QtRenderer.h"
#include "screens/contacts/LMContactsScenes.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMNavViewController.h"
#include "render/TextFit.h"
#include "support/TestHome.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class RootContainerRenderTest : public ::testing::Test {
 protected:
  RootContainerRenderTest() {
    platform::uiqt::ensureGuiApplication();
    platform::MainQueue::main().bindToCurrentThread();
    ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    LMGalleryStoreStack::setShared(nullptr);
    registerContactsScenes();
    registerGalleryScenes();
  }
  ~RootContainerRenderTest() override {
    ui::AlertView::resetForTesting();
    LMGalleryStoreStack::setShared(nullptr);
    ui::TextMeasurer::setCurrent(nullptr);
    ui::Screen::main().resetForTesting();
  }
  QImage render(const char* name) {
    clock_->advance(platform::seconds(1));
    platform::MainQueue::main().runUntilIdle();
    window_->layoutIfNeeded();
    QImage image = renderer_.renderScreen();
    image.save(QString("render-%1.png").arg(name));
    for (const auto& window : ui::Screen::main().windows()) {
      for (const auto& misfit : testsupport::textMisfits(*window)) ADD_FAILURE() << name << ": " << misfit;
    }
    return image;
  }
  static QColor at(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(std::floor(x * 2)), static_cast<int>(std::floor(y * 2)));
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  platform::uiqt::Renderer renderer_;
  std::shared_ptr<ui::Window> window_;
};

TEST_F(RootContainerRenderTest, BarPictureLeftTabSelectedAndTheMenuSheet) {
  auto services = LMBaseRootViewController::Services::standard();
  services.userId = [] { return std::optional<std::string>("10001"); };
  auto container = std::make_shared<LMBaseRootViewController>(services);
  window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window_->setRootViewController(LMNavViewController::withRoot(container));
  window_->makeKeyAndVisible();
  platform::MainQueue::main().runUntilIdle();
  for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();  // the first-launch question
  QImage shot = render("root-container");
  // The bar's picture (not the plain bar's grey) beside the tab switch.
  const QColor bar = at(shot, 70, 60);
  EXPECT_NEAR(bar.red(), 0x23, 3);
  EXPECT_NEAR(bar.green(), 0x84, 3);
  EXPECT_NEAR(bar.blue(), 0xe6, 3);
  // The selected left half is washed lighter than the right one.
  auto& tabView = *container->tabView();
  const ui::Point origin = tabView.convertPointToView({0, 0}, nullptr);
  const double width = tabView.bounds().width;
  const QColor left = at(shot, origin.x + width / 4, origin.y + 4);
  const QColor right = at(shot, origin.x + width * 3 / 4, origin.y + 4);
  EXPECT_GT(left.red(), right.red() + 40);
  EXPECT_NEAR(right.red(), 0x23, 3);
  // The page below the bar.
  EXPECT_NEAR(at(shot, 10, 300).blue(), 0xf0, 3);

  container->presentMenu();
  QImage menu = render("root-container-menu");
  auto sheet = ui::AlertView::visibleAlerts();
  ASSERT_EQ(sheet.size(), 1u);
  EXPECT_EQ(sheet[0]->style(), ui::AlertView::Style::ActionSheet);
  // Four items and the cancel button rise from the bottom over the dimmed
  // screen.
  EXPECT_GT(at(menu, 187, 667 - 30).lightness(), 200);
  EXPECT_LT(at(menu, 10, 300).lightness(), at(shot, 10, 300).lightness());
}

// Signed out, the menu has nothing to offer on the gallery tab: its button
// is disabled and drawn faded, as the platform draws a disabled button.
TEST_F(RootContainerRenderTest, TheDisabledMenuButtonIsDrawnFaded) {
  auto services = LMBaseRootViewController::Services::standard();
  services.userId = [] { return std::optional<std::string>(); };
  auto container = std::make_shared<LMBaseRootViewController>(services);
  window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window_->setRootViewController(LMNavViewController::withRoot(container));
  window_->makeKeyAndVisible();
  platform::MainQueue::main().runUntilIdle();
  for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();
  // The lightest point of the button: its white picture, or what shows of it.
  auto lightest = [&](const QImage& image) {
    const auto& button = *container->menuButton();
    const ui::Point origin = button.convertPointToView({0, 0}, nullptr);
    int most = 0;
    for (double x = 0; x < button.bounds().width; x += 0.5) {
      for (double y = 0; y < button.bounds().height; y += 0.5) most = std::max(most, at(image, origin.x + x, origin.y + y).lightness());
    }
    return most;
  };
  ASSERT_TRUE(container->menuButton()->isEnabled());
  const int enabled = lightest(render("menu-enabled"));
  auto& tabView = *container->tabView();
  ui::Screen::main().tap(tabView.convertPointToView({tabView.bounds().width * 3 / 4, tabView.bounds().height / 2}, nullptr));
  ASSERT_FALSE(tabView.isSelectLeftTab());
  ASSERT_FALSE(container->menuButton()->isEnabled());
  const int disabled = lightest(render("menu-disabled"));
  EXPECT_GT(enabled, 230);
  EXPECT_LT(disabled, enabled - 40);
}

}  // namespace
}  // namespace lumora
