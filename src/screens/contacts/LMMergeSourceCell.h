// One row of the list of address-book sources: a selection mark on the left
// whose strip toggles the source's selection, and the rest of the row, which
// opens the source. Both touches go to the delegate (hooks optional).
//
// Ownership: a view made with create(); the delegate is held weakly.
// Threading: main thread. Nothing fails.
#pragma once

#include <functional>
#include <memory>

#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "screens/common/LMCustomButton.h"

namespace lumora {

class LMMergeSourceCell;

class LMMergeSourceCellDelegate {
 public:
  virtual ~LMMergeSourceCellDelegate() = default;
  std::function<void(LMMergeSourceCell& cell)> didSourceCellPressed;
  std::function<void(LMMergeSourceCell& cell)> didSourceCellSelected;
};

class LMMergeSourceCell : public platform::ui::TableViewCell {
 public:
  using TableViewCell::TableViewCell;
  static std::shared_ptr<LMMergeSourceCell> create(const std::string& reuseIdentifier);

  bool isLast() const { return isLast_; }
  void setIsLast(bool last) {
    isLast_ = last;
    setNeedsLayout();
  }
  bool isSelect() const { return isSelect_; }
  void setIsSelect(bool select);
  void setDelegate(std::weak_ptr<LMMergeSourceCellDelegate> delegate) { delegate_ = std::move(delegate); }

  const std::shared_ptr<platform::ui::ImageView>& imageView() const { return imageView_; }
  const std::shared_ptr<platform::ui::Label>& detailTextLabel() const { return detailLabel_; }
  const std::shared_ptr<platform::ui::View>& whiteBgView() const { return whiteBgView_; }
  const std::shared_ptr<LMCustomButton>& button() const { return button_; }
  const std::shared_ptr<LMCustomButton>& checkButton() const { return checkButton_; }

  void buttonPressed();
  void checkButtonPressed();
  void layoutSubviews() override;

 private:
  void build();
  std::shared_ptr<platform::ui::View> bgView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<platform::ui::View> whiteBgView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<LMCustomButton> checkButton_;
  std::shared_ptr<LMCustomButton> button_;
  std::shared_ptr<platform::ui::ImageView> imageView_ = std::make_shared<platform::ui::ImageView>();
  std::shared_ptr<platform::ui::Label> detailLabel_ = std::make_shared<platform::ui::Label>();
  std::weak_ptr<LMMergeSourceCellDelegate> delegate_;
  bool isLast_ = false;
  bool isSelect_ = false;
};

}  // namespace lumora
