// The app in its window for end-to-end tests: a fresh app home, the local
// cloud in process on a loopback port (every service host pointed at it),
// the manual clock, and the phone window on Qt's offscreen platform, fed
// synthetic mouse and key events as a user's. The test pumps: runUntil()
// runs the main queue and, whenever it is idle, moves the clock on to the
// next timer that falls due, so animations and delays pass at once.
//
// Ownership: one harness per test, on the test's thread (the main thread).
#pragma once

#include <QImage>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/ui/ViewController.h"
#include "platform/uiqt/PhoneWindow.h"
#include "server/CloudServer.h"
#include "support/TestHome.h"

namespace e2e {

namespace ui = platform::ui;

class E2EHarness {
 public:
  explicit E2EHarness(const std::string& profile = "375x667");
  ~E2EHarness();
  E2EHarness(const E2EHarness&) = delete;
  E2EHarness& operator=(const E2EHarness&) = delete;

  std::string cloudURL() const { return server_->url(); }
  // The local cloud, for seeding and fault injection.
  localcloud::CloudServer& cloud() { return *server_; }
  // Pumps while the network works too (see support/MainQueuePump.h).
  bool waitFor(const std::function<bool()>& pred);
  platform::ManualClock& clock() { return *clock_; }
  platform::uiqt::PhoneWindow& window() { return *window_; }

  // Shows `root` as the app's screen, in the app's key window.
  void showScreen(std::shared_ptr<ui::ViewController> root);
  // A click (press and release) at a point of the phone's screen.
  void click(ui::Point point);
  // A press held for `seconds` of clock time, then released.
  void longPress(ui::Point point, double seconds = 1);
  void typeText(const std::string& text);
  void pressBackspace();
  // Text committed by an input method (Chinese input).
  void commitInputMethodText(const std::string& text);
  // Pumps (see above) until pred() holds; false when the clock went
  // `limit` seconds on without it.
  bool runUntil(const std::function<bool()>& pred, double limit = 60);
  // Lets `seconds` of clock time pass, pumping.
  void settle(double seconds);
  // The screen as painted now, also written to e2e-<name>.png.
  QImage screenshot(const std::string& name);

 private:
  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::unique_ptr<localcloud::CloudServer> server_;
  std::unique_ptr<platform::uiqt::PhoneWindow> window_;
  std::shared_ptr<ui::Window> appWindow_;
};

}  // namespace e2e
