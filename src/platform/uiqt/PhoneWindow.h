// The desktop window of the app: the phone's screen with the status bar,
// and beside it a panel of switches standing in for the world around the
// phone (network, background, background-task expiry, permissions, a
// location relaunch). Mouse presses, moves and releases on the screen
// become touches; the mouse wheel (or a touchpad's two-finger scroll)
// scrolls the scroll view under the pointer; keys and input-method text
// (Chinese input) go to the focused text field. The window taking the
// focus is the app becoming active again, losing it the app resigning
// active. Unless a test pumps it, a 60 Hz timer pumps the main queue and
// repaints when the screen changed (an idle window paints nothing).
//
// Size: the window opens at the largest size that the available area of
// its screen holds, the phone's points times a factor no larger than the
// phone's own scale (2x, 3x for the 414-point profile), beside the panel.
// Resized, the phone scales with the window, keeping its aspect; clicks
// map back to points. When the interface turns (the panel turned the
// device, or a page that came to the front turned it), the window is
// fitted again. On Qt's offscreen platform, which has no real screen, the
// phone keeps its own scale. A panel row's label too long for one line
// takes two.
//
// The phone's screen is rendered on a canvas (QtGuiSupport.h) at the
// window's factor and device pixel ratio, and copied into the window: at
// the phone's own scale the window shows exactly what an offscreen render
// of the same moment gives, whatever the screen's DPI, and text stays
// sharp at any size.
//
// Ownership: the window holds its panel entries. Threading: the Qt main
// thread, which is also the app's main thread. Nothing fails.
#pragma once

#include <QPainter>
#include <QInputEvent>
#include <QRasterWindow>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/uiqt/QtRenderer.h"
#include "platform/uiqt/ScreenDigest.h"

namespace platform::uiqt {

struct PanelEntry {
  std::function<std::string()> label;  // read at every paint
  std::function<void()> action;
};

class PhoneWindow : public QRasterWindow {
 public:
  static constexpr int kPanelWidth = 220;
  static constexpr int kPanelRowHeight = 44;
  // Points of content one notch of a mouse wheel scrolls.
  static constexpr double kWheelNotchPoints = 40;

  explicit PhoneWindow(bool pumpsMainQueue = true);
  ~PhoneWindow() override;
  PhoneWindow(const PhoneWindow&) = delete;
  PhoneWindow& operator=(const PhoneWindow&) = delete;

  void setPanelEntries(std::vector<PanelEntry> entries) { panel_ = std::move(entries); }
  // Where the panel's row `row` lies in the window.
  QRectF panelRowRect(std::size_t row) const;
  // The panel as painted now, its own width and the window's height.
  QImage grabPanel();
  // Window pixels (logical) per point of the phone now.
  double phoneScale() const { return factor_; }
  // Where a point of the phone's screen lies in the window.
  QPointF windowPoint(ui::Point point) const;
  // The screen as an offscreen render gives it now.
  QImage grabScreen() { return renderer_.renderScreen(); }
  // Schedules a repaint when the screen changed since it was last painted.
  void updateIfChanged();
  // The pump's turn: runs the main queue, then repaints when the screen
  // changed. It looks only when something may have changed it: a task
  // ran, a view animation is under way, or a second passed (the status
  // bar's clock).
  void pump();
  Status saveScreen(const std::filesystem::path& path) { return renderer_.writeScreenPNG(path); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void exposeEvent(QExposeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  bool event(QEvent* event) override;

 private:
  // The phone's size in points as the interface is turned now.
  static ui::Size phonePoints();
  // Sizes the window for the phone as it is turned now (see above).
  void fitToScreen();
  // Fits the window again when the interface turned since it was fitted
  // (the panel turned the device, or a page that came to the front turned
  // it), as the screen tells.
  void refitIfTurned();
  void paintPanel(QPainter& painter, const QRectF& area);
  // Takes the factor the window's `size` gives the phone beside the panel.
  void takeSize(const QSize& size);
  QSizeF phoneSize() const;
  bool onPhone(const QPointF& p) const;
  ui::Point phonePoint(const QPointF& p) const;
  // When the mouse event happened, in media time. The window system stamps
  // its events (milliseconds): the time between two stamps is the time
  // between the user's actions, however late an event is delivered. An
  // unstamped event, or one stamped before the last, happened now.
  double touchTime(const QInputEvent& event);

  Renderer renderer_;
  ScreenDigest digest_;
  double factor_ = 1;
  // The phone's points the window was last fitted to.
  ui::Size fittedPoints_;
  // The screen as last rendered, and whether it is out of date.
  QImage frame_;
  bool frameStale_ = true;
  std::vector<PanelEntry> panel_;
  QTimer pump_;
  double lastLook_ = -1;
  bool touching_ = false;
  std::uint64_t turns_ = 0;
  // The last mouse event's stamp and media time (see touchTime).
  std::uint64_t lastStamp_ = 0;
  double lastTouchTime_ = 0;
  // Whether the window was fitted again once the window manager framed it.
  bool refitted_ = false;
};

}  // namespace platform::uiqt
