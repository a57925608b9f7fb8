#include "platform/uiqt/QtRenderer.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainterPath>
#include <QTransform>
#include <QTextLayout>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <numbers>
#include <optional>
#include <variant>

#include "platform/dispatch/Clock.h"
#include "platform/ui/Image.h"
#include "platform/uiqt/QtGuiSupport.h"

namespace platform::uiqt {

namespace {
QColor qtColor(const ui::Color& c) {
  return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green), static_cast<float>(c.blue),
                          static_cast<float>(c.alpha));
}

QRectF qtRect(const ui::Rect& r) { return {r.x, r.y, r.width, r.height}; }

QPainterPath rounded(const QRectF& rect, double radius) {
  QPainterPath path;
  if (radius > 0) {
    path.addRoundedRect(rect, radius, radius);
  } else {
    path.addRect(rect);
  }
  return path;
}

Qt::Alignment qtAlignment(ui::TextAlignment a) {
  switch (a) {
    case ui::TextAlignment::Center:
      return Qt::AlignHCenter;
    case ui::TextAlignment::Right:
      return Qt::AlignRight;
    default:
      return Qt::AlignLeft;
  }
}

// A file's picture turned as the phone shows it in `orientation`; a null
// image when Qt cannot decode the file.
QImage decodedUpright(const Bytes& data, ImageOrientation orientation) {
  QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                             static_cast<qsizetype>(data.size()));
  QBuffer buffer(&bytes);
  QImageReader reader(&buffer);
  reader.setAutoTransform(false);
  QImage picture = reader.read();
  if (picture.isNull()) return picture;
  const auto turned = [&](double degrees) { return picture.transformed(QTransform().rotate(degrees)); };
  switch (orientation) {
    case ImageOrientation::Up: return picture;
    case ImageOrientation::Down: return turned(180);
    case ImageOrientation::Left: return turned(270);
    case ImageOrientation::Right: return turned(90);
    case ImageOrientation::UpMirrored: return picture.mirrored(true, false);
    case ImageOrientation::DownMirrored: return picture.mirrored(false, true);
    case ImageOrientation::LeftMirrored: return turned(90).mirrored(true, false);
    case ImageOrientation::RightMirrored: return turned(90).mirrored(false, true);
  }
  return picture;
}

bool isWhole(double v) { return std::abs(v - std::round(v)) < 1e-6; }

// Where `rect` (in the painter's units) lands on the device under a
// transform that only scales and moves; nullopt when it is turned or
// mirrored, or the device has a scale of its own.
std::optional<QRectF> deviceRect(const QPainter& painter, const QRectF& rect) {
  const QTransform& world = painter.worldTransform();
  if (world.type() > QTransform::TxScale || world.m11() <= 0 || world.m22() <= 0) return std::nullopt;
  if (painter.deviceTransform() != world) return std::nullopt;
  return world.mapRect(rect);
}

// The whole device pixels `rect` covers exactly, if it does (nullopt too
// where deviceRect gives none).
std::optional<QRect> wholeDevicePixels(const QPainter& painter, const QRectF& rect) {
  const auto found = deviceRect(painter, rect);
  if (!found) return std::nullopt;
  const QRectF& mapped = *found;
  if (!isWhole(mapped.left()) || !isWhole(mapped.top()) || !isWhole(mapped.right()) || !isWhole(mapped.bottom())) {
    return std::nullopt;
  }
  const auto pixel = [](double v) { return static_cast<int>(std::lround(v)); };
  return QRect(QPoint(pixel(mapped.left()), pixel(mapped.top())),
               QSize(pixel(mapped.width()), pixel(mapped.height())));
}

// For the life of the scope, the painter works in device pixels without
// `hint` (the clip and opacity stay); both come back when it ends.
class InDevicePixels {
 public:
  InDevicePixels(QPainter& painter, QPainter::RenderHint hint)
      : painter_(painter), world_(painter.worldTransform()), hint_(hint), had_(painter.testRenderHint(hint)) {
    painter_.setWorldTransform(QTransform());
    if (had_) painter_.setRenderHint(hint_, false);
  }
  ~InDevicePixels() {
    if (had_) painter_.setRenderHint(hint_, true);
    painter_.setWorldTransform(world_);
  }
  InDevicePixels(const InDevicePixels&) = delete;
  InDevicePixels& operator=(const InDevicePixels&) = delete;

