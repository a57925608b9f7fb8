// The app's button: background colours that follow the highlighted state,
// fixed title and image rectangles that replace the platform's layout (the
// zero rectangle keeps the platform's), and a title label of the caller's
// own, laid out inside the button by edge insets.
//
// A button made with create() starts with clear colours; one made by a
// scene (std::make_shared) starts with none, which shows no background.
//
// Ownership: a view; it owns its custom title label. Threading: main thread.
#pragma once

#include <memory>
#include <optional>

#include "platform/ui/Control.h"

namespace lumora {

class LMCustomButton : public platform::ui::Button {
 public:
  using Button::Button;
  static std::shared_ptr<LMCustomButton> create(const platform::ui::Rect& frame = {});

  const platform::ui::EdgeInsets& customTitleEdgeInsets() const { return insets_; }
  void setCustomTitleEdgeInsets(const platform::ui::EdgeInsets& insets) {
    insets_ = insets;
    setNeedsLayout();
  }
  const std::shared_ptr<platform::ui::Label>& customTitleLabel() const { return customTitleLabel_; }
  void setCustomTitleLabel(std::shared_ptr<platform::ui::Label> label);
  const platform::ui::Rect& titleRect() const { return titleRect_; }
  void setTitleRect(const platform::ui::Rect& rect) {
    titleRect_ = rect;
    setNeedsLayout();
  }
  const platform::ui::Rect& imageRect() const { return imageRect_; }
  void setImageRect(const platform::ui::Rect& rect) {
    imageRect_ = rect;
    setNeedsLayout();
  }
  const std::optional<platform::ui::Color>& normalBackgroundColor() const { return normal_; }
  void setNormalBackgroundColor(std::optional<platform::ui::Color> color);
  const std::optional<platform::ui::Color>& highlightedBackgroundColor() const { return highlighted_; }
  void setHighlightedBackgroundColor(std::optional<platform::ui::Color> color);

  void setHighlighted(bool highlighted) override;
  void layoutSubviews() override;
  platform::ui::Rect titleRectForContentRect(const platform::ui::Rect& content) const override;
  platform::ui::Rect imageRectForContentRect(const platform::ui::Rect& content) const override;

 private:
  platform::ui::EdgeInsets insets_;
  std::shared_ptr<platform::ui::Label> customTitleLabel_;
  platform::ui::Rect titleRect_;
  platform::ui::Rect imageRect_;
  std::optional<platform::ui::Color> normal_;
  std::optional<platform::ui::Color> highlighted_;
};

}  // namespace lumora
