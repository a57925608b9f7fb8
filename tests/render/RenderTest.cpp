// The widgets as the renderer paints them, probed pixel by pixel at the
// colours and frames they are given (no golden images). Each screen is also
// written to render-<name>.png in the working folder, to look at.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

#include "account/KPAuthorizeDialog.h"
#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/media/Image.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/ViewController.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "platform/uiqt/QtRenderer.h"
#include "screens/common/LMCustomNavigationBar.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMSyncAnimationView.h"
#include "screens/contacts/LMMergeContactCell.h"
#include "screens/contacts/LMPhotoSelectView.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMSynBaseViewController.h"
#include "render/TextFit.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class RenderTest : public ::testing::Test {
 protected:
  RenderTest() {
    platform::uiqt::ensureGuiApplication();
    ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("320x480"));
  }
  ~RenderTest() override {
    LMProgressHUD::sharedHUD().resetForTesting();
    ui::TextMeasurer::setCurrent(nullptr);
    ui::resetLocalizedStringsForTesting();
  }
  // A white app screen under whatever is shown.
  void showAppScreen(const ui::Color& colour = ui::Color::white()) {
    window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    auto root = std::make_shared<ui::ViewController>();
    root->view()->setBackgroundColor(colour);
    window_->setRootViewController(root);
    window_->makeKeyAndVisible();
  }
  QImage render(const char* name) {
    clock_->advance(platform::seconds(1));  // every fade done
    QImage image = renderer_.renderScreen();
    image.save(QString("render-%1.png").arg(name));
    for (const auto& window : ui::Screen::main().windows()) {
      for (const auto& misfit : testsupport::textMisfits(*window)) ADD_FAILURE() << name << ": " << misfit;
    }
    return image;
  }
  // The pixel at a point of the screen (points; 2 pixels each).
  static QColor at(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(std::floor(x * 2)), static_cast<int>(std::floor(y * 2)));
  }
  static void expectNear(const QColor& got, int r, int g, int b, const char* what) {
    EXPECT_NEAR(got.red(), r, 2) << what;
    EXPECT_NEAR(got.green(), g, 2) << what;
    EXPECT_NEAR(got.blue(), b, 2) << what;
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  platform::uiqt::Renderer renderer_;
  std::shared_ptr<ui::Window> window_;
};

// A picture as stored in its file and the same picture turned upright by
// the image library come out alike in each of the eight orientations.
TEST_F(RenderTest, StoredPicturesAreTurnedAsTheirOrientationSays) {
  // 40 x 40 stored: red over the top left, blue over the top right, black below.
  auto halves = platform::Image::imageWithData(testsupport::makeJpeg(40, 20));
  ASSERT_TRUE(halves.ok());
  auto drawn = halves->drawnInto(40, 40, 0, 0, 40, 20);
  ASSERT_TRUE(drawn.ok());
  auto stored = platform::Image::imageWithData(*drawn->JPEGRepresentation(1.0));
  ASSERT_TRUE(stored.ok() && stored->encodedData());
  for (int exif = 1; exif <= 8; ++exif) {
    const platform::Image shown = stored->withOrientation(platform::imageOrientationFromExif(exif));
    const platform::Image upright = shown.uprightImage();
    ASSERT_FALSE(upright.encodedData());
    QImage pictures[2];
    for (int which = 0; which < 2; ++which) {
      auto view = std::make_shared<ui::ImageView>(ui::Image::imageWithBitmap(which ? upright : shown));
      view->setFrame({0, 0, 40, 40});
      pictures[which] = renderer_.renderView(*view, 1);
    }
    for (int y = 5; y < 40; y += 10) {
      for (int x = 5; x < 40; x += 10) {
        const QColor a = pictures[0].pixelColor(x, y);
        const QColor b = pictures[1].pixelColor(x, y);
        EXPECT_NEAR(a.red(), b.red(), 24) << "orientation " << exif << " at " << x << "," << y;
        EXPECT_NEAR(a.blue(), b.blue(), 24) << "orientation " << exif << " at " << x << "," << y;
      }
    }
  }
}

