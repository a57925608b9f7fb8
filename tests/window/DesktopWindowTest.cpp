// The app's window on an X server of a given size (run under Xvfb by
// with-xvfb.sh --screen), used as a desktop user does, through xdotool: the
// server's own pointer clicks, wheel turns, focus changes and a resize of
// the kind a window manager makes. Every device opens whole on the screen,
// its bottom buttons take clicks, and the phone stays whole after a resize;
// the wheel scrolls the list under the pointer; coming back to the window
// is the app becoming active again. The device turned with the panel over
// a cloud album and Back: each upright page comes back whole, the window
// upright again, every panel row's label inside its row.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QRasterWindow>
#include <QScreen>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "cloud/model/LMContact.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbookui/PeoplePickerNavigationController.h"
#include "platform/app/Application.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/ScrollView.h"
#include "screens/common/LMStoryboard.h"
#include "platform/storage/UserDefaults.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/account/LMOTPViewController.h"
#include "screens/contacts/LMContactsTableViewController.h"
#include "screens/contacts/LMMergeSourceCell.h"
#include "screens/contacts/LMMergeSourceTableViewController.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/contacts/LMSyncLoadViewController.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "window/AppWindowState.h"

namespace e2e {
namespace {

namespace ab = platform::addressbook;
using lumora::LMBaseRootViewController;
using lumora::LMRootViewController;

constexpr std::int64_t kUser = 10001;

// xdotool with `args`; false when it failed (or is missing).
bool xdotool(const std::string& args) { return std::system(("xdotool " + args + " >/dev/null 2>&1").c_str()) == 0; }

lumora::LMContact cloudContact(int number) {
  lumora::LMContact contact;
  contact.givenName = "Person";
  contact.familyName = std::to_string(number);
  contact.name = "Person " + std::to_string(number);
  return contact;
}

std::shared_ptr<ui::ScrollView> firstScrollView(const std::shared_ptr<ui::View>& view) {
  if (auto scroll = std::dynamic_pointer_cast<ui::ScrollView>(view)) return scroll;
  for (const auto& child : view->subviews()) {
    if (auto found = firstScrollView(child)) return found;
  }
  return nullptr;
}

class DesktopWindowTest : public ::testing::TestWithParam<const char*> {
 protected:
  explicit DesktopWindowTest(const char* device = GetParam()) : harness_(device) {
    harness_.clock().setAutoAdvanceSleeps(true);
    EXPECT_TRUE(xdotool("version")) << "xdotool is not installed (make deps installs it)";
    EXPECT_TRUE(waitFor([&] { return window().isExposed(); }));
  }
  ~DesktopWindowTest() override { platform::Application::shared().resetForTesting(); }

  platform::uiqt::PhoneWindow& window() { return harness_.window(); }
  std::string windowId() { return std::to_string(window().winId()); }
  bool waitFor(const std::function<bool()>& pred) { return harness_.waitFor(pred); }

  // A click of the X server's pointer at the centre of `view`.
  void serverClick(const ui::View& view) {
    ASSERT_TRUE(E2EHarness::reachable(view)) << view.describeSelf();
    const QPointF at = window().windowPoint(E2EHarness::centre(view));
    ASSERT_TRUE(xdotool("mousemove --window " + windowId() + " " + std::to_string(static_cast<int>(at.x())) + " " +
                        std::to_string(static_cast<int>(at.y())) + " click 1"));
  }
  // A click of the X server's pointer on the panel's row `row`.
  void serverClickPanelRow(std::size_t row) {
    const QPointF at = window().panelRowRect(row).center();
    ASSERT_TRUE(xdotool("mousemove --window " + windowId() + " " + std::to_string(static_cast<int>(at.x())) + " " +
                        std::to_string(static_cast<int>(at.y())) + " click 1"));
  }
  // The bottom button of the front alert, clicked through the server.
  void answerFrontAlert() {
    const auto alert = ui::AlertView::visibleAlerts().back();
    const std::size_t before = ui::AlertView::visibleAlerts().size();
    auto button = E2EHarness::buttonTitled(alert->buttonTitles().back());
    ASSERT_TRUE(button);
    serverClick(*button);
    ASSERT_TRUE(waitFor([&] {
      const auto& shown = ui::AlertView::visibleAlerts();
      return shown.size() < before || (!shown.empty() && shown.back() != alert);
    }));
  }

