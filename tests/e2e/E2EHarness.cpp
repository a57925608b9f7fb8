#include "e2e/E2EHarness.h"

#include "support/MainQueuePump.h"

#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Control.h"
#include "platform/ui/Resources.h"
#include "platform/uiqt/QtGuiSupport.h"
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
  QPointF at = window_->windowPoint(point);
  QPointF global = window_->mapToGlobal(at);
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, at, global, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                    Qt::NoModifier);
  event.setTimestamp(stamp);
  QGuiApplication::sendEvent(window_.get(), &event);
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
  if (!ui::Screen::main().bounds().contains(at)) return false;
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