// Over white: 30% black gives 179; the panel "faffffff" over that, 254.
constexpr int kDimmed = 179;
constexpr int kPanel = 254;

TEST_F(RenderTest, HudPanelsSitInTheMiddleOverThirtyPercentBlack) {
  showAppScreen();
  LMProgressHUD::sharedHUD().showWithTitle("正在登录");
  QImage spinner = render("hud");
  // 200 x 140 around the middle (160, 240): x 60..260, y 170..310.
  for (auto [x, y, inside] : std::vector<std::tuple<double, double, bool>>{
           {60.5, 240, true}, {259.5, 240, true}, {59.5, 240, false}, {260.5, 240, false},
           {160, 175, true}, {160, 169.5, false}, {30, 300, false}, {160, 309.5, true}, {160, 310.5, false}}) {
    int level = inside ? kPanel : kDimmed;
    expectNear(at(spinner, x, y), level, level, level, inside ? "panel" : "dimmed screen");
  }

  platform::UserDefaults::standard().registerDefaults({{platform::UserDefaults::kAppleLanguagesKey,
                                                        platform::Json::array({"zh-Hans"})}});
  ui::resetLocalizedStringsForTesting();
  LMProgressHUD::sharedHUD().showProgressWithTitle("下载", 4096, ui::kOrientationMaskPortrait, nullptr, nullptr);
  QImage panel = render("hud-progress");
  // The line at y 109 of the panel (panel at y 170), and the stop button's
  // title "停止" below it in "1c65c5".
  expectNear(at(panel, 100, 170 + 109.2), 0xa4, 0xa4, 0xa4, "line");
  expectNear(at(panel, 100, 170 + 108.5), kPanel, kPanel, kPanel, "above the line");
  int blue = 0;
  for (int y = (170 + 110) * 2; y < (170 + 150) * 2; ++y) {
    for (int x = 60 * 2; x < 260 * 2; ++x) {
      QColor c = panel.pixelColor(x, y);
      if (c.blue() - c.red() > 60) ++blue;
    }
  }
  EXPECT_GT(blue, 60) << "the title is drawn in blue";
  EXPECT_EQ(LMProgressHUD::sharedHUD().progressViewController()->button->title(), "停止");
}

// The overlay sign-in panel once its bounce is over: grey 0.3 at 0.8 over
// the white screen (112), its one-point border in opaque grey 0.3 (77) one
// point below the top and along the other edges, and the close picture (a
// dark disc with a white cross) in the 29-point square at the top right.
TEST_F(RenderTest, AuthorizeDialogPanelFillBorderAndCloseButton) {
  // The panel goes on the application's key window: that one is shown.
  auto screen = std::make_shared<ui::ViewController>();
  screen->view()->setBackgroundColor(ui::Color::white());
  platform::Application::shared().keyWindow()->setRootViewController(screen);
  platform::Application::shared().keyWindow()->makeKeyAndVisible();
  auto dialog = KPAuthorizeDialog::create("https://account.test/authorize", platform::Json::object(), {},
                                          std::nullopt, {});
  dialog->show();
  for (double step : {0.2, 0.15, 0.15}) {
    clock_->advance(platform::seconds(step));
    platform::MainQueue::main().runUntilIdle();
  }
  QImage image = render("authorize-dialog");
  const ui::Rect panel = dialog->frame();  // (0, 20, 320, 460)
  const double top = panel.y;
  const double bottom = panel.y + panel.height;
  for (auto [x, y, level, what] : std::vector<std::tuple<double, double, int, const char*>>{
           {80, top + 300, 112, "sheet"},
           {100, top + 0.25, 112, "sheet above the border"},
           {100, top + 1.25, 77, "top border"},
           {0.25, top + 200, 77, "left border"},
           {0.75, top + 200, 112, "sheet inside the left border"},
           {319.75, top + 200, 77, "right border"},
           {100, bottom - 0.25, 77, "bottom border"},
           {100, top - 0.5, 255, "screen above the panel"},
           {304.5, top + 1 + 14.5, 255, "cross at the button's middle"},
           {304.5, top + 1 + 7.5, 58, "disc above the cross"},
       }) {
    expectNear(at(image, x, y), level, level, level, what);
  }
  EXPECT_EQ(dialog->subviews().front(), dialog->webView());
  dialog->_hide();
  platform::Application::shared().resetForTesting();
}

