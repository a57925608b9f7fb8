// The desktop window of the app: the phone's screen painted at its scale
// (2x, 3x for the 414-point profile) with the status bar, and beside it a
// panel of switches standing in for the world around the phone (network,
// background, background-task expiry, permissions, a location relaunch).
// Mouse presses, moves and releases on the screen become touches; keys and
// input-method text (Chinese input) go to the focused text field. Unless a
// test pumps it, a 60 Hz timer pumps the main queue and repaints when the
// screen changed (an idle window paints nothing).
//
// The phone's screen is rendered on a canvas (QtGuiSupport.h) and copied
// into the window, so the window shows exactly what an offscreen render of
// the same moment gives, whatever the screen's DPI.
//
// Ownership: the window holds its panel entries. Threading: the Qt main
// thread, which is also the app's main thread. Nothing fails.
#pragma once

#include <QRasterWindow>
#include <QTimer>
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

  explicit PhoneWindow(bool pumpsMainQueue = true);

  void setPanelEntries(std::vector<PanelEntry> entries) { panel_ = std::move(entries); }
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
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;

 private:
  double scale() const { return ui::Screen::main().scale(); }
  QSizeF phoneSize() const;
  bool onPhone(const QPointF& p) const;
  ui::Point phonePoint(const QPointF& p) const;

  Renderer renderer_;
  ScreenDigest digest_;
  // The screen as last rendered, and whether it is out of date.
  QImage frame_;
  bool frameStale_ = true;
  std::vector<PanelEntry> panel_;
  QTimer pump_;
  double lastLook_ = -1;
  bool touching_ = false;
};

}  // namespace platform::uiqt
