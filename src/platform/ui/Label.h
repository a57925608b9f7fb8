// Labels and image views. A label sets its text in its bounds, centred
// vertically, with its font, colour, alignment and number of lines; an
// attributed label sets runs of text one after another on a line, each with
// its own underline, obliqueness and baseline offset. An image view draws
// its image filling its bounds (stretched by the image's cap insets).
//
// Ownership: views, made with std::make_shared. Threading: main thread.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/Image.h"
#include "platform/ui/View.h"

namespace platform::ui {

struct TextRun {
  TextRun(std::string text = {}, bool underline = false, double obliqueness = 0, double baselineOffset = 0,
          std::optional<Color> color = std::nullopt, std::optional<Font> font = std::nullopt)
      : text(std::move(text)),
        underline(underline),
        obliqueness(obliqueness),
        baselineOffset(baselineOffset),
        color(std::move(color)),
        font(std::move(font)) {}

  std::string text;
  bool underline = false;
  double obliqueness = 0;
  double baselineOffset = 0;
  std::optional<Color> color;
  // A font of its own (else the label's); its line sits on the bottom of
  // the label's line, so a smaller run shares the larger text's foot.
  std::optional<Font> font;
};

class Label : public View {
 public:
  using View::View;

  const std::string& text() const { return text_; }
  void setText(std::string text) {
    text_ = std::move(text);
    runs_.clear();
  }
  // Replaces the text with the runs (text() becomes their concatenation).
  void setAttributedText(std::vector<TextRun> runs);
  const std::vector<TextRun>& attributedText() const { return runs_; }

  const Font& font() const { return style_.font; }
  void setFont(const Font& font) { style_.font = font; }
  const Color& textColor() const { return style_.color; }
  void setTextColor(const Color& color) { style_.color = color; }
  TextAlignment textAlignment() const { return style_.alignment; }
  void setTextAlignment(TextAlignment alignment) { style_.alignment = alignment; }
  int numberOfLines() const { return style_.numberOfLines; }
  void setNumberOfLines(int lines) { style_.numberOfLines = lines; }
  const TextStyle& style() const { return style_; }

  // The text's size set at most `size.width` wide (one line: unbounded).
  Size sizeThatFits(Size size) const override;
  void draw(DisplayList& list) const override;
  std::string describeSelf() const override;

 private:
  std::string text_;
  std::vector<TextRun> runs_;
  TextStyle style_;
};

// How an image view places its image: stretched over its bounds, or scaled
// to fit inside them or to fill them (the overflow cut off when the view
// clips), keeping its proportions and centred.
enum class ContentMode { ScaleToFill, AspectFit, AspectFill };

class ImageView : public View {
 public:
  using View::View;
  explicit ImageView(std::optional<Image> image) : image_(std::move(image)) {
    if (image_) setFrame({0, 0, image_->size().width, image_->size().height});
  }
  const std::optional<Image>& image() const { return image_; }
  void setImage(std::optional<Image> image) { image_ = std::move(image); }
  ContentMode contentMode() const { return contentMode_; }
  void setContentMode(ContentMode mode) { contentMode_ = mode; }
  Size sizeThatFits(Size size) const override { return image_ ? image_->size() : size; }
  // Where the image is drawn, in bounds coordinates.
  Rect imageRect() const;
  void draw(DisplayList& list) const override {
    if (image_) list.image(imageRect(), *image_);
  }

 private:
  std::optional<Image> image_;
  ContentMode contentMode_ = ContentMode::ScaleToFill;
};

}  // namespace platform::ui