  // The phone lies whole on the screen, and in the window.
  void expectWholePhoneOnScreen(const std::string& when) {
    SCOPED_TRACE(when);
    const QRect screen = window().screen()->geometry();
    const QRect frame = window().frameGeometry();
    EXPECT_TRUE(screen.contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width() << "x"
                                        << frame.height() << " on " << screen.width() << "x" << screen.height();
    const ui::Size points = ui::Screen::main().interfaceBounds().size();
    EXPECT_LE(points.width * window().phoneScale() + platform::uiqt::PhoneWindow::kPanelWidth, frame.width() + 1e-6);
    EXPECT_LE(points.height * window().phoneScale(), frame.height() + 1e-6);
  }

  // The window as the X server shows it now, written to `name` behind the
  // screen's size (to be looked at; the runs on each screen size go at the
  // same time in one folder).
  void saveLiveWindow(const std::string& name) {
    window().update();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) QGuiApplication::processEvents(QEventLoop::AllEvents, 20);
    const QSize screen = window().screen()->size();
    const QString file =
        QStringLiteral("%1x%2-").arg(screen.width()).arg(screen.height()) + QString::fromStdString(name);
    window().screen()->grabWindow(window().winId()).save(file);
  }

  // Access to the address book and the photo library, two contacts in the
  // cloud, the network Wi-Fi, signed in.
  void prepareSync() {
    ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
    ASSERT_TRUE(
        platform::photos::PhotoLibrary::setAuthorizationStatus(platform::photos::AuthorizationStatus::Authorized));
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    lumora::LMContactSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedRecordContext>());
    lumora::LMImageSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedAssetContext>());
    ASSERT_TRUE(harness_.signIn(kUser, "demo", "MDEyMzQ1Njc4OWFiY2RlZg=="));
    for (int i = 0; i < 2; ++i) addCloudContact();
  }
  void addCloudContact() {
    harness_.cloud().contacts().add(kUser, "contact",
                                    cloudContact(++cloudContacts_).dictionaryForLumoraJSON()["content"]);
  }

  // The app's screens, the first start's questions answered by their
  // bottom buttons.
  std::shared_ptr<LMBaseRootViewController> openApp() {
    auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
        lumora::LMStoryboard::instantiateInitialViewController());
    if (!navigation) return nullptr;
    harness_.showScreen(navigation);
    for (int i = 0; i < 5 && !ui::AlertView::visibleAlerts().empty(); ++i) answerFrontAlert();
    EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
    harness_.settle(1);
    return std::dynamic_pointer_cast<LMBaseRootViewController>(navigation->rootViewController());
  }

  // "立即同步" clicked through the server starts a sync, which ends in its
  // result alert; that and the progress screen's "完成" are clicked too.
  void syncByClicks(LMRootViewController& contacts) {
    serverClick(*contacts.syncButton());
    ASSERT_TRUE(waitFor([&] { return contacts.adapter()->isSyncing() || !ui::AlertView::visibleAlerts().empty(); }))
        << "the click did not start the sync";
    ASSERT_TRUE(waitFor([&] { return !contacts.adapter()->isSyncing() && !ui::AlertView::visibleAlerts().empty(); }));
    while (!ui::AlertView::visibleAlerts().empty()) answerFrontAlert();
    auto finish = contacts.syncLoadViewController()->finishSyncButton();
    ASSERT_TRUE(waitFor([&] { return E2EHarness::reachable(*finish); }));
    serverClick(*finish);
    ASSERT_TRUE(waitFor([&] { return !E2EHarness::reachable(*finish); })) << "完成 did not take the click";
  }

  E2EHarness harness_;
  AppWindowState state_;
  int cloudContacts_ = 0;
};

// Every device, at the screen the test runs on.
class FittedWindowTest : public DesktopWindowTest {};