 private:
  QPainter& painter_;
  const QTransform world_;
  const QPainter::RenderHint hint_;
  const bool had_;
};

// Copies `source` (a part of `image`) one to one to the device pixel `at`,
// in the painter's clip and opacity.
void copyToDevice(QPainter& painter, const QPoint& at, const QImage& image, const QRect& source) {
  InDevicePixels device(painter, QPainter::SmoothPixmapTransform);
  painter.drawImage(at, image, source);
}

// Draws `source` (a part of `image`) into `target`. A part whose pixels land
// one to one on whole device pixels is copied without resampling: the
// resampling path, even at one to one, hands each picture taller than a
// hundred rows to Qt's worker threads, which costs more than the copy.
// Resampling at one to one on whole pixels gives the same pixels.
void drawImagePart(QPainter& painter, const QRectF& target, const QImage& image, const QRectF& source) {
  const auto device = wholeDevicePixels(painter, target);
  const bool oneToOne = device && std::abs(device->width() - source.width()) < 1e-6 &&
                        std::abs(device->height() - source.height()) < 1e-6 &&
                        source.toAlignedRect() == source;
  if (!oneToOne) {
    painter.drawImage(target, image, source);
    return;
  }
  copyToDevice(painter, device->topLeft(), image, source.toAlignedRect());
}

// A rectangle on whole device pixels needs no edge coverage: it is filled
// as whole pixels, which gives the same pixels far more cheaply.
void fillRect(QPainter& painter, const QRectF& rect, double cornerRadius, const QColor& colour) {
  const auto device = cornerRadius > 0 ? std::nullopt : wholeDevicePixels(painter, rect);
  if (!device) {
    painter.fillPath(rounded(rect, cornerRadius), colour);
    return;
  }
  InDevicePixels inDevice(painter, QPainter::Antialiasing);
  painter.fillRect(*device, colour);
}

std::uint64_t pixelCount(const QImage& image) {
  return static_cast<std::uint64_t>(image.width()) * static_cast<std::uint64_t>(image.height());
}

// The most pixels a picture may have to be decoded while painting: the
// cache's whole budget (32 Mi pixels).
bool isDrawable(const Image& bitmap) {
  constexpr std::uint64_t kMaxPixels = 32ull * 1024 * 1024;
  return static_cast<std::uint64_t>(bitmap.pixelWidth()) * static_cast<std::uint64_t>(bitmap.pixelHeight()) <=
         kMaxPixels;
}
}  // namespace

Renderer::Renderer() { ensureGuiApplication(); }

