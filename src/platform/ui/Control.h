// Controls: views that turn touches into events (touch down, touch up
// inside and outside, value changed, editing changed) and send them to the
// actions added for them. A target-action pair holds its target weakly: the
// action is dropped unsent once the target is gone. Buttons have a title,
// title colour, image and background image per state, and lay the image and
// title out side by side in the middle unless a subclass answers the title
// and image rectangles. Also the switch and the single-line text field.
//
// Ownership: views, made with std::make_shared. Threading: main thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Image.h"
#include "platform/ui/Label.h"
#include "platform/ui/View.h"

namespace platform::ui {

enum ControlEvent : unsigned {
  kControlEventTouchDown = 1u << 0,
  kControlEventTouchUpInside = 1u << 6,
  kControlEventTouchUpOutside = 1u << 7,
  kControlEventValueChanged = 1u << 12,
  kControlEventEditingChanged = 1u << 17,
};

enum class ControlState { Normal, Highlighted, Disabled, Selected };

class Control : public View {
 public:
  using View::View;
  using Action = std::function<void(Control& sender)>;

  void addAction(unsigned events, Action action);
  template <class T>
  void addTarget(const std::shared_ptr<T>& target, void (T::*method)(Control&), unsigned events) {
    std::weak_ptr<T> weak = target;
    addAction(events, [weak, method](Control& sender) {
      if (auto strong = weak.lock()) ((*strong).*method)(sender);
    });
  }
  void removeAllActions() { actions_.clear(); }
  // Runs the actions of `events`; false when none is added for them.
  bool sendActionsForControlEvents(unsigned events);
  // A touch-up inside, as a tap does (the old name of the stand-ins).
  bool tap() { return sendActionsForControlEvents(kControlEventTouchUpInside); }
  void setAction(std::function<void()> action) {
    removeAllActions();
    addAction(kControlEventTouchUpInside, [action = std::move(action)](Control&) { action(); });
  }

  bool isEnabled() const { return enabled_; }
  virtual void setEnabled(bool enabled) { enabled_ = enabled; }
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected) { selected_ = selected; }
  ControlState state() const;

  void touchesBegan(const Touch& touch) override;
  void touchesMoved(const Touch& touch) override;
  void touchesEnded(const Touch& touch) override;
  void touchesCancelled(const Touch& touch) override;

 private:
  bool inside(const Touch& touch) const;
  std::vector<std::pair<unsigned, Action>> actions_;
  bool enabled_ = true;
  bool highlighted_ = false;
  bool selected_ = false;
  bool tracking_ = false;
};

class Button : public Control {
 public:
  explicit Button(Rect frame = {});

  void setTitle(std::optional<std::string> title, ControlState state = ControlState::Normal);
  std::optional<std::string> titleForState(ControlState state) const;
  // The title shown now.
  std::string title() const { return titleForState(state()).value_or(""); }
  void setTitleColor(const Color& color, ControlState state = ControlState::Normal);
  void setImage(std::optional<Image> image, ControlState state = ControlState::Normal);
  void setBackgroundImage(std::optional<Image> image, ControlState state = ControlState::Normal);
  std::optional<Image> currentImage() const;
  std::optional<Image> currentBackgroundImage() const;

  const std::shared_ptr<Label>& titleLabel() const { return titleLabel_; }
  const std::shared_ptr<ImageView>& imageView() const { return imageView_; }
  // A disabled button without a picture of its own for that state draws
  // its picture lighter, as the platform does (on unless turned off).
  bool adjustsImageWhenDisabled() const { return adjustsImageWhenDisabled_; }
  void setAdjustsImageWhenDisabled(bool adjusts);
  static constexpr double kDisabledImageAlpha = 0.35;

  // The layout's two rectangles for a content rectangle (the bounds).
  virtual Rect titleRectForContentRect(const Rect& content) const;
  virtual Rect imageRectForContentRect(const Rect& content) const;

  void setEnabled(bool enabled) override;
  void setHighlighted(bool highlighted) override;
  void setSelected(bool selected) override;
  void layoutSubviews() override;
  void draw(DisplayList& list) const override;
  std::string describeSelf() const override;

 private:
  template <class V>
  static std::optional<V> lookUp(const std::map<ControlState, V>& table, ControlState state);
  void refresh();

  std::map<ControlState, std::string> titles_;
  std::map<ControlState, Color> titleColors_;
  std::map<ControlState, Image> images_;
  std::map<ControlState, Image> backgrounds_;
  std::shared_ptr<Label> titleLabel_ = std::make_shared<Label>();
  std::shared_ptr<ImageView> imageView_ = std::make_shared<ImageView>();
  bool adjustsImageWhenDisabled_ = true;
};

class Switch : public Control {
 public:
  explicit Switch(Rect frame = {}) : Control(Rect{frame.x, frame.y, 51, 31}) {}
  bool isOn() const { return on_; }
  void setOn(bool on) { on_ = on; }
  // The track's colour while on (a green by default).
  const Color& onTintColor() const { return onTint_; }
  void setOnTintColor(const Color& color) { onTint_ = color; }
  void touchesEnded(const Touch& touch) override;
  void draw(DisplayList& list) const override;

 private:
  bool on_ = false;
  Color onTint_ = colorWithHexString("4cd964");
};

// A single-line text field: the keys typed while it is the screen's first
// responder go in at the end (typing and Chinese input alike).
class TextField : public Control {
 public:
  using Control::Control;
  const std::string& text() const { return text_; }
  void setText(std::string text) { text_ = std::move(text); }
  void setPlaceholder(std::string placeholder) { placeholder_ = std::move(placeholder); }
  void setSecureTextEntry(bool secure) { secure_ = secure; }
  void setFont(const Font& font) { style_.font = font; }
  void setTextColor(const Color& color) { style_.color = color; }
  void insertText(const std::string& text);
  void deleteBackward();
  bool becomeFirstResponder();
  void resignFirstResponder();
  bool isFirstResponder() const;
  void touchesEnded(const Touch& touch) override;
  void draw(DisplayList& list) const override;

 private:
  std::string text_;
  std::string placeholder_;
  bool secure_ = false;
  TextStyle style_{Font::systemFont(15)};
};

}  // namespace platform::ui
