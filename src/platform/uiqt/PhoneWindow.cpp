#include "platform/uiqt/PhoneWindow.h"

#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QInputMethodQueryEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "platform/app/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/uiqt/QtGuiSupport.h"

namespace platform::uiqt {

namespace {
// The smallest the phone is drawn, in window pixels a point: its text is
// past reading well before that.
constexpr double kSmallestFactor = 0.25;
// One notch of a mouse wheel, in Qt's eighths of a degree.
constexpr double kWheelNotch = 120;

// `length` points at `factor`, in whole window pixels (a hair of rounding
// error does not take a pixel away).
int scaledLength(double length, double factor) { return static_cast<int>(std::floor(length * factor + 1e-6)); }
}  // namespace

PhoneWindow::PhoneWindow(bool pumpsMainQueue) {
  setTitle("Lumora");
  setMinimumSize(QSize(kPanelWidth + 80, 200));
  fitToScreen();
  turns_ = NotificationCenter::defaultCenter().addObserver(
      ui::kInterfaceOrientationDidChangeNotification, [this](const std::string&, const Json&) { refitIfTurned(); });
  if (pumpsMainQueue) {
    QObject::connect(&pump_, &QTimer::timeout, [this] { pump(); });
    pump_.start(16);
  }
}

ui::Size PhoneWindow::phonePoints() { return ui::Screen::main().interfaceBounds().size(); }

void PhoneWindow::fitToScreen() {
  const ui::Size points = phonePoints();
  double factor = ui::Screen::main().scale();
  QScreen* shownOn = screen();
  const bool realScreen = shownOn && QGuiApplication::platformName() != QLatin1String("offscreen");
  QRect available;
  QMargins frame;
  if (realScreen) {
    available = shownOn->availableGeometry();
    frame = frameMargins();
    const QRect inside = available.marginsRemoved(frame);
    factor = std::min({factor, (inside.width() - kPanelWidth) / points.width, inside.height() / points.height});
    factor = std::max(factor, kSmallestFactor);
  }
  const QSize size(kPanelWidth + scaledLength(points.width, factor), scaledLength(points.height, factor));
  fittedPoints_ = points;
  resize(size);
  takeSize(size);
  if (!realScreen) return;
  // Whole on the screen: moved into the available area when it sticks out.
  const QSize framed = size.grownBy(frame);
  const QRect placed(framePosition(), framed);
  if (!available.contains(placed)) {
    setFramePosition(QPoint(std::clamp(placed.x(), available.left(), available.right() + 1 - framed.width()),
                            std::clamp(placed.y(), available.top(), available.bottom() + 1 - framed.height())));
  }
}

void PhoneWindow::takeSize(const QSize& size) {
  const ui::Size points = phonePoints();
  const double factor = std::min((size.width() - kPanelWidth) / points.width, size.height() / points.height);
  factor_ = std::max(factor, kSmallestFactor);
  frameStale_ = true;
}

QSizeF PhoneWindow::phoneSize() const {
  const ui::Size points = phonePoints();
  return {points.width * factor_, points.height * factor_};
}

bool PhoneWindow::onPhone(const QPointF& p) const {
  QSizeF size = phoneSize();
  return p.x() >= 0 && p.y() >= 0 && p.x() < size.width() && p.y() < size.height();
}

ui::Point PhoneWindow::phonePoint(const QPointF& p) const { return {p.x() / factor_, p.y() / factor_}; }

QPointF PhoneWindow::windowPoint(ui::Point point) const { return {point.x * factor_, point.y * factor_}; }

void PhoneWindow::refitIfTurned() {
  if (phonePoints() != fittedPoints_) fitToScreen();
}

PhoneWindow::~PhoneWindow() { NotificationCenter::defaultCenter().removeObserver(turns_); }

void PhoneWindow::pump() {
  const bool ran = MainQueue::main().runUntilIdle() > 0;
  const double now = ui::mediaTime();
  // One look after an animation's end, for its last frame.
  constexpr double kLastFrame = 0.05;
  if (ran || now <= ui::View::animationsEnd() + kLastFrame || now - lastLook_ >= 1 || lastLook_ < 0) {
    lastLook_ = now;
    updateIfChanged();
  }
}

void PhoneWindow::updateIfChanged() {
  if (digest_.changed()) {
    frameStale_ = true;
    update();
  }
}

void PhoneWindow::paintEvent(QPaintEvent*) {
  const double ratio = devicePixelRatio();
  if (digest_.changed() || frameStale_ || frame_.isNull() || frame_.devicePixelRatio() != ratio) {
    frame_ = renderer_.renderScreenScaled(factor_, ratio);
    frameStale_ = false;
  }
  QPainter painter(this);
  const QSizeF phone = phoneSize();
  painter.drawImage(QPointF(0, 0), frame_);
  // Below the phone, when the window is taller than the phone's aspect.
  if (height() > phone.height()) {
    painter.fillRect(QRectF(0, phone.height(), phone.width(), height() - phone.height()), QColor(0x1e, 0x1f, 0x22));
  }
  // The panel, in pixels of the window, over the rest of its width.
  paintPanel(painter, QRectF(phone.width(), 0, std::max<double>(kPanelWidth, width() - phone.width()), height()));
}

QRectF PhoneWindow::panelRowRect(std::size_t row) const {
  return {phoneSize().width() + 10, 10 + static_cast<double>(row) * kPanelRowHeight, kPanelWidth - 20,
          kPanelRowHeight - 8};
}

void PhoneWindow::paintPanel(QPainter& painter, const QRectF& area) {
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillRect(area, QColor(0x2b, 0x2d, 0x31));
  QFont font = qtFont(ui::Font::systemFont(13));
  font.setPixelSize(13);
  painter.setFont(font);
  for (std::size_t i = 0; i < panel_.size(); ++i) {
    const QRectF row = panelRowRect(i).translated(area.left() - phoneSize().width(), 0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x44, 0x47, 0x4d));
    painter.drawRoundedRect(row, 6, 6);
    painter.setPen(Qt::white);
    std::string label = panel_[i].label ? panel_[i].label() : "";
    // A label too long for one line takes two (never clipped: one that
    // outgrows its row shows).
    constexpr int kFlags = Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap | Qt::TextDontClip;
    painter.drawText(row.adjusted(10, 0, -10, 0), kFlags, QString::fromStdString(label));
  }
}