Renderer::CachedImage& Renderer::cachedFor(const ui::Image& image) {
  auto found = images_.find(image.identity());
  if (found != images_.end()) {
    if (!found->second.owner.expired()) {
      recent_.splice(recent_.begin(), recent_, found->second.recent);
      return found->second;
    }
    forget(found);
  }
  QImage decoded;
  if (const auto& picture = image.picture()) {
    ui::Size size = image.pixelSize();
    decoded = canvas(static_cast<int>(std::lround(size.width)), static_cast<int>(std::lround(size.height)));
    QPainter painter(&decoded);
    painter.setRenderHint(QPainter::Antialiasing);
    paintList(painter, *picture);
  } else if (!image.path().empty()) {
    decoded.load(QString::fromStdString(image.path().string()));
  } else if (const auto& bitmap = image.bitmap(); bitmap && !isDrawable(*bitmap)) {
    // More than the whole cache holds is not decoded while painting: the
    // picture stays undrawn (pictures from the network come decoded and
    // bounded already).
  } else if (bitmap) {
    // A picture as stored in its file is decoded here, turned as it is
    // shown; any other is drawn from its pixels, without an encoding in
    // between.
    if (auto data = bitmap->encodedData()) decoded = decodedUpright(*data, bitmap->orientation());
  }
  if (decoded.isNull() && image.bitmap() && isDrawable(*image.bitmap())) {
    const auto& bitmap = image.bitmap();
    auto pixels = bitmap->RGBARepresentation();
    const int width = bitmap->width();
    const int height = bitmap->height();
    if (pixels.ok() && pixels->size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
      decoded = QImage(pixels->data(), width, height, width * 4, QImage::Format_RGBA8888)
                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
  }
  // In place where Qt can (a picture just decoded is ours alone).
  decoded.convertTo(QImage::Format_ARGB32_Premultiplied);
  CachedImage entry{image.identityOwner(), std::move(decoded), {}, {}, {}};
  recent_.push_front(image.identity());
  entry.recent = recent_.begin();
  cachedPixels_ += pixelCount(entry.image);
  auto& kept = images_.emplace(image.identity(), std::move(entry)).first->second;
  trim();
  return kept;
}

void Renderer::trim() {
  // The least recently drawn go first; the one drawn last stays.
  while ((images_.size() > kMaxCachedImages || cachedPixels_ > kMaxCachedPixels) && recent_.size() > 1) {
    forget(images_.find(recent_.back()));
  }
}

void Renderer::forget(std::map<const void*, CachedImage>::iterator entry) {
  cachedPixels_ -= pixelCount(entry->second.image) + pixelCount(entry->second.shifted);
  recent_.erase(entry->second.recent);
  images_.erase(entry);
}

bool Renderer::drawShifted(QPainter& painter, const QRectF& target, CachedImage& entry) {
  const QImage& image = entry.image;
  // Only a scale resamples: Qt puts a picture that is only moved on whole
  // pixels itself. Under a fade the edges would round otherwise than in one
  // draw, so a faded picture is drawn as it comes.
  if (painter.worldTransform().type() != QTransform::TxScale || painter.opacity() < 1) return false;
  const auto mapped = deviceRect(painter, target);
  if (!mapped || std::abs(mapped->width() - image.width()) > 1e-6 ||
      std::abs(mapped->height() - image.height()) > 1e-6) {
    return false;
  }
  const QPoint at(static_cast<int>(std::floor(mapped->left())), static_cast<int>(std::floor(mapped->top())));
  const QPointF shift = mapped->topLeft() - QPointF(at);
  if (isWhole(shift.x()) && isWhole(shift.y())) return false;  // on the grid: copied as it is
  if (entry.shift != shift) {
    // A new fraction is drawn as it comes, and kept only when the next draw
    // has it too: a picture dragged by fractions of a pixel every frame
    // would otherwise be resampled into the cache each time for nothing.
    cachedPixels_ -= pixelCount(entry.shifted);
    entry.shifted = QImage();
    entry.shift = shift;
    return false;
  }
  if (entry.shifted.isNull()) {
    entry.shifted = canvas(static_cast<int>(std::ceil(shift.x() + image.width())),
                           static_cast<int>(std::ceil(shift.y() + image.height())));
    cachedPixels_ += pixelCount(entry.shifted);
    trim();
    // The same scale as on the screen, so that the same pixels come out.
    const QTransform& world = painter.worldTransform();
    QPainter resampler(&entry.shifted);
    resampler.setRenderHints(painter.renderHints());
    resampler.setWorldTransform(QTransform(world.m11(), 0, 0, world.m22(), shift.x(), shift.y()));
    resampler.drawImage(QRectF(QPointF(), target.size()), image);
  }
  copyToDevice(painter, at, entry.shifted, entry.shifted.rect());
  return true;
}

void Renderer::drawStretched(QPainter& painter, const QRectF& target, const ui::Image& image) {
  CachedImage& entry = cachedFor(image);
  const QImage& source = entry.image;
  if (source.isNull()) return;
  ui::EdgeInsets caps = image.capInsets();
  if (caps == ui::EdgeInsets{}) {
    if (!drawShifted(painter, target, entry)) drawImagePart(painter, target, source, source.rect());
    return;
  }
  double s = image.scale();
  double sw = source.width();
  double sh = source.height();
  // Caps in points on the target, shrunk when the target is too small.
  double left = caps.left, right = caps.right, top = caps.top, bottom = caps.bottom;
  if (left + right > target.width() && left + right > 0) {
    double k = target.width() / (left + right);
    left *= k;
    right *= k;
  }
  if (top + bottom > target.height() && top + bottom > 0) {
    double k = target.height() / (top + bottom);
    top *= k;
    bottom *= k;
  }
  const double sx[4] = {0, caps.left * s, sw - caps.right * s, sw};
  const double sy[4] = {0, caps.top * s, sh - caps.bottom * s, sh};
  const double tx[4] = {target.left(), target.left() + left, target.right() - right, target.right()};
  const double ty[4] = {target.top(), target.top() + top, target.bottom() - bottom, target.bottom()};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      QRectF dst(tx[col], ty[row], tx[col + 1] - tx[col], ty[row + 1] - ty[row]);
      QRectF src(sx[col], sy[row], sx[col + 1] - sx[col], sy[row + 1] - sy[row]);
      if (dst.width() <= 0 || dst.height() <= 0 || src.width() <= 0 || src.height() <= 0) continue;
      drawImagePart(painter, dst, source, src);
    }
  }
}

