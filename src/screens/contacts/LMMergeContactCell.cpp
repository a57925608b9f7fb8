#include "screens/contacts/LMMergeContactCell.h"

#include "platform/ui/Color.h"
#include "platform/ui/Image.h"
#include "platform/ui/Resources.h"
#include "platform/ui/TextMeasurer.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMMergeContactCell> LMMergeContactCell::create(const std::string& reuseIdentifier) {
  auto cell = std::make_shared<LMMergeContactCell>(reuseIdentifier);
  cell->build();
  return cell;
}

std::shared_ptr<LMCustomButton> LMMergeContactCell::actionButton(const std::string& titleKey,
                                                                 const ui::Color& color) {
  auto button = LMCustomButton::create();
  button->setNormalBackgroundColor(ui::Color::white());
  button->setHighlightedBackgroundColor(ui::colorWithHexString("ebebeb"));
  button->titleLabel()->setFont(ui::Font::boldSystemFont(15));
  button->setTitle(ui::localizedString(titleKey));
  button->setTitleColor(color);
  contentView()->addSubview(button);
  return button;
}

void LMMergeContactCell::build() {
  TableViewCell::layoutSubviews();
  setBackgroundColor(ui::Color::clear());
  contentView()->setBackgroundColor(ui::Color::clear());
  contentView()->setClipsToBounds(true);
  bgView_->setBackgroundColor(ui::colorWithHexString("c8c7cc"));
  whiteBgView_->setBackgroundColor(ui::Color::white());
  contentView()->addSubview(bgView_);
  bgView_->addSubview(whiteBgView_);
  textLabel()->setHidden(true);

  mergeButton_ = actionButton("手动合并", ui::Color::black());
  mergeButton_->setTitleColor(ui::Color::gray(2.0 / 3), ui::ControlState::Disabled);
  cancelButton_ = actionButton("不合并", ui::colorWithHexString("fd4728"));
  addButton_ = actionButton("添加联系人", ui::Color::black());
  addButton_->setImage(ui::Image::imageNamed("合并添加.png"));
  ui::Size title = ui::TextMeasurer::current()->measure(addButton_->titleForState(ui::ControlState::Normal).value_or(""),
                                                       ui::Font::boldSystemFont(15), 0, 1);
  addButton_->setTitleRect({0, 0, title.width, title.height});
  addButton_->setImageRect({0, 0, 25, 25});

  std::weak_ptr<LMMergeContactCell> weak = std::static_pointer_cast<LMMergeContactCell>(shared_from_this());
  mergeButton_->setAction([weak] {
    if (auto cell = weak.lock()) cell->mergeButtonPressed();
  });
  cancelButton_->setAction([weak] {
    if (auto cell = weak.lock()) cell->cancelButtonPressed();
  });
  addButton_->setAction([weak] {
    if (auto cell = weak.lock()) cell->addButtonPressed();
  });
}

std::vector<const LMContact*> LMMergeContactCell::shownContacts() const {
  std::vector<const LMContact*> shown;
  if (!mergeObject_) return shown;
  if (mergeObject_->isMerged) {
    if (mergeObject_->finalContact) shown.push_back(&*mergeObject_->finalContact);
    return shown;
  }
  for (const auto& contact : mergeObject_->members()) shown.push_back(&contact);
  return shown;
}

void LMMergeContactCell::setMergeObject(LMMergeGroup group) {
  mergeObject_ = std::move(group);
  bool merged = mergeObject_ && mergeObject_->isMerged;
  std::vector<const LMContact*> contacts = shownContacts();
  auto self = std::static_pointer_cast<LMMergeContactCell>(shared_from_this());
  for (std::size_t i = 0; i < contacts.size(); ++i) {
    if (i == contactButtons_.size()) {
      auto tile = LMContactButton::create();
      tile->addTarget(self, &LMMergeContactCell::contactButtonPressed, ui::kControlEventTouchUpInside);
      contactButtons_.push_back(tile);
      bgView_->addSubview(tile);
    }
    auto& tile = contactButtons_[i];
    tile->mergedLabel()->setHidden(!merged);
    if (merged) {
      tile->setContact(*contacts[i], mergeObject_->type);
    } else {
      // A member is shown as the group holds it, without a copy.
      tile->setContact(std::shared_ptr<const LMContact>(mergeObject_->sharedMembers(), contacts[i]),
                       mergeObject_->type);
    }
    tile->setTag(static_cast<int>(i));

    if (i == selectButtons_.size()) {
      auto check = std::make_shared<ui::Button>();
      check->addTarget(self, &LMMergeContactCell::contactSelectButtonPressed, ui::kControlEventTouchUpInside);
      check->setImage(ui::Image::imageNamed("未合并.png"));
      check->setImage(ui::Image::imageNamed("确认合并.png"), ui::ControlState::Selected);
      selectButtons_.push_back(check);
      bgView_->addSubview(check);
    }
    auto& check = selectButtons_[i];
    bool kept = !contacts[i]->recordID || !mergeObject_->ignoreContactIDs.count(*contacts[i]->recordID);
    check->setSelected(kept);
    setSelectImageForButton(*check, kept);
    check->setHidden(merged);
    check->setTag(static_cast<int>(i));
  }
  while (contactButtons_.size() > contacts.size()) {
    contactButtons_.back()->removeFromSuperview();
    contactButtons_.pop_back();
  }
  while (selectButtons_.size() > contacts.size()) {
    selectButtons_.back()->removeFromSuperview();
    selectButtons_.pop_back();
  }
  cancelButton_->setHidden(merged || contacts.empty());
  mergeButton_->setHidden(merged || contacts.empty());
  cancelButton_->setEnabled(true);
  mergeButton_->setEnabled(mergeObject_ && mergeObject_->isContactsCanMerge());
  setNeedsLayout();
}

