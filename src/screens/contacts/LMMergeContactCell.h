// One row of the duplicate-merge screen: one group of duplicates. An open
// group shows a tile per contact with a check button before it (kept or
// left out of the merge), then "不合并" and "手动合并"; a merged group shows
// its final contact alone, marked "已合并". The last row also shows
// "添加联系人". The cell changes only the group's left-out set itself;
// every other action goes to the delegate (hooks optional).
//
// Ownership: a view made with create(); it shares the group with the
// screen's list; the delegate is held weakly. Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "cloud/model/LMMergeManagedObject.h"
#include "platform/ui/Control.h"
#include "platform/ui/TableView.h"
#include "screens/common/LMCustomButton.h"
#include "screens/contacts/LMContactButton.h"

namespace lumora {

using LMMergeGroup = std::shared_ptr<LMMergeManagedObject>;

class LMMergeContactCellDelegate {
 public:
  virtual ~LMMergeContactCellDelegate() = default;
  std::function<void(const LMMergeGroup& group)> willManualMergeObject;
  std::function<void(const LMMergeGroup& group)> willAddContactToMergeObject;
  std::function<void(const LMMergeGroup& group)> didCancelMergeObject;
  std::function<void(const LMContact& contact)> didSelectMergeContact;
};

class LMMergeContactCell : public platform::ui::TableViewCell {
 public:
  using TableViewCell::TableViewCell;
  static std::shared_ptr<LMMergeContactCell> create(const std::string& reuseIdentifier);

  void setDelegate(std::weak_ptr<LMMergeContactCellDelegate> delegate) { delegate_ = std::move(delegate); }
  const LMMergeGroup& mergeObject() const { return mergeObject_; }
  void setMergeObject(LMMergeGroup group);

  const std::vector<std::shared_ptr<LMContactButton>>& contactButtons() const { return contactButtons_; }
  const std::vector<std::shared_ptr<platform::ui::Button>>& selectButtons() const { return selectButtons_; }
  const std::shared_ptr<LMCustomButton>& mergeButton() const { return mergeButton_; }
  const std::shared_ptr<LMCustomButton>& cancelButton() const { return cancelButton_; }
  const std::shared_ptr<LMCustomButton>& addButton() const { return addButton_; }
  const std::shared_ptr<platform::ui::View>& bgView() const { return bgView_; }

  void setSelectImageForButton(platform::ui::Button& button, bool selected);
  void mergeButtonPressed();
  void cancelButtonPressed();
  void addButtonPressed();
  void contactButtonPressed(platform::ui::Control& tile);
  void contactSelectButtonPressed(platform::ui::Control& button);
  void layoutSubviews() override;

 private:
  void build();
  std::shared_ptr<LMCustomButton> actionButton(const std::string& titleKey, const platform::ui::Color& color);
  std::vector<const LMContact*> shownContacts() const;

  std::shared_ptr<platform::ui::View> bgView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<platform::ui::View> whiteBgView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<LMCustomButton> addButton_;
  std::shared_ptr<LMCustomButton> mergeButton_;
  std::shared_ptr<LMCustomButton> cancelButton_;
  std::vector<std::shared_ptr<LMContactButton>> contactButtons_;
  std::vector<std::shared_ptr<platform::ui::Button>> selectButtons_;
  std::weak_ptr<LMMergeContactCellDelegate> delegate_;
  LMMergeGroup mergeObject_;
};

}  // namespace lumora