void Renderer::paintList(QPainter& painter, const ui::DisplayList& list) {
  for (const auto& item : list.items()) {
    if (auto f = std::get_if<ui::FillRect>(&item)) {
      fillRect(painter, qtRect(f->rect), f->cornerRadius, qtColor(f->color));
    } else if (auto s = std::get_if<ui::StrokeRect>(&item)) {
      painter.save();
      painter.setPen(QPen(qtColor(s->color), s->lineWidth));
      painter.setBrush(Qt::NoBrush);
      painter.drawPath(rounded(qtRect(s->rect), s->cornerRadius));
      painter.restore();
    } else if (auto c = std::get_if<ui::StrokeCircle>(&item)) {
      painter.save();
      painter.setPen(QPen(qtColor(c->color), c->lineWidth));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(QPointF(c->center.x, c->center.y), c->radius, c->radius);
      painter.restore();
    } else if (auto d = std::get_if<ui::FillCircle>(&item)) {
      painter.save();
      painter.setPen(Qt::NoPen);
      painter.setBrush(qtColor(d->color));
      painter.drawEllipse(QPointF(d->center.x, d->center.y), d->radius, d->radius);
      painter.restore();
    } else if (auto l = std::get_if<ui::Line>(&item)) {
      painter.save();
      painter.setPen(QPen(qtColor(l->color), l->lineWidth, Qt::SolidLine, Qt::RoundCap));
      painter.drawLine(QPointF(l->from.x, l->from.y), QPointF(l->to.x, l->to.y));
      painter.restore();
    } else if (auto t = std::get_if<ui::DrawText>(&item)) {
      painter.save();
      QFont font = qtFont(t->style.font);
      font.setUnderline(t->style.underline);
      painter.setFont(font);
      painter.setPen(qtColor(t->style.color));
      QString text = QString::fromUtf8(t->text.data(), static_cast<qsizetype>(t->text.size()));
      int flags = static_cast<int>(qtAlignment(t->style.alignment)) | Qt::AlignVCenter;
      if (t->style.numberOfLines != 1) flags |= kWrappedTextFlags;
      QRectF rect = qtRect(t->rect).translated(0, -t->style.baselineOffset);
      if (t->style.obliqueness != 0) {
        // Skew about the text's middle line.
        double mid = rect.center().y();
        painter.translate(0, mid);
        painter.shear(-t->style.obliqueness, 0);
        painter.translate(0, -mid);
      }
      if (t->style.numberOfLines == 1) {
        QFontMetricsF metrics(font, &measuringDevice());
        text = metrics.elidedText(text, Qt::ElideRight, rect.width() + 0.5);
      }
      painter.drawText(rect, flags, text);
      painter.restore();
    } else if (auto i = std::get_if<ui::DrawImage>(&item)) {
      painter.save();
      painter.setOpacity(painter.opacity() * i->alpha);
      drawStretched(painter, qtRect(i->rect), *i->image);
      painter.restore();
    }
  }
}