TEST_P(FittedWindowTest, OpensWholeOnTheScreenAndStaysWholeWhenResized) {
  const double ownScale = ui::Screen::main().scale();
  EXPECT_LE(window().phoneScale(), ownScale);
  prepareSync();
  auto app = openApp();
  ASSERT_TRUE(app);
  expectWholePhoneOnScreen("opened");
  // As large as the screen allows: the phone's own scale, or the screen's
  // width or height taken up.
  const QRect screen = window().screen()->geometry();
  const QRect opened = window().frameGeometry();
  EXPECT_TRUE(window().phoneScale() == ownScale || opened.width() >= screen.width() - 1 ||
              opened.height() >= screen.height() - 1)
      << opened.width() << "x" << opened.height() << " at " << window().phoneScale();
  ASSERT_NO_FATAL_FAILURE(syncByClicks(*app->contactVC()));

  // Wider and lower, as a window manager may make it: the phone scales
  // with the height, whole, and its buttons still take clicks.
  const int width = std::min(screen.width(), opened.width() + 200);
  const int height = opened.height() * 3 / 4;
  ASSERT_TRUE(xdotool("windowsize --sync " + windowId() + " " + std::to_string(width) + " " +
                      std::to_string(height)));
  ASSERT_TRUE(waitFor([&] { return window().height() == height; }));
  expectWholePhoneOnScreen("resized");
  EXPECT_NEAR(ui::Screen::main().interfaceBounds().height * window().phoneScale(), height, 1);
  addCloudContact();
  ASSERT_NO_FATAL_FAILURE(syncByClicks(*app->contactVC()));
}

INSTANTIATE_TEST_SUITE_P(Devices, FittedWindowTest, ::testing::Values("320x480", "320x568", "375x667", "414x736"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), 'x', '_');
                           return "Phone" + name;
                         });

class DesktopHabitsTest : public DesktopWindowTest {
 protected:
  DesktopHabitsTest() : DesktopWindowTest("375x667") {}
};

TEST_F(DesktopHabitsTest, TheWheelScrollsTheListUnderThePointerWithinItsContent) {
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  {
    auto book = *ab::AddressBook::create();
    for (int i = 0; i < 300; ++i) {
      auto person = book->createPerson(book->sourceWithId(ab::kLocalSourceId));
      ASSERT_TRUE(person.ok());
      ASSERT_TRUE(cloudContact(i).mergeToLocalRecord(*person).ok());
    }
    ASSERT_TRUE(book->save().ok());
  }
  auto picker = platform::addressbookui::PeoplePickerNavigationController::create();
  harness_.showScreen(picker);
  ASSERT_EQ(picker->people().size(), 300u);
  auto list = firstScrollView(picker->topViewController()->view());
  ASSERT_TRUE(list);
  const QPointF middle = window().windowPoint(E2EHarness::centre(*list));
  ASSERT_TRUE(xdotool("mousemove --window " + windowId() + " " + std::to_string(static_cast<int>(middle.x())) + " " +
                      std::to_string(static_cast<int>(middle.y()))));
  const auto offset = [&] { return list->contentOffset().y; };
  const double top = offset();
  const auto bottom = [&] { return list->contentSize().height + list->contentInset().bottom - list->frame().height; };
  ASSERT_GT(bottom(), top + 1000) << "300 names are more than a screen";

  // Button 5 turns the wheel towards the user: the list moves on, notch by
  // notch; button 4 back, never above its top; many notches stop at the end.
  ASSERT_TRUE(xdotool("click --repeat 3 --delay 1 5"));
  EXPECT_TRUE(waitFor([&] { return offset() > top + 100; })) << offset();
  ASSERT_TRUE(xdotool("click --repeat 6 --delay 1 4"));
  EXPECT_TRUE(waitFor([&] { return offset() == top; })) << offset();
  const int notches = static_cast<int>((bottom() - top) / platform::uiqt::PhoneWindow::kWheelNotchPoints) + 20;
  ASSERT_TRUE(xdotool("click --repeat " + std::to_string(notches) + " --delay 1 5"));
  EXPECT_TRUE(waitFor([&] { return std::abs(offset() - bottom()) < 1e-6; }))
      << offset() << " of " << bottom();
}

