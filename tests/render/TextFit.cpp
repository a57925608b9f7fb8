#include "render/TextFit.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <variant>

#include "platform/ui/ScrollView.h"
#include "platform/ui/Window.h"
#include "platform/uiqt/QtGuiSupport.h"

namespace testsupport {

namespace ui = platform::ui;

namespace {

constexpr double kSlack = 0.5;  // the renderer elides only past half a point

bool inside(const ui::Rect& inner, const ui::Rect& outer) {
  return inner.x >= outer.x - kSlack && inner.y >= outer.y - kSlack && inner.maxX() <= outer.maxX() + kSlack &&
         inner.maxY() <= outer.maxY() + kSlack;
}

std::string rectText(const ui::Rect& r) { return fmt::format("{:g},{:g} {:g}x{:g}", r.x, r.y, r.width, r.height); }

// The rectangle the renderer sets `text` in (moved up by its baseline
// offset).
ui::Rect setIn(const ui::DrawText& text) { return text.rect.offset(0, -text.style.baselineOffset); }

// Where the ink of `text` goes when it is set as the renderer sets it but
// not clipped to its rectangle (the renderer clips: ink outside is lost),
// found on a canvas a few points larger than the rectangle at twice the
// size (ink that reaches the canvas's edge is outside the rectangle in any
// case).
ui::Rect inkOf(const ui::DrawText& text) {
  constexpr double kScale = 2;
  constexpr double kMargin = 4;
  const ui::Rect rect = setIn(text);
  QImage canvas = platform::uiqt::canvas(static_cast<int>(std::ceil((rect.width + 2 * kMargin) * kScale)),
                                         static_cast<int>(std::ceil((rect.height + 2 * kMargin) * kScale)));
  {
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(kScale, kScale);
    painter.setFont(platform::uiqt::qtFont(text.style.font));
    painter.setPen(Qt::black);
    const Qt::Alignment horizontal = text.style.alignment == ui::TextAlignment::Center  ? Qt::AlignHCenter
                                     : text.style.alignment == ui::TextAlignment::Right ? Qt::AlignRight
                                                                                        : Qt::AlignLeft;
    int flags = static_cast<int>(horizontal) | Qt::AlignVCenter | Qt::TextDontClip;
    if (text.style.numberOfLines != 1) flags |= platform::uiqt::kWrappedTextFlags;
    painter.drawText(QRectF(kMargin, kMargin, rect.width, rect.height), flags, QString::fromStdString(text.text));
  }
  int left = canvas.width(), top = canvas.height(), right = -1, bottom = -1;
  for (int y = 0; y < canvas.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(canvas.constScanLine(y));
    for (int x = 0; x < canvas.width(); ++x) {
      if (qAlpha(row[x]) < 64) continue;  // the faintest edge of anti-aliasing
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) return rect;
  return {left / kScale - kMargin + rect.x, top / kScale - kMargin + rect.y, (right + 1 - left) / kScale,
          (bottom + 1 - top) / kScale};
}

// What does not fit of `text`: a single line wider than its rectangle is
// elided; ink outside it spills.
std::string misfit(const ui::DrawText& text) {
  if (text.style.numberOfLines == 1) {
    const QFontMetricsF metrics(platform::uiqt::qtFont(text.style.font), &platform::uiqt::measuringDevice());
    const double width = metrics.horizontalAdvance(QString::fromStdString(text.text));
    if (width > text.rect.width + kSlack) return fmt::format("is elided: needs {:.1f} wide", width);
  }
  const ui::Rect ink = inkOf(text);
  if (!inside(ink, setIn(text))) return "is drawn at " + rectText(ink);
  return {};
}

// What a view that clips can show: its bounds, or for a scroll view all
// that scrolling brings into view (its content, with its insets, and at
// least its own size).
ui::Rect visibleRoom(const ui::View& clip) {
  const auto* scroll = dynamic_cast<const ui::ScrollView*>(&clip);
  if (!scroll) return clip.bounds();
  const ui::EdgeInsets& inset = scroll->contentInset();
  const ui::Size content = scroll->contentSize();
  return {-inset.left, -inset.top, std::max(content.width + inset.left + inset.right, clip.frame().width),
          std::max(content.height + inset.top + inset.bottom, clip.frame().height)};
}

void collect(const ui::View& view, std::vector<const ui::View*>& clips, std::vector<std::string>& out) {
  if (view.isHidden() || view.presentationAlpha() <= 0.001) return;
  const ui::DisplayList list = view.displayList();
  for (const auto& item : list.items()) {
    const auto* text = std::get_if<ui::DrawText>(&item);
    if (!text || text->text.empty()) continue;
    std::string fault = misfit(*text);
    const ui::Rect rect = setIn(*text);
    if (fault.empty() && !inside(rect, view.bounds())) fault = "is set outside its view " + rectText(view.bounds());
    bool shown = true;
    for (std::size_t i = 0; shown && fault.empty() && i < clips.size(); ++i) {
      const ui::Point origin = view.convertPointToView(rect.origin(), clips[i]);
      const ui::Rect there{origin.x, origin.y, rect.width, rect.height};
      const ui::Rect room = visibleRoom(*clips[i]);
      shown = there.intersects(room);  // wholly clipped away: not drawn at all
      if (shown && !inside(there, room)) fault = "is cut by " + clips[i]->describeSelf() + " " + rectText(room);
    }
    if (!shown) continue;
    if (!fault.empty()) {
      out.push_back(fmt::format("{} '{}' in {} {}", view.describeSelf(), text->text, rectText(text->rect), fault));
    }
  }
  // A window is cut by the screen's edges.
  const bool clipping = view.clipsToBounds() || dynamic_cast<const ui::Window*>(&view) != nullptr;
  if (clipping) clips.push_back(&view);
  for (const auto& child : view.subviews()) collect(*child, clips, out);
  if (clipping) clips.pop_back();
}

}  // namespace

std::vector<std::string> textMisfits(const ui::View& root) {
  std::vector<std::string> out;
  std::vector<const ui::View*> clips;
  collect(root, clips, out);
  return out;
}

}  // namespace testsupport