TEST_F(RenderTest, PulseRingsAreDrawnAtTheirRadii) {
  auto pulse = LMSyncAnimationView::create({0, 0, 300, 300});
  pulse->setBackgroundColor(ui::Color::black());
  pulse->setImage(pulse->imageWithAnimateProcess(0));
  QImage image = renderer_.renderView(*pulse, 2);
  image.save("render-rings.png");
  // Centre at 300 px; inner ring 180 px (2 px wide, 55% white), outer 200 px
  // (1 px wide, 15% white).
  auto level = [&](int dx) { return image.pixelColor(300 + dx, 300).red(); };
  EXPECT_NEAR(level(180), 0.55 * 255, 30);
  EXPECT_NEAR(level(-180), 0.55 * 255, 30);
  EXPECT_GT(level(200), 15);
  EXPECT_LT(level(200), 0.15 * 255 + 15);
  for (int gap : {170, 190, 210, 250, 0}) EXPECT_LT(level(gap), 5) << gap;
}

TEST_F(RenderTest, NavigationBarIsTranslucentWhiteWithAGreyBottomLine) {
  showAppScreen({1, 0, 0, 1});
  auto bar = LMCustomNavigationBar::create();
  bar->setFrame({0, 0, 320, 64});
  window_->addSubview(bar);
  QImage image = render("navbar");
  // "d0ffffff" over red: 208 of white.
  expectNear(at(image, 160, 40), 255, 208, 208, "bar");
  expectNear(at(image, 160, 63.5), 0xa3, 0xa3, 0xa3, "line");
  expectNear(at(image, 160, 64.5), 255, 0, 0, "below the bar");
}

TEST_F(RenderTest, MergeGroupLinesDropButtonAndChosenPhotoBorder) {
  showAppScreen(ui::colorWithHexString("efeff4"));
  std::vector<LMContact> contacts(3);
  for (int i = 0; i < 3; ++i) {
    contacts[static_cast<std::size_t>(i)].recordID = i + 1;
    contacts[static_cast<std::size_t>(i)].name = "Ann Lee";
  }
  auto cell = LMMergeContactCell::create("mergeContactCell");
  cell->setFrame({0, 0, 320, 51 * 3 + 62});
  cell->addButton()->setHidden(true);
  cell->setMergeObject(std::make_shared<LMMergeManagedObject>(contacts));
  window_->addSubview(cell);
  ui::DisplayList picture;
  picture.fillRect({0, 0, 80, 80}, {0, 0.5, 0, 1});
  auto chooser = LMPhotoSelectView::create({0, 250, 320, 87},
                                           {ui::Image::imageWithPicture(picture, {80, 80}),
                                            ui::Image::imageWithPicture(picture, {80, 80})});
  window_->addSubview(chooser);
  QImage image = render("merge-group");
  for (double line : {0.5, 51.5, 102.5, 153.5}) expectNear(at(image, 200, line), 0xc8, 0xc7, 0xcc, "line");
  expectNear(at(image, 200, 26), 255, 255, 255, "tile");
  int red = 0;
  for (int x = 0; x < 320; ++x) {
    for (int y = 2 * 154; y < 2 * 199; ++y) {
      QColor c = image.pixelColor(x, y);
      if (std::abs(c.red() - 0xfd) < 6 && std::abs(c.green() - 0x47) < 12 && std::abs(c.blue() - 0x28) < 12) ++red;
    }
  }
  EXPECT_GT(red, 10) << "the drop button's title";
  // The chosen photo (the first) at 15, 5 of the white area (y 36 of the view).
  expectNear(at(image, 15.2, 250 + 36 + 25), 0x0d, 0x7a, 0xff, "chosen border");
  expectNear(at(image, 77.7, 250 + 36 + 25), 255, 255, 255, "the other has no border");
}

