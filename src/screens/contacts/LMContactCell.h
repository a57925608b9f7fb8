// One row of the contacts list: the contact's name on a white face with a
// grey line above it (and below it on the last row); a tap anywhere on the
// row goes to the delegate (hook optional).
//
// Ownership: a view made with create(); the delegate is held weakly.
// Threading: main thread. Nothing fails.
#pragma once

#include <functional>
#include <memory>

#include "platform/ui/TableView.h"
#include "screens/common/LMCustomButton.h"

namespace lumora {

class LMContactCell;

class LMContactCellDelegate {
 public:
  virtual ~LMContactCellDelegate() = default;
  std::function<void(LMContactCell& cell)> didContactCellPressed;
};

class LMContactCell : public platform::ui::TableViewCell {
 public:
  using TableViewCell::TableViewCell;
  static std::shared_ptr<LMContactCell> create(const std::string& reuseIdentifier);

  bool isLast() const { return isLast_; }
  void setIsLast(bool last) {
    isLast_ = last;
    setNeedsLayout();
  }
  void setDelegate(std::weak_ptr<LMContactCellDelegate> delegate) { delegate_ = std::move(delegate); }
  const std::shared_ptr<platform::ui::View>& whiteBgView() const { return whiteBgView_; }
  const std::shared_ptr<LMCustomButton>& button() const { return button_; }

  void buttonPressed();
  void layoutSubviews() override;

 private:
  void build();
  std::shared_ptr<platform::ui::View> bgView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<platform::ui::View> whiteBgView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<LMCustomButton> button_;
  std::weak_ptr<LMContactCellDelegate> delegate_;
  bool isLast_ = false;
};

}  // namespace lumora
