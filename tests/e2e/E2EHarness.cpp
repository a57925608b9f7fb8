#include "e2e/E2EHarness.h"

#include "support/MainQueuePump.h"

#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/WindowPanel.h"
#include "cloud/model/LMBlockDigests.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/AppHome.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Control.h"
#include "platform/ui/Resources.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "server/services/GalleryService.h"
#include "support/TestMedia.h"
#include "utils/ServiceHosts.h"

namespace e2e {

E2EHarness::E2EHarness(const std::string& profile) {
  std::string error;
  server_ = localcloud::CloudServer::create(home_.root() / "cloud", &error);
  if (!server_ || !server_->start(0, &error)) {
    ADD_FAILURE() << "the local cloud did not start: " << error;
  } else {
    lumora::ServiceHosts::setAll(server_->url());
  }
  platform::MainQueue::main().bindToCurrentThread();
  platform::uiqt::ensureGuiApplication();
  ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
  if (auto device = ui::DeviceProfile::named(profile)) ui::Screen::main().setProfile(*device);
  window_ = std::make_unique<platform::uiqt::PhoneWindow>(false);
  window_->show();
  QGuiApplication::processEvents();
}

E2EHarness::~E2EHarness() {
  // The shared contact adapter outlives the test: let what it queued
  // finish, then drop the record store it opened in this test's home and the
  // screen it reports to, so the next test's sync starts from its own.
  auto contacts = lumora::LMContactSyncAdapter::sharedAdapter();
  runUntil([&] { return contacts->taskOperationQueue().operationCount() == 0; }, 30);
  contacts->setDelegate(nullptr);
  contacts->setContext(nullptr);
  window_.reset();
  if (appWindow_) appWindow_->setHidden(true);
  ui::TextMeasurer::setCurrent(nullptr);
  lumora::ServiceHosts::reset();
  if (server_) server_->stop();
}

void E2EHarness::showScreen(std::shared_ptr<ui::ViewController> root) {
  appWindow_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  appWindow_->setRootViewController(std::move(root));
  appWindow_->makeKeyAndVisible();
  runUntil([] { return true; });
}

void E2EHarness::closeScreen() {
  if (appWindow_) appWindow_->setHidden(true);
  appWindow_.reset();
  runUntil([] { return true; });
}

bool E2EHarness::signIn(std::int64_t userId, const std::string& name, const std::string& ssecurity) {
  if (!server_ || !server_->seedAccount(userId, name, name + "-password")) return false;
  localcloud::LoginGrant grant;
  grant.userId = userId;
  grant.serviceId = "lumora";
  grant.ssecurity = ssecurity;
  auto manager = lumora::QBPassportsManager::sharedManager();
  manager->setUserId(std::to_string(userId));
  auto passport = manager->passportForSid("lumora", std::to_string(userId));
  if (!passport) return false;
  passport->setServiceToken(server_->store().issueServiceToken(grant));
  passport->setSSecurity(ssecurity);
  return true;
}

void E2EHarness::mouse(QEvent::Type type, ui::Point point, std::uint64_t stamp) {
  mouseAt(type, window_->windowPoint(point), stamp);
}

void E2EHarness::mouseAt(QEvent::Type type, QPointF at, std::uint64_t stamp) {
  QPointF global = window_->mapToGlobal(at);
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, at, global, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                    Qt::NoModifier);
  event.setTimestamp(stamp);
  QGuiApplication::sendEvent(window_.get(), &event);
}

bool E2EHarness::addCloudAlbumWithAPhoto(std::int64_t userId, const std::string& name) {
  auto& records = server_->gallery().records();
  if (!records.ensureUser(userId)) return false;
  const auto album = records.createAlbum(userId, name, name).album.id;
  const platform::Bytes data = testsupport::makeJpeg(48, 36);
  const std::filesystem::path path = platform::AppHome::tmp() / (name + ".JPG");
  testsupport::writeFile(path, data);
  const lumora::LMBlockDigests digests = lumora::digestBlocksOfData(data);
  lumora::LMImage image;
  image.assetID = name;
  image.serverGroupID = album;
  image.fileName = name + ".JPG";
  image.type = lumora::kLMAssetTypeImage;
  image.size = static_cast<std::int64_t>(data.size());
  image.sha1 = digests.sha1;
  image.blockInfos = digests.blockInfos;
  image.filePath = path.string();
  bool stored = false;
  lumora::LMImageSyncAdapter::sharedAdapter()->uploadImage(
      image, [&](const lumora::LMImage&) { stored = true; }, [](const platform::Error&) {});
  return stored;
}

