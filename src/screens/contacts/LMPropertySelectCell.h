// One field row of the manual merge: the field's title with its kind of
// choice, then one check button per distinct value. A single-choice field
// keeps exactly one value chosen (stored in the entry's "selected"); a
// multiple-choice field toggles each value. Every tap is reported to the
// delegate, which reads the chosen entry (finalPropertyDic).
//
// Ownership: a view made with create(); it shares the group whose property
// entry it shows; the delegate is held weakly. Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cloud/model/LMMergeManagedObject.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "screens/common/LMCustomButton.h"

namespace lumora {

class LMPropertySelectCell;

class LMPropertySelectCellDelegate {
 public:
  virtual ~LMPropertySelectCellDelegate() = default;
  std::function<void(LMPropertySelectCell& cell)> didPropertySelectCellChange;
};

class LMPropertySelectCell : public platform::ui::TableViewCell {
 public:
  using TableViewCell::TableViewCell;
  static std::shared_ptr<LMPropertySelectCell> create(const std::string& reuseIdentifier);

  // The property key of an entry: its one key other than "type" and
  // "selected" (empty when there is none).
  static std::string propertyKey(const platform::Json& entry);

  // Shows entry `index` of the group's merge property list.
  void setPropertyDic(std::shared_ptr<LMMergeManagedObject> group, std::size_t index);
  // The entry with only the chosen values.
  platform::Json finalPropertyDic() const;
  void setDelegate(std::weak_ptr<LMPropertySelectCellDelegate> delegate) { delegate_ = std::move(delegate); }

  const std::shared_ptr<platform::ui::Label>& titleLabel() const { return titleLabel_; }
  const std::vector<std::shared_ptr<LMCustomButton>>& buttonArray() const { return buttons_; }

  void buttonPressed(platform::ui::Control& button);
  void layoutSubviews() override;

 private:
  platform::Json* entry() const;
  void showSelected(LMCustomButton& button, bool selected);

  std::shared_ptr<platform::ui::Label> titleLabel_ = std::make_shared<platform::ui::Label>();
  std::shared_ptr<platform::ui::View> greyView_ = std::make_shared<platform::ui::View>();
  std::shared_ptr<platform::ui::View> whiteStrip_ = std::make_shared<platform::ui::View>();
  std::vector<std::shared_ptr<LMCustomButton>> buttons_;
  std::shared_ptr<LMMergeManagedObject> group_;
  std::size_t index_ = 0;
  int lastSelectedIndex_ = -1;
  std::weak_ptr<LMPropertySelectCellDelegate> delegate_;
};

}  // namespace lumora