void LMMergeContactCell::setSelectImageForButton(ui::Button& button, bool selected) {
  // A press shows the state it leads to.
  button.setImage(ui::Image::imageNamed(selected ? "未合并.png" : "确认合并.png"), ui::ControlState::Highlighted);
}

void LMMergeContactCell::mergeButtonPressed() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->willManualMergeObject) delegate->willManualMergeObject(mergeObject_);
}

void LMMergeContactCell::cancelButtonPressed() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didCancelMergeObject) delegate->didCancelMergeObject(mergeObject_);
}

void LMMergeContactCell::addButtonPressed() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->willAddContactToMergeObject) delegate->willAddContactToMergeObject(mergeObject_);
}

void LMMergeContactCell::contactButtonPressed(ui::Control& tile) {
  auto delegate = delegate_.lock();
  if (!delegate || !delegate->didSelectMergeContact || !mergeObject_) return;
  if (mergeObject_->isMerged) {
    if (mergeObject_->finalContact) delegate->didSelectMergeContact(*mergeObject_->finalContact);
    return;
  }
  const auto& contacts = mergeObject_->members();
  if (tile.tag() >= 0 && tile.tag() < static_cast<int>(contacts.size())) {
    delegate->didSelectMergeContact(contacts[static_cast<std::size_t>(tile.tag())]);
  }
}

void LMMergeContactCell::contactSelectButtonPressed(ui::Control& control) {
  auto& button = static_cast<ui::Button&>(control);
  button.setSelected(!button.isSelected());
  setSelectImageForButton(button, button.isSelected());
  if (!mergeObject_) return;
  const auto& contacts = mergeObject_->members();
  if (button.tag() < 0 || button.tag() >= static_cast<int>(contacts.size())) return;
  if (auto id = contacts[static_cast<std::size_t>(button.tag())].recordID) {
    if (button.isSelected()) {
      mergeObject_->ignoreContactIDs.erase(*id);
    } else {
      mergeObject_->ignoreContactIDs.insert(*id);
    }
  }
  mergeButton_->setEnabled(mergeObject_->isContactsCanMerge());
}

void LMMergeContactCell::layoutSubviews() {
  TableViewCell::layoutSubviews();
  double w = frame().width;
  double y = 1;
  bool merged = mergeObject_ && mergeObject_->isMerged;
  std::size_t count = contactButtons_.size();
  if (merged) {
    for (auto& tile : contactButtons_) {
      tile->setFrame({10, y, w - 20, 50});
      y += 51;
    }
    whiteBgView_->setFrame({0, 1, w, y - 2});
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      selectButtons_[i]->setFrame({0, y, 40, 50});
      contactButtons_[i]->setFrame({40, y, w - 40, 50});
      y += 51;
    }
    whiteBgView_->setFrame(count ? ui::Rect{0, 1, 40, y - 2} : ui::Rect{});
    double h = (w - 1) / 2;
    cancelButton_->setFrame({0, y, h, 45});
    mergeButton_->setFrame({h + 1, y, h, 45});
    y += 46;
  }
  ui::Rect titleRect = addButton_->titleRect();
  double tw = titleRect.width;
  double th = titleRect.height;
  addButton_->setImageRect({(w - tw) / 2 - 27, 10, 25, 25});
  addButton_->setTitleRect({(w - tw) / 2, (45 - th) / 2 - 1, tw, th});
  if (count) {
    addButton_->setFrame({0, y, w, 45});
    if (!addButton_->isHidden()) y += 46;
  } else {
    addButton_->setFrame({0, 1, w, 45});
    y = 47;
  }
  bgView_->setFrame({0, 0, w, y});
}

}  // namespace lumora
