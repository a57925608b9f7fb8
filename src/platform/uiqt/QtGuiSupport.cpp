#include "platform/uiqt/QtGuiSupport.h"

#include <QDesktopServices>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QTextLayout>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace platform::uiqt {

void ensureGuiApplication() {
  if (QGuiApplication::instance()) return;
  static int argc = 1;
  static char name[] = "lumora";
  static char* argv[] = {name, nullptr};
  new QGuiApplication(argc, argv);  // lives until the process ends
}

void setQtNoteSink(std::function<void(const std::string& note)> sink) {
  static std::function<void(const std::string&)> notes;
  notes = std::move(sink);
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
    const std::string text = message.toStdString();
    if (type == QtCriticalMsg || type == QtFatalMsg || !notes) {
      std::fprintf(stderr, "%s\n", text.c_str());
    } else {
      notes(text);
    }
  });
}

bool openInDesktopBrowser(const std::string& url) {
  return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

int runEventLoop() {
  ensureGuiApplication();
  return QGuiApplication::exec();
}

namespace {
const QString& appFontFamily() {
  static const QString loaded = [] {
    ensureGuiApplication();
    int id = QFontDatabase::addApplicationFont(QString::fromUtf8(kFontPath));
    auto families = id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
    if (families.isEmpty()) {
      std::fprintf(stderr, "lumora: font %s not found; using Qt's default\n", kFontPath);
      return QString();
    }
    return families.front();
  }();
  return loaded;
}
}  // namespace

QFont qtFont(const ui::Font& font) {
  QFont f(appFontFamily());
  f.setPointSizeF(font.size);
  f.setBold(font.bold);
  return f;
}

QImage canvas(int width, int height, double pixelRatio) {
  QImage image(std::max(1, width), std::max(1, height), QImage::Format_ARGB32_Premultiplied);
  const int dotsPerMeter = static_cast<int>(std::lround(kFontResolution / 0.0254));
  image.setDotsPerMeterX(dotsPerMeter);
  image.setDotsPerMeterY(dotsPerMeter);
  image.setDevicePixelRatio(pixelRatio);
  image.fill(Qt::transparent);
  return image;
}

const QImage& measuringDevice() {
  static const QImage device = canvas(1, 1);
  return device;
}

ui::Size QtTextMeasurer::measure(const std::string& text, const ui::Font& font, double maxWidth,
                                 int maxLines) const {
  if (text.empty()) return {};
  QFontMetricsF metrics(qtFont(font), &measuringDevice());
  QString string = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (maxWidth <= 0) {
    double widest = 0;
    int lines = 0;
    for (const auto& line : string.split('\n')) {
      widest = std::max(widest, metrics.horizontalAdvance(line));
      ++lines;
    }
    if (maxLines > 0) lines = std::min(lines, maxLines);
    return {std::ceil(widest), std::ceil(lines * metrics.lineSpacing())};
  }
  QRectF box = metrics.boundingRect(QRectF(0, 0, maxWidth, 1e6), kWrappedTextFlags, string);
  double height = box.height();
  if (maxLines > 0) height = std::min(height, maxLines * metrics.lineSpacing());
  return {std::ceil(std::min(box.width(), maxWidth)), std::ceil(height)};
}

double QtTextMeasurer::lineHeight(const ui::Font& font) const {
  return QFontMetricsF(qtFont(font), &measuringDevice()).lineSpacing();
}

}  // namespace platform::uiqt
