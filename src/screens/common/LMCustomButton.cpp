#include "screens/common/LMCustomButton.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMCustomButton> LMCustomButton::create(const ui::Rect& frame) {
  auto button = std::make_shared<LMCustomButton>(frame);
  button->normal_ = ui::Color::clear();
  button->highlighted_ = ui::Color::clear();
  return button;
}

void LMCustomButton::setNormalBackgroundColor(std::optional<ui::Color> color) {
  normal_ = std::move(color);
  if (!isHighlighted()) setBackgroundColor(normal_);
}

void LMCustomButton::setHighlightedBackgroundColor(std::optional<ui::Color> color) {
  highlighted_ = std::move(color);
  if (isHighlighted()) setBackgroundColor(highlighted_);
}

void LMCustomButton::setHighlighted(bool highlighted) {
  Button::setHighlighted(highlighted);
  setBackgroundColor(highlighted ? highlighted_ : normal_);
}

void LMCustomButton::setCustomTitleLabel(std::shared_ptr<ui::Label> label) {
  if (label == customTitleLabel_) return;
  if (customTitleLabel_ && customTitleLabel_->superview().get() == this) customTitleLabel_->removeFromSuperview();
  customTitleLabel_ = std::move(label);
  if (customTitleLabel_) addSubview(customTitleLabel_);
  setNeedsLayout();
}

void LMCustomButton::layoutSubviews() {
  Button::layoutSubviews();
  if (!customTitleLabel_) return;
  const ui::Rect& f = frame();
  customTitleLabel_->setFrame(
      {insets_.left, insets_.top, f.width - insets_.left - insets_.right, f.height - insets_.top - insets_.bottom});
}

ui::Rect LMCustomButton::titleRectForContentRect(const ui::Rect& content) const {
  return titleRect_.isZero() ? Button::titleRectForContentRect(content) : titleRect_;
}

ui::Rect LMCustomButton::imageRectForContentRect(const ui::Rect& content) const {
  return imageRect_.isZero() ? Button::imageRectForContentRect(content) : imageRect_;
}

}  // namespace lumora
