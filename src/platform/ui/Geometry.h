// Plain geometry of the UI kit in points: points, sizes, rectangles, edge
// insets and the view transform (a rotation and a uniform scale about the
// view's centre). Values only; nothing here fails.
#pragma once

#include <algorithm>

namespace platform::ui {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct EdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  friend bool operator==(const EdgeInsets&, const EdgeInsets&) = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  static Rect zero() { return {}; }
  Point origin() const { return {x, y}; }
  Size size() const { return {width, height}; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  double midX() const { return x + width / 2; }
  double midY() const { return y + height / 2; }
  Point center() const { return {midX(), midY()}; }
  bool isZero() const { return x == 0 && y == 0 && width == 0 && height == 0; }
  bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }
  bool intersects(const Rect& o) const {
    return x < o.maxX() && o.x < maxX() && y < o.maxY() && o.y < maxY();
  }
  Rect inset(const EdgeInsets& e) const {
    return {x + e.left, y + e.top, std::max(0.0, width - e.left - e.right),
            std::max(0.0, height - e.top - e.bottom)};
  }
  Rect offset(double dx, double dy) const { return {x + dx, y + dy, width, height}; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A rotation (radians) and a uniform scale, applied about the view's centre.
struct Transform {
  double rotation = 0;
  double scale = 1;
  static Transform identity() { return {}; }
  static Transform rotated(double radians) { return {radians, 1}; }
  Transform scaled(double by) const { return {rotation, scale * by}; }
  bool isIdentity() const { return rotation == 0 && scale == 1; }
  friend bool operator==(const Transform&, const Transform&) = default;
};

}  // namespace platform::ui
