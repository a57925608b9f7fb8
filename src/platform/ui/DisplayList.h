// What a view draws, recorded: a list of drawing commands in the view's own
// coordinates (points), which the renderer replays with QPainter and tests
// read back (items(), describe()). A recorded list is also a picture: an
// Image made from one is rasterised by the renderer at its pixel size.
//
// Ownership: a value. Threading: any thread, one at a time. Nothing fails.
#pragma once

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/ui/Color.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/TextMeasurer.h"

namespace platform::ui {

class Image;

enum class TextAlignment { Left, Center, Right };

// The look of a run of text: the attributes of attributed labels.
struct TextStyle {
  Font font;
  Color color = Color::black();
  TextAlignment alignment = TextAlignment::Left;
  int numberOfLines = 1;  // 0: any number
  bool underline = false;
  double obliqueness = 0;     // horizontal skew, as a fraction of the height
  double baselineOffset = 0;  // points up from the baseline
  friend bool operator==(const TextStyle&, const TextStyle&) = default;
};

struct FillRect {
  Rect rect;
  Color color;
  double cornerRadius = 0;
};
struct StrokeRect {
  Rect rect;
  Color color;
  double lineWidth = 1;
  double cornerRadius = 0;
};
struct StrokeCircle {
  Point center;
  double radius = 0;
  double lineWidth = 1;
  Color color;
};
struct FillCircle {
  Point center;
  double radius = 0;
  Color color;
};
struct Line {
  Point from;
  Point to;
  double lineWidth = 1;
  Color color;
};
struct DrawText {
  Rect rect;  // the text is set from the top of the rectangle, centred in it vertically
  std::string text;
  TextStyle style;
};
struct DrawImage {
  Rect rect;
  std::shared_ptr<const Image> image;  // drawn stretched by its cap insets
  double alpha = 1;
};

using DisplayItem = std::variant<FillRect, StrokeRect, StrokeCircle, FillCircle, Line, DrawText, DrawImage>;

class DisplayList {
 public:
  void fillRect(const Rect& rect, const Color& color, double cornerRadius = 0) {
    items_.push_back(FillRect{rect, color, cornerRadius});
  }
  void strokeRect(const Rect& rect, const Color& color, double lineWidth = 1, double cornerRadius = 0) {
    items_.push_back(StrokeRect{rect, color, lineWidth, cornerRadius});
  }
  void strokeCircle(Point center, double radius, double lineWidth, const Color& color) {
    items_.push_back(StrokeCircle{center, radius, lineWidth, color});
  }
  void fillCircle(Point center, double radius, const Color& color) {
    items_.push_back(FillCircle{center, radius, color});
  }
  void line(Point from, Point to, double lineWidth, const Color& color) {
    items_.push_back(Line{from, to, lineWidth, color});
  }
  void text(const Rect& rect, std::string text, const TextStyle& style) {
    items_.push_back(DrawText{rect, std::move(text), style});
  }
  void image(const Rect& rect, const Image& image, double alpha = 1);

  const std::vector<DisplayItem>& items() const { return items_; }
  bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }
  // One line per item: "fill 0 0 200x140 #faffffff r6", "text ... '停止'".
  std::string describe(const std::string& indent = "") const;

 private:
  std::vector<DisplayItem> items_;
};

}  // namespace platform::ui
