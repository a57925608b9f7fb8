// The back item a navigation bar shows on a pushed screen that sets no left
// item of its own: a chevron and the word "返回" ("Back"), both in the
// button's title colour, sized to fit them.
//
// Ownership: a view, made with std::make_shared. Threading: main thread.
// Nothing fails.
#pragma once

#include "platform/ui/Control.h"

namespace platform::ui {

class BackBarButton : public Button {
 public:
  // A button whose left edge is at `x`, `height` tall, its title laid out
  // after the chevron.
  BackBarButton(double x, double y, double height);

  Rect titleRectForContentRect(const Rect& content) const override;
  void draw(DisplayList& list) const override;

 private:
  static constexpr double kChevronWidth = 12;
  static constexpr double kChevronGap = 6;
};

}  // namespace platform::ui