TEST_F(RenderTest, LocationBarIsYellowAndSwitchesUseTheBlueTint) {
  auto page = std::make_shared<LMSynBaseViewController>();
  window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window_->setRootViewController(page);
  window_->makeKeyAndVisible();
  page->view()->setBackgroundColor(ui::Color::white());
  page->addNotifyView();
  QImage bar = render("location-bar");
  expectNear(at(bar, 200, 30), 255, 255, 0, "bar");
  expectNear(at(bar, 200, 44.5), 255, 255, 0, "last row of the bar");
  expectNear(at(bar, 200, 45.5), 255, 255, 255, "below the bar");

  LMAppSettingConfig::sharedConfig().setAutoBackupContacts(true);
  auto settings = std::make_shared<LMSettingViewController>();
  window_->setRootViewController(settings);
  auto cell = settings->tableView()->cellForRowAtIndexPath({1, 0});
  ASSERT_TRUE(cell);
  auto toggle = cell->accessoryView()->frame();
  QImage screen = render("settings");
  expectNear(at(screen, toggle.x + 6, cell->frame().y + cell->frame().height / 2), 0x2c, 0x8e, 0xfc, "switch on");
}

TEST_F(RenderTest, ContactsPageAtFourSizesWithItsProgressRings) {
  struct Size {
    const char* profile;
    double logoTop;
  };
  for (const auto& size : std::vector<Size>{{"320x480", 50}, {"320x568", 83}, {"375x667", 109}, {"414x736", 136}}) {
    SCOPED_TRACE(size.profile);
    ui::Screen::main().setProfile(*ui::DeviceProfile::named(size.profile));
    auto page = std::make_shared<LMRootViewController>();
    window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    window_->setRootViewController(page);
    window_->makeKeyAndVisible();
    for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();
    page->removeNotifyView();
    page->locationView()->removeFromSuperview();
    QImage image = render((std::string("contacts-") + size.profile).c_str());
    const double scale = image.width() / ui::Screen::main().bounds().width;
    auto px = [&](double x, double y) {
      return image.pixelColor(static_cast<int>(std::floor(x * scale)), static_cast<int>(std::floor(y * scale)));
    };
    expectNear(px(4, ui::Screen::main().bounds().height / 2), 0x27, 0x8f, 0xf0, "background");

    const ui::Rect logo = page->imageView()->frame();
    EXPECT_EQ(logo.y, size.logoTop);
    expectNear(px(logo.midX(), logo.y + logo.height / 2), 255, 255, 255, "logo's cloud");
    expectNear(px(logo.midX(), logo.y - 1), 0x27, 0x8f, 0xf0, "above the logo");

    // The title sits in the middle of the 165 x 50 image.
    auto button = page->syncButton();
    const ui::Rect title = button->titleLabel()->frame();
    EXPECT_NEAR(title.midX(), 82.5, 0.5);
    EXPECT_NEAR(title.midY(), 25, 0.5);
    expectNear(px(button->frame().x + 10, button->frame().y + 25), 255, 255, 255, "button image");
    int blue = 0;
    for (double x = title.x; x < title.maxX(); x += 0.5) {
      for (double y = title.y; y < title.maxY(); y += 0.5) {
        QColor c = px(button->frame().x + x, button->frame().y + y);
        blue += c.blue() - c.red() > 100;
      }
    }
    EXPECT_GT(blue, 20) << "the title in blue";

    // The progress screen's rings at phase 0: the inner one 90 points out.
    page->hideSyncLoadViewController(false);
    page->syncLoadViewController()->beginSyncAnimation();
    QImage rings = renderer_.renderScreen();
    rings.save(QString("render-contacts-progress-%1.png").arg(size.profile));
    const auto pulse = page->syncLoadViewController()->animationView()->frame();
    auto ring = rings.pixelColor(static_cast<int>((pulse.midX() + 90) * scale), static_cast<int>(pulse.midY() * scale));
    auto gap = rings.pixelColor(static_cast<int>((pulse.midX() + 80) * scale), static_cast<int>(pulse.midY() * scale));
    EXPECT_GT(ring.red(), gap.red() + 40) << "the inner ring";
    expectNear(gap, 0x27, 0x8f, 0xf0, "inside the ring");
    window_->setHidden(true);
    // The page's first appearance waits on the main queue from the adapter's.
    std::atomic<bool> drained{false};
    LMRootViewController::adapter()->performTaskBlock([&] { drained = true; });
    while (!drained) {
      platform::MainQueue::main().runUntilIdle();
      std::this_thread::yield();
    }
  }
}

