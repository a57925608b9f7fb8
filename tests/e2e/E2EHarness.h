// The app in its window for end-to-end tests: a fresh app home, the local
// cloud in process on a loopback port (every service host pointed at it),
// the manual clock, and the phone window on Qt's offscreen platform, fed
// synthetic mouse and key events as a user's. The test pumps: runUntil()
// runs the main queue and, whenever it is idle, moves the clock on to the
// next timer that falls due, so animations and delays pass at once.
//
// Ownership: one harness per test, on the test's thread (the main thread).
#pragma once

#include <QEvent>
#include <QImage>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
  // Takes the app's window off the screen and lets its screens go (before
  // a test drops the stores they read).
  void closeScreen();
  // Signs the user in to the cloud service "lumora" as the app keeps it
  // (an account on the local cloud, its service token and key in the
  // passport); false when the cloud refused the account.
  bool signIn(std::int64_t userId, const std::string& name, const std::string& ssecurity);
  // A cloud album `name` of the signed-in user holding one photo, put
  // there as a backup puts it; false when the cloud refused it.
  bool addCloudAlbumWithAPhoto(std::int64_t userId, const std::string& name);
  // The centre of a view on the phone's screen.
  static ui::Point centre(const ui::View& view);
  // A click (press and release) at a point of the phone's screen.
  void click(ui::Point point);
  // A click at the centre of `view`; fails the test (and clicks nothing)
  // unless a touch there reaches it: shown, in a window on screen, not
  // covered by another view.
  bool click(const ui::View& view);
  // Whether a touch at the centre of `view` reaches it.
  static bool reachable(const ui::View& view);
  // The controls shown in `view`'s tree.
  static std::vector<std::shared_ptr<ui::View>> shownControls(const std::shared_ptr<ui::View>& view);
  // Those of `controls` not drawn whole where a user can use them: under
  // the status bar while it shows, reaching out of the window, or out of a
  // touch's reach; each described.
  static std::vector<std::string> misplaced(const std::vector<std::shared_ptr<ui::View>>& controls);
  // The front-most reachable button (a bar item, an alert's or a sheet's
  // button) showing `title`; nullptr when none.
  static std::shared_ptr<ui::View> buttonTitled(const std::string& title);
  // Clicks it; fails the test when none is on screen.
  bool clickButton(const std::string& title);
  // Answers every alert on screen with its button `title` (the first
  // launch's questions, say).
  void answerAlerts(const std::string& title);
  // The left or right item of a navigation bar as drawn (the control
  // nearest that edge); nullptr when it has none.
  static std::shared_ptr<ui::View> barItem(const ui::NavigationController& navigation, bool left);
  bool clickBarItem(const ui::NavigationController& navigation, bool left);
  // The app's own panel rows beside the phone, as lumora's window has them.
  void showAppPanel();
  // A click on the panel's row `row` (0: the network, 1: the device, ...).
  void clickPanelRow(std::size_t row);
  // Two clicks as the window gets a double-click, the second `interval`
  // seconds of the clock after the first (the clock moves on by that much
  // between them).
  void doubleClick(ui::Point point, double interval = 0.2);
  // Presses at `from`, moves to `to` in `steps` moves, releases there.
  void drag(ui::Point from, ui::Point to, int steps = 8);
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
  // `stamp`: the window system's time of the event in milliseconds (0:
  // none, as a synthetic event has).
  void mouse(QEvent::Type type, ui::Point point, std::uint64_t stamp = 0);
  void mouseAt(QEvent::Type type, QPointF at, std::uint64_t stamp = 0);

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::unique_ptr<localcloud::CloudServer> server_;
  std::unique_ptr<platform::uiqt::PhoneWindow> window_;
  std::shared_ptr<ui::Window> appWindow_;
};

// The labels' ink (their light pixels) in a picture of the panel whose
// rows lie at `rows`: how much of it falls inside each row, and outside
// every row (a label that outgrows its row shows there).
struct PanelInk {
  std::vector<int> inRow;
  int outside = 0;
};
PanelInk panelInk(const QImage& panel, const std::vector<QRectF>& rows);

}  // namespace e2e
