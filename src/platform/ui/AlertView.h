// Alerts and action sheets: a title, a message and buttons, shown in a
// window of their own above everything (the alert level). A button press,
// by touch or by title from a test, takes the alert down and then tells the
// delegate callback the button's index (in the order the buttons were
// added; an alert's cancel button comes first, an action sheet's last).
// The alerts on screen can be listed, so a test finds the one it expects.
//
// Ownership: an alert on screen is held by the screen's list until a button
// is pressed or it is dismissed. Threading: main thread. Failure: pressing
// a title that no button has is refused (false).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Control.h"
#include "platform/ui/Window.h"

namespace platform::ui {

class AlertView;

// Told of a button press after the clicked callback; held weakly.
class AlertViewDelegate {
 public:
  virtual ~AlertViewDelegate() = default;
  virtual void alertViewClickedButtonAtIndex(AlertView& alert, int buttonIndex) = 0;
};

class AlertView : public std::enable_shared_from_this<AlertView> {
 public:
  enum class Style { Alert, ActionSheet };
  using Clicked = std::function<void(AlertView& alert, int buttonIndex)>;

  // An alert: the cancel button (when given) is button 0, the others follow.
  static std::shared_ptr<AlertView> alert(std::string title, std::string message,
                                          std::optional<std::string> cancelButtonTitle,
                                          std::vector<std::string> otherButtonTitles, Clicked clicked = {});
  // An action sheet: the destructive button (when given) first, then the
  // others, then the cancel button.
  static std::shared_ptr<AlertView> actionSheet(std::string title, std::optional<std::string> cancelButtonTitle,
                                                std::optional<std::string> destructiveButtonTitle,
                                                std::vector<std::string> otherButtonTitles, Clicked clicked = {});

  Style style() const { return style_; }
  const std::string& title() const { return title_; }
  const std::string& message() const { return message_; }
  const std::vector<std::string>& buttonTitles() const { return buttons_; }
  std::optional<int> cancelButtonIndex() const { return cancelIndex_; }
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }
  void setClicked(Clicked clicked) { clicked_ = std::move(clicked); }
  void setDelegate(std::weak_ptr<AlertViewDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<AlertViewDelegate> delegate() const { return delegate_.lock(); }
  // Adds a button after the others (before an action sheet's cancel
  // button); answers its index. Only before show().
  int addButton(std::string title);

  void show();
  bool isVisible() const { return window_ != nullptr; }
  // Presses the first button with this title; false when none has it.
  bool pressButtonWithTitle(const std::string& title);
  void pressButtonAtIndex(int index);
  // Takes the alert down without telling the delegate.
  void dismiss();

  // The alerts on screen, oldest first.
  static std::vector<std::shared_ptr<AlertView>> visibleAlerts();
  static void resetForTesting();

 private:
  AlertView() = default;
  void buildWindow();

  Style style_ = Style::Alert;
  std::string title_;
  std::string message_;
  std::vector<std::string> buttons_;
  std::optional<int> cancelIndex_;
  int tag_ = 0;
  Clicked clicked_;
  std::weak_ptr<AlertViewDelegate> delegate_;
  std::shared_ptr<Window> window_;
};

}  // namespace platform::ui