QImage PhoneWindow::grabPanel() {
  QImage image(kPanelWidth, height(), QImage::Format_RGB32);
  QPainter painter(&image);
  paintPanel(painter, QRectF(0, 0, kPanelWidth, height()));
  return image;
}

double PhoneWindow::touchTime(const QInputEvent& event) {
  const double now = ui::mediaTime();
  const std::uint64_t stamp = event.timestamp();
  double time = now;
  if (stamp != 0 && lastStamp_ != 0 && stamp >= lastStamp_) {
    time = std::min(now, lastTouchTime_ + static_cast<double>(stamp - lastStamp_) / 1000);
  }
  lastStamp_ = stamp;
  lastTouchTime_ = time;
  return time;
}

void PhoneWindow::mousePressEvent(QMouseEvent* event) {
  QPointF p = event->position();
  if (onPhone(p)) {
    touching_ = true;
    ui::Screen::main().sendTouch(ui::TouchPhase::Began, phonePoint(p), touchTime(*event));
  } else if (p.x() >= phoneSize().width()) {
    double row = (p.y() - 10) / kPanelRowHeight;
    if (row >= 0 && row < static_cast<double>(panel_.size())) {
      auto& entry = panel_[static_cast<std::size_t>(row)];
      if (entry.action) entry.action();
    }
  }
  update();
}

void PhoneWindow::resizeEvent(QResizeEvent*) {
  takeSize(size());
  update();
}

void PhoneWindow::exposeEvent(QExposeEvent* event) {
  // Under a window manager the frame's size is known once it is shown:
  // the window is fitted again with it, once.
  if (isExposed() && !refitted_) {
    refitted_ = true;
    if (frameMargins() != QMargins()) fitToScreen();
  }
  QRasterWindow::exposeEvent(event);
}

void PhoneWindow::wheelEvent(QWheelEvent* event) {
  event->accept();
  const QPointF p = event->position();
  if (touching_ || !onPhone(p)) return;
  // A touchpad tells pixels of the window, a wheel notches.
  const QPointF delta = !event->pixelDelta().isNull()
                            ? QPointF(event->pixelDelta()) / factor_
                            : QPointF(event->angleDelta()) / kWheelNotch * kWheelNotchPoints;
  // Turned away from the user, the wheel moves the content down: the
  // offset goes back.
  if (ui::Screen::main().scrollWheel(phonePoint(p), -delta.x(), -delta.y())) update();
}

void PhoneWindow::focusInEvent(QFocusEvent*) {
  // Back from another window: the app that resigned becomes active again
  // (one the panel sent to the background stays there).
  auto& app = Application::shared();
  if (app.applicationState() == ApplicationState::Inactive) app.becomeActive();
}

void PhoneWindow::focusOutEvent(QFocusEvent*) { Application::shared().resignActive(); }

void PhoneWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!touching_) return;
  ui::Screen::main().sendTouch(ui::TouchPhase::Moved, phonePoint(event->position()), touchTime(*event));
  update();
}

void PhoneWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (!touching_) return;
  touching_ = false;
  ui::Screen::main().sendTouch(ui::TouchPhase::Ended, phonePoint(event->position()), touchTime(*event));
  update();
}

void PhoneWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Backspace) {
    ui::Screen::main().deleteBackward();
  } else if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) {
    // Between the fields of a form, as a hardware keyboard moves on a phone
    // (Shift-Tab comes as Backtab).
    ui::Screen::main().focusNextTextField(event->key() == Qt::Key_Backtab ||
                                          (event->modifiers() & Qt::ShiftModifier));
  } else if (!event->text().isEmpty() && event->text().at(0).isPrint()) {
    ui::Screen::main().insertText(event->text().toStdString());
  }
  update();
}

bool PhoneWindow::event(QEvent* event) {
  if (event->type() == QEvent::InputMethodQuery) {
    auto* query = static_cast<QInputMethodQueryEvent*>(event);
    query->setValue(Qt::ImEnabled, ui::Screen::main().firstResponder() != nullptr);
    query->accept();
    return true;
  }
  if (event->type() == QEvent::InputMethod) {
    auto* input = static_cast<QInputMethodEvent*>(event);
    if (!input->commitString().isEmpty()) ui::Screen::main().insertText(input->commitString().toStdString());
    input->accept();
    update();
    return true;
  }
  return QRasterWindow::event(event);
}

}  // namespace platform::uiqt
