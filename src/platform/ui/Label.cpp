#include "platform/ui/Label.h"

#include <algorithm>

#include <fmt/format.h>

namespace platform::ui {

void Label::setAttributedText(std::vector<TextRun> runs) {
  text_.clear();
  for (const auto& run : runs) text_ += run.text;
  runs_ = std::move(runs);
}

Size Label::sizeThatFits(Size size) const {
  double width = style_.numberOfLines == 1 ? 0 : size.width;
  return TextMeasurer::current()->measure(text_, style_.font, width, style_.numberOfLines);
}

void Label::draw(DisplayList& list) const {
  if (text_.empty()) return;
  Rect b = bounds();
  if (runs_.empty()) {
    list.text(b, text_, style_);
    return;
  }
  auto measurer = TextMeasurer::current();
  double total = 0;
  for (const auto& run : runs_) total += measurer->measure(run.text, run.font.value_or(style_.font), 0, 1).width;
  double x = style_.alignment == TextAlignment::Left     ? b.x
             : style_.alignment == TextAlignment::Center ? b.midX() - total / 2
                                                         : b.maxX() - total;
  for (const auto& run : runs_) {
    TextStyle style = style_;
    style.alignment = TextAlignment::Left;
    style.numberOfLines = 1;
    style.underline = run.underline;
    style.obliqueness = run.obliqueness;
    style.baselineOffset = run.baselineOffset;
    if (run.color) style.color = *run.color;
    if (run.font) style.font = *run.font;
    double w = measurer->measure(run.text, style.font, 0, 1).width;
    Rect rect{x, b.y, w, b.height};
    if (run.font) {
      const double bottom = b.midY() + measurer->lineHeight(style_.font) / 2;
      const double height = measurer->lineHeight(style.font);
      rect = {x, bottom - height, w, height};
    }
    list.text(rect, run.text, style);
    x += w;
  }
}

std::string Label::describeSelf() const { return fmt::format("Label '{}'", text_); }

Rect ImageView::imageRect() const {
  Rect b = bounds();
  if (!image_ || contentMode_ == ContentMode::ScaleToFill) return b;
  Size size = image_->size();
  if (size.width <= 0 || size.height <= 0) return b;
  double sx = b.width / size.width;
  double sy = b.height / size.height;
  double s = contentMode_ == ContentMode::AspectFit ? std::min(sx, sy) : std::max(sx, sy);
  double w = size.width * s;
  double h = size.height * s;
  return {b.x + (b.width - w) / 2, b.y + (b.height - h) / 2, w, h};
}

}  // namespace platform::ui