TEST_F(DesktopHabitsTest, ComingBackToTheWindowIsTheAppBecomingActive) {
  prepareSync();
  auto app = openApp();
  ASSERT_TRUE(app);
  auto contacts = app->contactVC();
  ASSERT_NO_FATAL_FAILURE(syncByClicks(*contacts));
  const auto cloudCount = [&] { return contacts->serverNumLabel()->text(); };
  ASSERT_TRUE(waitFor([&] { return cloudCount() == "2"; })) << cloudCount();

  // Another phone adds a contact while the user is in another window.
  auto& application = platform::Application::shared();
  QRasterWindow other;
  other.resize(100, 100);
  other.show();
  ASSERT_TRUE(waitFor([&] { return other.isExposed(); }));
  ASSERT_TRUE(xdotool("windowfocus --sync " + windowId()));
  ASSERT_TRUE(waitFor([&] { return window().isActive(); }));
  ASSERT_TRUE(xdotool("windowfocus --sync " + std::to_string(other.winId())));
  ASSERT_TRUE(waitFor([&] { return application.applicationState() == platform::ApplicationState::Inactive; }));
  addCloudContact();
  harness_.settle(10);
  EXPECT_EQ(cloudCount(), "2") << "nothing asks the cloud while the app is not active";

  ASSERT_TRUE(xdotool("windowfocus --sync " + windowId()));
  ASSERT_TRUE(waitFor([&] { return application.applicationState() == platform::ApplicationState::Active; }));
  EXPECT_TRUE(waitFor([&] { return cloudCount() == "3"; })) << cloudCount();
}

// Import Contacts with sixty people in another source: the wheel, turned
// over the list of that source's people until it stops, shows the last
// of them whole, in either language.
TEST_F(DesktopHabitsTest, TheWheelBringsTheLastOfSixtyPeopleToImportWhollyIntoView) {
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  {
    auto book = *ab::AddressBook::create();
    auto work = book->addSource("Work", ab::SourceKind::CardDAV);
    ASSERT_TRUE(work.ok());
    for (int i = 1; i <= 60; ++i) {
      auto person = book->createPerson(*work);
      ASSERT_TRUE(person.ok());
      ASSERT_TRUE(cloudContact(i).mergeToLocalRecord(*person).ok());
    }
    ASSERT_TRUE(book->save().ok());
  }
  for (const char* language : {"zh-Hans", "en"}) {
    SCOPED_TRACE(language);
    platform::UserDefaults::standard().registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    ui::resetLocalizedStringsForTesting();
    auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
        lumora::LMStoryboard::instantiateViewControllerWithIdentifier("mergeSourceViewController"));
    ASSERT_TRUE(navigation);
    harness_.showScreen(navigation);
    auto sources = std::dynamic_pointer_cast<lumora::LMMergeSourceTableViewController>(navigation->topViewController());
    ASSERT_TRUE(sources);
    auto source = std::dynamic_pointer_cast<lumora::LMMergeSourceCell>(
        sources->tableView()->cellForRowAtIndexPath({0, 0}));
    ASSERT_TRUE(source);
    serverClick(*source->checkButton());
    std::shared_ptr<lumora::LMContactsTableViewController> people;
    ASSERT_TRUE(waitFor([&] {
      people = std::dynamic_pointer_cast<lumora::LMContactsTableViewController>(navigation->topViewController());
      return people != nullptr;
    }));
    auto list = people->tableView();
    ASSERT_EQ(list->numberOfRowsInSection(0), 60);
    const QPointF middle = window().windowPoint(E2EHarness::centre(*list));
    ASSERT_TRUE(xdotool("mousemove --window " + windowId() + " " + std::to_string(static_cast<int>(middle.x())) +
                        " " + std::to_string(static_cast<int>(middle.y()))));
    const int notches = static_cast<int>(list->contentSize().height / platform::uiqt::PhoneWindow::kWheelNotchPoints) + 20;
    ASSERT_TRUE(xdotool("click --repeat " + std::to_string(notches) + " --delay 1 5"));
    const auto lastRow = [&] {
      const ui::Rect row = list->rectForRowAtIndexPath({0, 59});
      const ui::Point top = list->convertPointToView(row.origin(), nullptr);
      return ui::Rect{top.x, top.y, row.width, row.height};
    };
    EXPECT_TRUE(waitFor([&] { return lastRow().maxY() <= ui::Screen::main().interfaceBounds().height; }))
        << "the 60th person ends at " << lastRow().maxY() << ", below the screen";
    EXPECT_GE(lastRow().y, navigation->navigationBar()->frame().maxY());
    harness_.settle(1);
    saveLiveWindow(std::string("window-import-last-row-") + language + ".png");
    harness_.closeScreen();
  }
}