std::vector<std::shared_ptr<ui::View>> E2EHarness::shownControls(const std::shared_ptr<ui::View>& view) {
  std::vector<std::shared_ptr<ui::View>> out;
  if (view->isHidden() || view->alpha() <= 0) return out;
  if (dynamic_cast<ui::Control*>(view.get())) out.push_back(view);
  for (const auto& child : view->subviews()) {
    for (auto& control : shownControls(child)) out.push_back(std::move(control));
  }
  return out;
}

std::vector<std::string> E2EHarness::misplaced(const std::vector<std::shared_ptr<ui::View>>& controls) {
  const auto& screen = ui::Screen::main();
  const ui::Rect window = screen.interfaceBounds();
  const double below = screen.isStatusBarHidden() ? 0 : ui::kStatusBarHeight;
  std::vector<std::string> out;
  for (const auto& control : controls) {
    const ui::Point origin = control->convertPointToView({0, 0}, nullptr);
    const ui::Rect at{origin.x, origin.y, control->frame().width, control->frame().height};
    if (at.y < below) out.push_back(control->describeSelf() + " under the status bar");
    if (at.x < 0 || at.maxX() > window.width || at.maxY() > window.height) {
      out.push_back(control->describeSelf() + " outside the window");
    }
    if (!reachable(*control)) out.push_back(control->describeSelf() + " out of reach");
  }
  return out;
}

void E2EHarness::showAppPanel() {
  std::vector<platform::uiqt::PanelEntry> entries;
  for (auto& row : lumora::windowPanelRows()) entries.push_back({std::move(row.label), std::move(row.action)});
  window_->setPanelEntries(std::move(entries));
}

void E2EHarness::clickPanelRow(std::size_t row) {
  const QPointF at = window_->panelRowRect(row).center();
  mouseAt(QEvent::MouseButtonPress, at);
  mouseAt(QEvent::MouseButtonRelease, at);
  runUntil([] { return true; });
}

PanelInk panelInk(const QImage& panel, const std::vector<QRectF>& rows) {
  PanelInk ink;
  ink.inRow.assign(rows.size(), 0);
  for (int y = 0; y < panel.height(); ++y) {
    for (int x = 0; x < panel.width(); ++x) {
      const QColor c = panel.pixelColor(x, y);
      // The rows and the panel are dark grey; the labels white.
      if (std::min({c.red(), c.green(), c.blue()}) < 0x90) continue;
      const QPointF at(x + 0.5, y + 0.5);
      const auto row = std::find_if(rows.begin(), rows.end(), [&](const QRectF& r) { return r.contains(at); });
      if (row == rows.end()) {
        ++ink.outside;
      } else {
        ++ink.inRow[static_cast<std::size_t>(row - rows.begin())];
      }
    }
  }
  return ink;
}

ui::Point E2EHarness::centre(const ui::View& view) {
  const ui::Rect frame = view.frame();
  auto parent = view.superview();
  return parent ? parent->convertPointToView({frame.midX(), frame.midY()}, nullptr) : frame.center();
}

void E2EHarness::click(ui::Point point) {
  mouse(QEvent::MouseButtonPress, point);
  mouse(QEvent::MouseButtonRelease, point);
  runUntil([] { return true; });
}

bool E2EHarness::reachable(const ui::View& view) {
  for (const ui::View* v = &view; v; v = v->superview().get()) {
    if (v->isHidden() || v->alpha() <= 0) return false;
    if (auto window = dynamic_cast<const ui::Window*>(v)) {
      if (!ui::Screen::main().isShowing(*window)) return false;
    }
  }
  const ui::Point at = centre(view);
  if (!ui::Screen::main().interfaceBounds().contains(at)) return false;
  for (auto hit = ui::Screen::main().hitTest(at); hit; hit = hit->superview()) {
    if (hit.get() == &view) return true;
  }
  return false;
}

bool E2EHarness::click(const ui::View& view) {
  if (!reachable(view)) {
    ADD_FAILURE() << "not reachable by a touch: " << view.describeSelf();
    return false;
  }
  click(centre(view));
  return true;
}

namespace {

// Depth first, front-most subviews first.
std::shared_ptr<ui::View> findView(const std::shared_ptr<ui::View>& root,
                                   const std::function<bool(const ui::View&)>& match) {
  const auto& subviews = root->subviews();
  for (auto it = subviews.rbegin(); it != subviews.rend(); ++it) {
    if (auto found = findView(*it, match)) return found;
  }
  return match(*root) ? root : nullptr;
}

}  // namespace

std::shared_ptr<ui::View> E2EHarness::buttonTitled(const std::string& title) {
  auto windows = ui::Screen::main().windows();
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    auto found = findView(*it, [&](const ui::View& v) {
      auto button = dynamic_cast<const ui::Button*>(&v);
      return button && button->title() == title && reachable(v);
    });
    if (found) return found;
  }
  return nullptr;
}