// Without address-book access only the cloud's count is known; the local
// one still shows (0) in its half, not a lone number right of the middle.
TEST_F(RenderTest, ContactsPageShowsBothCountsWithoutAddressBookAccess) {
  ui::Screen::main().setProfile(*ui::DeviceProfile::named("414x736"));
  auto page = std::make_shared<LMRootViewController>();
  window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window_->setRootViewController(page);
  window_->makeKeyAndVisible();
  for (auto& alert : ui::AlertView::visibleAlerts()) alert->dismiss();
  std::atomic<bool> drained{false};
  LMRootViewController::adapter()->performTaskBlock([&] { drained = true; });
  while (!drained) std::this_thread::yield();
  platform::MainQueue::main().runUntilIdle();
  QImage image = render("contacts-counts");
  const double scale = image.width() / ui::Screen::main().bounds().width;
  for (const auto& label : {page->localNumLabel(), page->serverNumLabel()}) {
    const ui::Rect frame = label->frame();
    int white = 0;
    for (double x = frame.x; x < frame.maxX(); x += 0.5) {
      for (double y = frame.y; y < frame.maxY(); y += 0.5) {
        QColor c = image.pixelColor(static_cast<int>(x * scale), static_cast<int>(y * scale));
        white += c.red() > 230 && c.green() > 230 && c.blue() > 230;
      }
    }
    EXPECT_GT(white, 20) << "a count in white in " << (label == page->localNumLabel() ? "the left" : "the right")
                         << " half";
  }
  window_->setHidden(true);
}

TEST_F(RenderTest, GalleryPageSetsItsCountAndPicturePerScreenHeight) {
  struct Case {
    const char* device;
    double offset;
    double pictureWidth;
  };
  for (const Case& c : {Case{"320x480", 32, 120}, Case{"320x568", 36, 120}, Case{"375x667", 68, 140},
                        Case{"414x736", 104, 160}}) {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named(c.device));
    auto page = std::make_shared<LMGalleryRootViewController>();
    window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    window_->setRootViewController(page);
    window_->makeKeyAndVisible();
    EXPECT_EQ(page->numLabel->frame().y, c.offset) << c.device;
    const ui::Rect picture = page->imageView->frame();
    EXPECT_EQ(picture.width, c.pictureWidth) << c.device;
    // The picture between the text under the count and the button.
    EXPECT_GE(picture.y, page->numInfoLabel->frame().maxY()) << c.device;
    EXPECT_LE(picture.maxY(), page->backupButton->frame().y) << c.device;
    QImage screen = render((std::string("gallery-") + c.device).c_str());
    const double scale = static_cast<double>(screen.width()) / ui::Screen::main().bounds().width;
    auto probe = [&](double x, double y) {
      return screen.pixelColor(static_cast<int>(x * scale), static_cast<int>(y * scale));
    };
    const double k = c.pictureWidth / 120;
    expectNear(probe(picture.x + 10 * k, picture.y + 20 * k), 255, 255, 255, c.device);
    expectNear(probe(2, picture.y + 20 * k), 0x27, 0x8f, 0xf0, c.device);
    // The count's digits begin below the location notice bar's 45 points.
    const ui::Rect count = page->numLabel->frame();
    double inkTop = count.maxY();
    for (double y = count.y; y < count.maxY() && inkTop == count.maxY(); y += 0.5) {
      for (double x = count.x; x < count.maxX(); x += 0.5) {
        if (probe(x, y).lightness() > 240) {
          inkTop = y;
          break;
        }
      }
    }
    EXPECT_LT(inkTop, count.maxY()) << c.device << ": the count is drawn";
    EXPECT_GE(inkTop, 45) << c.device;
  }
}


