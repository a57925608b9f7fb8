#include "platform/ui/Control.h"

#include <algorithm>

#include <fmt/format.h>

#include "platform/ui/Window.h"

namespace platform::ui {

void Control::addAction(unsigned events, Action action) {
  if (action) actions_.emplace_back(events, std::move(action));
}

bool Control::sendActionsForControlEvents(unsigned events) {
  auto actions = actions_;  // an action may change the list
  bool sent = false;
  for (auto& [mask, action] : actions) {
    if (!(mask & events)) continue;
    sent = true;
    action(*this);
  }
  return sent;
}

ControlState Control::state() const {
  if (!enabled_) return ControlState::Disabled;
  if (highlighted_) return ControlState::Highlighted;
  if (selected_) return ControlState::Selected;
  return ControlState::Normal;
}

bool Control::inside(const Touch& touch) const {
  return pointInside(convertPointFromView(touch.location, nullptr));
}

void Control::touchesBegan(const Touch&) {
  if (!enabled_) return;
  tracking_ = true;
  setHighlighted(true);
  sendActionsForControlEvents(kControlEventTouchDown);
}

void Control::touchesMoved(const Touch& touch) {
  if (tracking_ && inside(touch) != highlighted_) setHighlighted(inside(touch));
}

void Control::touchesEnded(const Touch& touch) {
  if (!tracking_) return;
  tracking_ = false;
  setHighlighted(false);
  sendActionsForControlEvents(inside(touch) ? kControlEventTouchUpInside : kControlEventTouchUpOutside);
}

void Control::touchesCancelled(const Touch&) {
  tracking_ = false;
  setHighlighted(false);
}

Button::Button(Rect frame) : Control(frame) {
  titleLabel_->setFont(Font::systemFont(15));
  titleLabel_->setTextColor(Color::white());
  titleLabel_->setTextAlignment(TextAlignment::Center);
  titleLabel_->setUserInteractionEnabled(false);
  imageView_->setUserInteractionEnabled(false);
  titleColors_[ControlState::Normal] = Color::white();
}

template <class V>
std::optional<V> Button::lookUp(const std::map<ControlState, V>& table, ControlState state) {
  auto found = table.find(state);
  if (found == table.end()) found = table.find(ControlState::Normal);
  if (found == table.end()) return std::nullopt;
  return found->second;
}

void Button::setTitle(std::optional<std::string> title, ControlState state) {
  if (title) {
    titles_[state] = std::move(*title);
  } else {
    titles_.erase(state);
  }
  refresh();
}

std::optional<std::string> Button::titleForState(ControlState state) const { return lookUp(titles_, state); }

void Button::setTitleColor(const Color& color, ControlState state) {
  titleColors_[state] = color;
  refresh();
}

void Button::setImage(std::optional<Image> image, ControlState state) {
  if (image) {
    images_.insert_or_assign(state, std::move(*image));
  } else {
    images_.erase(state);
  }
  refresh();
}

void Button::setBackgroundImage(std::optional<Image> image, ControlState state) {
  if (image) {
    backgrounds_.insert_or_assign(state, std::move(*image));
  } else {
    backgrounds_.erase(state);
  }
}

std::optional<Image> Button::currentImage() const { return lookUp(images_, state()); }
std::optional<Image> Button::currentBackgroundImage() const { return lookUp(backgrounds_, state()); }

void Button::refresh() {
  // An attributed title of the same text (an underlined link) outlives a
  // press: only a new title replaces it.
  if (titleLabel_->text() != title()) titleLabel_->setText(title());
  if (auto color = lookUp(titleColors_, state())) titleLabel_->setTextColor(*color);
  imageView_->setImage(currentImage());
  const bool dimmed = !isEnabled() && adjustsImageWhenDisabled_ && !images_.count(ControlState::Disabled);
  imageView_->setAlpha(dimmed ? kDisabledImageAlpha : 1);
  setNeedsLayout();
}

void Button::setAdjustsImageWhenDisabled(bool adjusts) {
  adjustsImageWhenDisabled_ = adjusts;
  refresh();
}

void Button::setEnabled(bool enabled) {
  Control::setEnabled(enabled);
  refresh();
}
void Button::setHighlighted(bool highlighted) {
  Control::setHighlighted(highlighted);
  refresh();
}
void Button::setSelected(bool selected) {
  Control::setSelected(selected);
  refresh();
}

Rect Button::imageRectForContentRect(const Rect& content) const {
  auto image = currentImage();
  Size is = image ? image->size() : Size{};
  Size ts = titleLabel_->text().empty() ? Size{} : titleLabel_->sizeThatFits({content.width, content.height});
  double total = std::min(content.width, is.width + ts.width);
  double x = content.midX() - total / 2;
  return {x, content.midY() - is.height / 2, is.width, is.height};
}

Rect Button::titleRectForContentRect(const Rect& content) const {
  auto image = currentImage();
  Size is = image ? image->size() : Size{};
  Size ts = titleLabel_->text().empty() ? Size{} : titleLabel_->sizeThatFits({content.width, content.height});
  double total = std::min(content.width, is.width + ts.width);
  double x = content.midX() - total / 2 + is.width;
  return {x, content.midY() - ts.height / 2, std::max(0.0, std::min(ts.width, content.maxX() - x)), ts.height};
}

void Button::layoutSubviews() {
  Rect content = bounds();
  if (!imageView_->superview()) addSubview(imageView_);
  if (!titleLabel_->superview()) addSubview(titleLabel_);
  imageView_->setFrame(imageRectForContentRect(content));
  titleLabel_->setFrame(titleRectForContentRect(content));
}

void Button::draw(DisplayList& list) const {
  if (auto background = currentBackgroundImage()) list.image(bounds(), *background);
}

std::string Button::describeSelf() const {
  return fmt::format("Button '{}'{}", title(), isHighlighted() ? " highlighted" : isEnabled() ? "" : " disabled");
}

void Switch::touchesEnded(const Touch& touch) {
  bool wasTracking = isHighlighted();
  Control::touchesEnded(touch);
  if (!wasTracking || !pointInside(convertPointFromView(touch.location, nullptr))) return;
  on_ = !on_;
  sendActionsForControlEvents(kControlEventValueChanged);
}

void Switch::draw(DisplayList& list) const {
  Rect b = bounds();
  list.fillRect(b, on_ ? onTint_ : colorWithHexString("e5e5e5"), b.height / 2);
  double knob = b.height - 2;
  list.fillCircle({on_ ? b.maxX() - 1 - knob / 2 : b.x + 1 + knob / 2, b.midY()}, knob / 2, Color::white());
}

void TextField::insertText(const std::string& text) {
  text_ += text;
  sendActionsForControlEvents(kControlEventEditingChanged);
}

void TextField::deleteBackward() {
  auto chars = decodeUtf8(text_);
  if (chars.empty()) return;
  chars.pop_back();
  text_ = encodeUtf8(chars);
  sendActionsForControlEvents(kControlEventEditingChanged);
}

bool TextField::becomeFirstResponder() {
  Screen::main().setFirstResponder(std::static_pointer_cast<TextField>(shared_from_this()));
  return true;
}

void TextField::resignFirstResponder() {
  if (isFirstResponder()) Screen::main().setFirstResponder(nullptr);
}

bool TextField::isFirstResponder() const { return Screen::main().firstResponder().get() == this; }

void TextField::touchesEnded(const Touch& touch) {
  Control::touchesEnded(touch);
  if (isEnabled()) becomeFirstResponder();
}

void TextField::draw(DisplayList& list) const {
  Rect b = bounds().inset({0, 4, 0, 4});
  if (text_.empty()) {
    TextStyle faint = style_;
    faint.color = Color::gray(0.7);
    list.text(b, placeholder_, faint);
  } else {
    std::string shown = text_;
    if (secure_) shown = std::string(decodeUtf8(text_).size(), '*');
    list.text(b, shown, style_);
  }
  if (isFirstResponder()) {
    double w = TextMeasurer::current()->measure(text_, style_.font, 0, 1).width;
    list.line({b.x + w + 1, b.y + 4}, {b.x + w + 1, b.maxY() - 4}, 1, colorWithHexString("1c65c5"));
  }
}

}  // namespace platform::ui
