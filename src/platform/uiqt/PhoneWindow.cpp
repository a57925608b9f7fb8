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
    QObject::connect(&pump_, &QTimer::timeout, [this] {
      MainQueue::main().runUntilIdle();
      update();
    });
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

void PhoneWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.save();
  painter.scale(scale(), scale());
  renderer_.paintScreen(painter);
  painter.restore();
  // The panel.
  QSizeF phone = phoneSize();
  QRectF area(phone.width(), 0, kPanelWidth, std::max<double>(phone.height(), height()));
  painter.fillRect(area, QColor(0x2b, 0x2d, 0x31));
  painter.setFont(qtFont(ui::Font::systemFont(13)));
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