// What lands on whole device pixels is copied or filled as pixels, and a
// picture drawn one to one off the pixel grid is resampled once and then
// copied; each comes out exactly as Qt draws it itself, also after the
// picture moves to another fraction of a pixel, and when it is scaled.
TEST_F(RenderTest, PicturesAndFillsOnAndOffThePixelGridComeOutAsQtDrawsThem) {
  const platform::Bytes jpeg = testsupport::makeJpeg(24, 24);
  QImage picture;
  ASSERT_TRUE(picture.loadFromData(reinterpret_cast<const uchar*>(jpeg.data()), static_cast<int>(jpeg.size())));
  picture.convertTo(QImage::Format_ARGB32_Premultiplied);
  auto canvas = std::make_shared<ui::View>();
  canvas->setFrame({0, 0, 40, 40});
  canvas->setBackgroundColor(ui::Color::white());
  auto fill = std::make_shared<ui::View>();
  fill->setBackgroundColor(ui::colorWithHexString("803366cc"));
  auto view = std::make_shared<ui::ImageView>(ui::Image::imageWithBitmap(*platform::Image::imageWithData(jpeg)));
  canvas->addSubview(fill);
  canvas->addSubview(view);
  const std::vector<std::pair<ui::Rect, double>> cases = {
      {{3, 4, 12, 12}, 1},        {{3 + 1.0 / 3, 4, 12, 12}, 1}, {{3 + 2.0 / 3, 4.25, 12, 12}, 1},
      {{3.5, 4.5, 12, 12}, 1},    {{3.25, 4.5, 15, 9}, 1},       {{3 + 2.0 / 3, 4.25, 12, 12}, 0.5},
      {{3, 4, 12, 12}, 0.5}};
  for (const auto& [frame, alpha] : cases) {
    view->setFrame(frame);
    view->setAlpha(alpha);
    fill->setFrame({frame.x + 20, frame.y + 20, frame.width, 7});
    QImage expected(80, 80, QImage::Format_ARGB32_Premultiplied);
    expected.fill(Qt::transparent);
    QPainter painter(&expected);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.scale(2, 2);
    for (const auto& [at, size, drawn] : {std::tuple{ui::Point{0, 0}, ui::Size{40, 40}, false},
                                          std::tuple{fill->frame().origin(), fill->frame().size(), false},
                                          std::tuple{frame.origin(), frame.size(), true}}) {
      painter.save();
      painter.translate(at.x, at.y);
      const QRectF rect(0, 0, size.width, size.height);
      if (drawn) {
        painter.setOpacity(alpha);
        painter.drawImage(rect, picture);
      } else {
        QPainterPath path;
        path.addRect(rect);
        painter.fillPath(path, at.x == 0 ? QColor(Qt::white) : QColor::fromRgb(0x33, 0x66, 0xcc, 0x80));
      }
      painter.restore();
    }
    painter.end();
    for (int pass = 0; pass < 2; ++pass) {  // the second from what the first kept
      const QImage drawn = renderer_.renderView(*canvas, 2).convertToFormat(QImage::Format_ARGB32_Premultiplied);
      int differing = 0;
      for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 80; ++x) differing += drawn.pixel(x, y) != expected.pixel(x, y) ? 1 : 0;
      }
      EXPECT_EQ(differing, 0) << "at " << frame.x << "," << frame.y << " " << frame.width << "x" << frame.height
                              << " alpha " << alpha << " pass " << pass;
    }
  }
}

}  // namespace
}  // namespace lumora