// Photo Backup, the menu, My Cloud Albums, an album, the panel's device row
// (the album turns, and the window with it), Back, Back: My Cloud Albums
// and then the main pages upright, whole, the window upright on the
// screen, every bar button taking clicks; the panel's rows hold their
// labels. In both languages, through the X server's pointer.
TEST_F(DesktopHabitsTest, BackFromATurnedAlbumTurnsTheWindowBackWithEachUprightPage) {
  constexpr std::size_t kDeviceRow = 1;
  namespace photos = platform::photos;
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
  ASSERT_TRUE(harness_.signIn(kUser, "demo", "MDEyMzQ1Njc4OWFiY2RlZg=="));
  ASSERT_TRUE(harness_.addCloudAlbumWithAPhoto(kUser, "Family"));
  harness_.showAppPanel();
  const auto upright = [&] { return window().height() > window().width(); };
  // The panel as the X server shows it (once the window, fitted again,
  // has painted there).
  const auto panelInk = [&] {
    window().update();
    const int phone = static_cast<int>(window().panelRowRect(0).left()) - 10;
    const QImage live = window().screen()->grabWindow(window().winId()).toImage();
    std::vector<QRectF> rows;
    for (std::size_t i = 0; i < 4; ++i) {
      rows.push_back(window().panelRowRect(i).translated(-phone, 0).adjusted(8, 0, -8, 0));
    }
    return e2e::panelInk(live.copy(phone, 0, platform::uiqt::PhoneWindow::kPanelWidth, live.height()), rows);
  };
  for (const char* language : {"en", "zh-Hans"}) {
    SCOPED_TRACE(language);
    platform::UserDefaults::standard().registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({language})}});
    ui::resetLocalizedStringsForTesting();
    auto app = openApp();
    ASSERT_TRUE(app);
    auto navigation = app->navigationController();
    serverClick(*app->tabView()->rightButton());
    ASSERT_TRUE(waitFor([&] { return !app->tabView()->isSelectLeftTab(); }));
    serverClick(*app->menuButton());
    std::shared_ptr<ui::View> albumsItem;
    ASSERT_TRUE(waitFor([&] {
      albumsItem = E2EHarness::buttonTitled(ui::localizedString("查看我的云相册"));
      return albumsItem != nullptr;
    }));
    serverClick(*albumsItem);
    std::shared_ptr<ui::NavigationController> presented;
    std::shared_ptr<lumora::LMAlbumCollectionViewCell> cell;
    ASSERT_TRUE(waitFor([&] {
      presented = std::dynamic_pointer_cast<ui::NavigationController>(navigation->presentedViewController());
      auto albums = presented ? std::dynamic_pointer_cast<lumora::LMGalleryAlbumCollectionViewController>(
                                    presented->topViewController())
                              : nullptr;
      if (!albums || albums->collectionView()->numberOfItemsInSection(0) < 1) return false;
      cell = std::dynamic_pointer_cast<lumora::LMAlbumCollectionViewCell>(
          albums->collectionView()->cellForItemAtIndexPath({0, 0}));
      return cell != nullptr;
    }));
    auto albums = presented->topViewController();
    harness_.settle(1);
    serverClick(*cell->button());
    ASSERT_TRUE(waitFor([&] {
      auto top = presented->topViewController();
      return std::dynamic_pointer_cast<lumora::LMGalleryPhotoCollectionViewController>(top) != nullptr;
    }));
    harness_.settle(1);

    serverClickPanelRow(kDeviceRow);
    ASSERT_TRUE(waitFor([&] { return !upright(); })) << "the album did not turn";
    EXPECT_EQ(ui::Screen::main().interfaceOrientation(), ui::InterfaceOrientation::LandscapeLeft);
    expectWholePhoneOnScreen("the album turned");
    saveLiveWindow(std::string("window-turned-album-") + language + ".png");

    // Back: My Cloud Albums, upright; the panel says the page stays upright.
    serverClick(*E2EHarness::barItem(*presented, true));
    ASSERT_TRUE(waitFor([&] { return presented->topViewController() == albums && upright(); }))
        << "the window stayed turned";
    EXPECT_EQ(ui::Screen::main().interfaceOrientation(), ui::InterfaceOrientation::Portrait);
    expectWholePhoneOnScreen("My Cloud Albums");
    EXPECT_EQ(E2EHarness::misplaced(E2EHarness::shownControls(presented->navigationBar())),
              std::vector<std::string>{});
    e2e::PanelInk ink;
    EXPECT_TRUE(waitFor([&] {
      ink = panelInk();
      return ink.outside == 0 && std::all_of(ink.inRow.begin(), ink.inRow.end(), [](int in) { return in > 0; });
    })) << ink.outside << " pixels of a panel label outside its row";
    saveLiveWindow(std::string("window-turn-back-albums-") + language + ".png");

    // Back again: the main pages, upright, every button taking clicks.
    serverClick(*E2EHarness::barItem(*presented, true));
    ASSERT_TRUE(waitFor([&] { return !navigation->presentedViewController(); }));
    expectWholePhoneOnScreen("the main pages");
    EXPECT_EQ(E2EHarness::misplaced({app->settingsButton(), app->tabView()->leftButton(),
                                     app->tabView()->rightButton(), app->menuButton(), app->galleryVC()->backupButton}),
              std::vector<std::string>{});
    saveLiveWindow(std::string("window-turn-back-main-") + language + ".png");
    serverClick(*app->tabView()->leftButton());
    ASSERT_TRUE(waitFor([&] { return app->tabView()->isSelectLeftTab(); }));
    harness_.settle(1);
    EXPECT_EQ(E2EHarness::misplaced({app->contactVC()->syncButton()}), std::vector<std::string>{});
    serverClickPanelRow(kDeviceRow);
    ASSERT_TRUE(waitFor([] { return ui::Screen::main().deviceOrientation() == ui::InterfaceOrientation::Portrait; }));
    harness_.closeScreen();
  }
  platform::ReachabilityMonitor::sharedMonitor().stopMonitoring();
}

