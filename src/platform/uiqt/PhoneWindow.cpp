#include "platform/uiqt/PhoneWindow.h"

#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QInputMethodQueryEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "platform/dispatch/MainQueue.h"
#include "platform/uiqt/QtGuiSupport.h"

namespace platform::uiqt {

PhoneWindow::PhoneWindow(bool pumpsMainQueue) {
  QSizeF phone = phoneSize();
  resize(static_cast<int>(phone.width()) + kPanelWidth, static_cast<int>(phone.height()));
  setTitle("Lumora");
  if (pumpsMainQueue) {
    QObject::connect(&pump_, &QTimer::timeout, [this] { pump(); });
    pump_.start(16);
  }
}

QSizeF PhoneWindow::phoneSize() const {
  const ui::Rect screen = ui::Screen::main().interfaceBounds();
  return {screen.width * scale(), screen.height * scale()};
}

bool PhoneWindow::onPhone(const QPointF& p) const {
  QSizeF size = phoneSize();
  return p.x() >= 0 && p.y() >= 0 && p.x() < size.width() && p.y() < size.height();
}

ui::Point PhoneWindow::phonePoint(const QPointF& p) const { return {p.x() / scale(), p.y() / scale()}; }

QPointF PhoneWindow::windowPoint(ui::Point point) const { return {point.x * scale(), point.y * scale()}; }

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
    frame_ = renderer_.renderScreen(ratio);
    frameStale_ = false;
  }
  QPainter painter(this);
  QSizeF phone = phoneSize();
  painter.drawImage(QPointF(0, 0), frame_);
  // The panel, in pixels of the window.
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF area(phone.width(), 0, kPanelWidth, std::max<double>(phone.height(), height()));
  painter.fillRect(area, QColor(0x2b, 0x2d, 0x31));
  QFont font = qtFont(ui::Font::systemFont(13));
  font.setPixelSize(13);
  painter.setFont(font);
  for (std::size_t i = 0; i < panel_.size(); ++i) {
    QRectF row(area.left() + 10, 10 + static_cast<double>(i) * kPanelRowHeight, kPanelWidth - 20, kPanelRowHeight - 8);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x44, 0x47, 0x4d));
    painter.drawRoundedRect(row, 6, 6);
    painter.setPen(Qt::white);
    std::string label = panel_[i].label ? panel_[i].label() : "";
    painter.drawText(row.adjusted(10, 0, -10, 0), Qt::AlignVCenter | Qt::AlignLeft, QString::fromStdString(label));
  }
}

void PhoneWindow::mousePressEvent(QMouseEvent* event) {
  QPointF p = event->position();
  if (onPhone(p)) {
    touching_ = true;
    ui::Screen::main().sendTouch(ui::TouchPhase::Began, phonePoint(p));
  } else {
    double row = (p.y() - 10) / kPanelRowHeight;
    if (row >= 0 && row < static_cast<double>(panel_.size())) {
      auto& entry = panel_[static_cast<std::size_t>(row)];
      if (entry.action) entry.action();
      // The panel may have turned the device.
      QSizeF phone = phoneSize();
      resize(static_cast<int>(phone.width()) + kPanelWidth, static_cast<int>(phone.height()));
    }
  }
  update();
}

void PhoneWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!touching_) return;
  ui::Screen::main().sendTouch(ui::TouchPhase::Moved, phonePoint(event->position()));
  update();
}

void PhoneWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (!touching_) return;
  touching_ = false;
  ui::Screen::main().sendTouch(ui::TouchPhase::Ended, phonePoint(event->position()));
  update();
}

void PhoneWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Backspace) {
    ui::Screen::main().deleteBackward();
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
