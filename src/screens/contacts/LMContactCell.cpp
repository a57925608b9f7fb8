#include "screens/contacts/LMContactCell.h"

#include "platform/ui/Color.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMContactCell> LMContactCell::create(const std::string& reuseIdentifier) {
  auto cell = std::make_shared<LMContactCell>(reuseIdentifier);
  cell->build();
  return cell;
}

void LMContactCell::build() {
  TableViewCell::layoutSubviews();
  setBackgroundColor(ui::Color::clear());
  contentView()->setBackgroundColor(ui::Color::clear());
  contentView()->setClipsToBounds(true);
  bgView_->setBackgroundColor(ui::colorWithHexString("c8c7cc"));
  whiteBgView_->setBackgroundColor(ui::Color::white());
  contentView()->insertSubview(bgView_, 0);
  bgView_->addSubview(whiteBgView_);
  button_ = LMCustomButton::create();
  button_->setNormalBackgroundColor(ui::Color::clear());
  button_->setHighlightedBackgroundColor(ui::colorWithHexString("ebebeb"));
  whiteBgView_->addSubview(button_);
  textLabel()->setUserInteractionEnabled(false);
  contentView()->bringSubviewToFront(*textLabel());
  std::weak_ptr<LMContactCell> weak = std::static_pointer_cast<LMContactCell>(shared_from_this());
  button_->setAction([weak] {
    if (auto cell = weak.lock()) cell->buttonPressed();
  });
}

void LMContactCell::buttonPressed() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didContactCellPressed) delegate->didContactCellPressed(*this);
}

void LMContactCell::layoutSubviews() {
  TableViewCell::layoutSubviews();
  double w = frame().width;
  double h = frame().height;
  double d = isLast_ ? 2 : 1;
  bgView_->setFrame({0, 0, w, h});
  textLabel()->setFrame({10, 0, w - 20, h});
  whiteBgView_->setFrame({0, 1, w, h - d});
  button_->setFrame({0, 0, w, h - d});
}

}  // namespace lumora
