#include "platform/ui/BackBarButton.h"

#include "platform/ui/Resources.h"

namespace platform::ui {

BackBarButton::BackBarButton(double x, double y, double height) : Button(Rect{x, y, 0, height}) {
  setTitle(localizedString("返回"));
  titleLabel()->setFont(Font::systemFont(17));
  const double titleWidth = titleLabel()->sizeThatFits({0, height}).width;
  setFrame({x, y, kChevronWidth + kChevronGap + titleWidth, height});
}

Rect BackBarButton::titleRectForContentRect(const Rect& content) const {
  const double x = content.x + kChevronWidth + kChevronGap;
  const Size fits = titleLabel()->sizeThatFits({0, content.height});
  return {x, content.midY() - fits.height / 2, std::max(0.0, content.maxX() - x), fits.height};
}

void BackBarButton::draw(DisplayList& list) const {
  Button::draw(list);
  const Rect b = bounds();
  const Color color = titleLabel()->textColor();
  const double half = 10;
  const Point tip{b.x + 2, b.midY()};
  list.line({tip.x + kChevronWidth - 3, tip.y - half}, tip, 3, color);
  list.line(tip, {tip.x + kChevronWidth - 3, tip.y + half}, 3, color);
}

}  // namespace platform::ui