bool E2EHarness::clickButton(const std::string& title) {
  auto button = buttonTitled(title);
  if (!button) {
    ADD_FAILURE() << "no button \"" << title << "\" on screen";
    return false;
  }
  return click(*button);
}

void E2EHarness::answerAlerts(const std::string& title) {
  for (std::size_t n = ui::AlertView::visibleAlerts().size(); n > 0; --n) {
    if (!clickButton(title)) return;
  }
}

std::shared_ptr<ui::View> E2EHarness::barItem(const ui::NavigationController& navigation, bool left) {
  const auto& bar = navigation.navigationBar();
  if (!bar || bar->isHidden()) return nullptr;
  const double middle = bar->bounds().width / 2;
  std::shared_ptr<ui::View> best;
  for (const auto& item : bar->subviews()) {
    if (!dynamic_cast<ui::Control*>(item.get()) || item->isHidden()) continue;
    const ui::Rect f = item->frame();
    if (left ? f.maxX() > middle : f.x < middle) continue;
    if (!best || (left ? f.x < best->frame().x : f.maxX() > best->frame().maxX())) best = item;
  }
  return best;
}

bool E2EHarness::clickBarItem(const ui::NavigationController& navigation, bool left) {
  auto item = barItem(navigation, left);
  if (!item) {
    ADD_FAILURE() << "the bar has no " << (left ? "left" : "right") << " item";
    return false;
  }
  return click(*item);
}

void E2EHarness::doubleClick(ui::Point point, double interval) {
  // As Qt delivers one: press, release, press, the double-click, release,
  // stamped as the window system stamps them, on the clock: workers that
  // sleep the clock on meanwhile (however slowly a loaded machine delivers
  // the events) change nothing of the interval between the clicks.
  const auto first = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_->steadyNow().time_since_epoch()).count());
  const auto second = first + static_cast<std::uint64_t>(std::llround(interval * 1000));
  mouse(QEvent::MouseButtonPress, point, first);
  mouse(QEvent::MouseButtonRelease, point, first);
  clock_->advance(platform::seconds(interval));
  mouse(QEvent::MouseButtonPress, point, second);
  mouse(QEvent::MouseButtonDblClick, point, second);
  mouse(QEvent::MouseButtonRelease, point, second);
  runUntil([] { return true; });
}

void E2EHarness::drag(ui::Point from, ui::Point to, int steps) {
  mouse(QEvent::MouseButtonPress, from);
  for (int step = 1; step <= steps; ++step) {
    const double f = static_cast<double>(step) / steps;
    mouse(QEvent::MouseMove, {from.x + (to.x - from.x) * f, from.y + (to.y - from.y) * f});
  }
  mouse(QEvent::MouseButtonRelease, to);
  runUntil([] { return true; });
}

void E2EHarness::longPress(ui::Point point, double seconds) {
  mouse(QEvent::MouseButtonPress, point);
  settle(seconds);
  mouse(QEvent::MouseButtonRelease, point);
  runUntil([] { return true; });
}

void E2EHarness::typeText(const std::string& text) {
  QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromStdString(text));
  QGuiApplication::sendEvent(window_.get(), &key);
  runUntil([] { return true; });
}

void E2EHarness::pressBackspace() {
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
  QGuiApplication::sendEvent(window_.get(), &key);
  runUntil([] { return true; });
}

void E2EHarness::commitInputMethodText(const std::string& text) {
  QInputMethodEvent event;
  event.setCommitString(QString::fromStdString(text));
  QGuiApplication::sendEvent(window_.get(), &event);
  runUntil([] { return true; });
}

bool E2EHarness::runUntil(const std::function<bool()>& pred, double limit) {
  auto& queue = platform::MainQueue::main();
  auto end = clock_->steadyNow() + platform::seconds(limit);
  while (true) {
    QGuiApplication::processEvents();
    queue.runUntilIdle();
    if (pred()) return true;
    auto next = queue.nextDueTime();
    if (!next || *next > end) return pred();
    if (*next > clock_->steadyNow()) clock_->advance(*next - clock_->steadyNow());
  }
}

bool E2EHarness::waitFor(const std::function<bool()>& pred) {
  return testsupport::pumpUntil(*clock_, [&] {
    QGuiApplication::processEvents();
    return pred();
  });
}

void E2EHarness::settle(double seconds) {
  auto end = clock_->steadyNow() + platform::seconds(seconds);
  runUntil([&] { return clock_->steadyNow() >= end; }, seconds);
  if (clock_->steadyNow() < end) clock_->advance(end - clock_->steadyNow());
  platform::MainQueue::main().runUntilIdle();
}

QImage E2EHarness::screenshot(const std::string& name) {
  QImage image = window_->grabScreen();
  image.save(QString::fromStdString("e2e-" + name + ".png"));
  return image;
}

}  // namespace e2e
