#include "e2e/E2EHarness.h"

#include "support/MainQueuePump.h"

#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <gtest/gtest.h>

#include "platform/dispatch/MainQueue.h"
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

void E2EHarness::click(ui::Point point) {
  QPointF at = window_->windowPoint(point);
  QPointF global = window_->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QGuiApplication::sendEvent(window_.get(), &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QGuiApplication::sendEvent(window_.get(), &release);
  runUntil([] { return true; });
}

void E2EHarness::longPress(ui::Point point, double seconds) {
  QPointF at = window_->windowPoint(point);
  QPointF global = window_->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QGuiApplication::sendEvent(window_.get(), &press);
  settle(seconds);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QGuiApplication::sendEvent(window_.get(), &release);
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