void Renderer::paintView(QPainter& painter, ui::View& view, double parentAlpha) {
  if (view.isHidden()) return;
  double alpha = view.presentationAlpha() * parentAlpha;
  if (alpha <= 0.001) return;
  ui::Rect frame = view.presentationFrame();
  ui::Rect bounds = view.bounds();
  painter.save();
  painter.translate(frame.x, frame.y);
  const ui::Transform& transform = view.transform();
  if (!transform.isIdentity()) {
    painter.translate(frame.width / 2, frame.height / 2);
    painter.rotate(transform.rotation * 180 / std::numbers::pi);
    painter.scale(transform.scale, transform.scale);
    painter.translate(-frame.width / 2, -frame.height / 2);
  }
  painter.translate(-bounds.x, -bounds.y);
  painter.setOpacity(alpha);
  if (view.clipsToBounds()) {
    painter.setClipPath(rounded(QRectF(bounds.x, bounds.y, frame.width, frame.height), view.cornerRadius()),
                        Qt::IntersectClip);
  }
  paintList(painter, view.displayList());
  for (const auto& child : std::vector<std::shared_ptr<ui::View>>(view.subviews())) paintView(painter, *child, alpha);
  painter.restore();
}

void Renderer::paintStatusBar(QPainter& painter) {
  if (ui::Screen::main().isStatusBarHidden()) return;
  ui::Rect screen = ui::Screen::main().interfaceBounds();
  QColor ink = ui::Screen::main().statusBarStyle() == ui::StatusBarStyle::LightContent ? Qt::white : Qt::black;
  painter.save();
  painter.setPen(ink);
  QFont font = qtFont(ui::Font::boldSystemFont(12));
  painter.setFont(font);
  std::time_t now = std::chrono::system_clock::to_time_t(Clock::currentTime());
  std::tm local{};
  localtime_r(&now, &local);
  char time[8];
  std::strftime(time, sizeof time, "%H:%M", &local);
  painter.drawText(QRectF(0, 0, screen.width, ui::kStatusBarHeight), Qt::AlignCenter, QString::fromLatin1(time));
  painter.setFont(qtFont(ui::Font::systemFont(12)));
  painter.drawText(QRectF(6, 0, 100, ui::kStatusBarHeight), Qt::AlignVCenter | Qt::AlignLeft, "Lumora");
  QRectF battery(screen.width - 32, 6, 22, 9);
  painter.setPen(QPen(ink, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(battery, 2, 2);
  painter.fillRect(battery.adjusted(1.5, 1.5, -1.5, -1.5), ink);
  painter.fillRect(QRectF(battery.right() + 1, 9, 1.5, 3), ink);
  painter.restore();
}

void Renderer::paintScreen(QPainter& painter) {
  ui::Rect screen = ui::Screen::main().interfaceBounds();
  painter.fillRect(qtRect(screen), Qt::black);
  for (const auto& window : ui::Screen::main().windows()) {
    window->layoutIfNeeded();
    paintView(painter, *window, 1);
  }
  paintStatusBar(painter);
}

QImage Renderer::renderScreen(double pixelRatio) {
  return renderScreenScaled(ui::Screen::main().profile().scale, pixelRatio);
}

QImage Renderer::renderScreenScaled(double pointScale, double pixelRatio) {
  const ui::Rect screen = ui::Screen::main().interfaceBounds();
  const double pixels = pointScale * pixelRatio;
  QImage image = canvas(static_cast<int>(std::lround(screen.width * pixels)),
                        static_cast<int>(std::lround(screen.height * pixels)), pixelRatio);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.scale(pointScale, pointScale);
  paintScreen(painter);
  return image;
}

QImage Renderer::renderView(ui::View& view, double scale) {
  view.layoutIfNeeded();
  ui::Rect frame = view.frame();
  QImage image = canvas(static_cast<int>(std::lround(frame.width * scale)),
                        static_cast<int>(std::lround(frame.height * scale)));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.scale(scale, scale);
  painter.translate(-frame.x, -frame.y);
  paintView(painter, view, 1);
  return image;
}

Status Renderer::writeScreenPNG(const std::filesystem::path& path) {
  QImage image = renderScreen();
  if (!image.save(QString::fromStdString(path.string()), "PNG")) {
    return Error("platform.uiqt", 1, {{Error::kLocalizedDescriptionKey, "cannot write " + path.string()}});
  }
  return Status();
}

}  // namespace platform::uiqt