// Tab and Shift-Tab of the X server's keyboard move between a form's fields,
// in the order they stand; what is typed goes to the field moved to.
TEST_F(DesktopHabitsTest, TabAndShiftTabMoveBetweenTheFieldsOfEveryForm) {
  const auto key = [&](const std::string& keys) {
    ASSERT_TRUE(xdotool("key --window " + windowId() + " " + keys));
  };
  const auto type = [&](const std::string& text) {
    ASSERT_TRUE(xdotool("type --window " + windowId() + " " + text));
  };
  const auto focused = [] { return ui::Screen::main().firstResponder(); };
  // The sign-in form: name, then password; the captcha row once there is a captcha.
  auto scene = lumora::LMStoryboard::instantiateViewControllerWithIdentifier(
      lumora::LMLoginViewController::kSceneIdentifier);
  auto signIn = std::dynamic_pointer_cast<ui::NavigationController>(scene);
  if (!signIn) signIn = ui::NavigationController::withRoot(scene);
  harness_.showScreen(signIn);
  auto login = std::dynamic_pointer_cast<lumora::LMLoginViewController>(signIn->topViewController());
  ASSERT_TRUE(login);
  ASSERT_TRUE(xdotool("windowfocus --sync " + windowId()));
  serverClick(*login->nameTextField);
  ASSERT_TRUE(waitFor([&] { return focused() == login->nameTextField; }));
  type("alice");
  key("Tab");
  ASSERT_TRUE(waitFor([&] { return focused() == login->pwdTextField; })) << "Tab left the name field";
  type("secret");
  key("shift+Tab");
  ASSERT_TRUE(waitFor([&] { return focused() == login->nameTextField; }));
  type("2");
  EXPECT_TRUE(waitFor([&] { return login->nameTextField->text() == "alice2"; })) << login->nameTextField->text();
  EXPECT_EQ(login->pwdTextField->text(), "secret");
  harness_.settle(1);
  saveLiveWindow("window-sign-in-tab.png");
  harness_.closeScreen();

  // The two-step code: Tab focuses its field and stays within the form.
  // (The phone code's field shows only once a code was sent.)
  for (const char* scene : {lumora::LMOTPViewController::kSceneIdentifier}) {
    SCOPED_TRACE(scene);
    auto screen = lumora::LMStoryboard::instantiateViewControllerWithIdentifier(scene);
    ASSERT_TRUE(screen);
    harness_.showScreen(ui::NavigationController::withRoot(screen));
    harness_.settle(1);
    ui::Screen::main().setFirstResponder(nullptr);
    key("Tab");
    ASSERT_TRUE(waitFor([&] { return focused() != nullptr; })) << "Tab focused no field";
    auto first = focused();
    EXPECT_TRUE(first->isDescendantOf(*screen->view()));
    key("Tab");
    key("shift+Tab");
    EXPECT_TRUE(waitFor([&] { return focused() == first; }));
    harness_.closeScreen();
  }
}

}  // namespace
}  // namespace e2e
