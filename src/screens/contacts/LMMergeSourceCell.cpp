#include "screens/contacts/LMMergeSourceCell.h"

#include "platform/ui/Color.h"
#include "platform/ui/Image.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMMergeSourceCell> LMMergeSourceCell::create(const std::string& reuseIdentifier) {
  auto cell = std::make_shared<LMMergeSourceCell>(reuseIdentifier);
  cell->build();
  return cell;
}

void LMMergeSourceCell::build() {
  TableViewCell::layoutSubviews();  // puts the content view and text label in place
  setBackgroundColor(ui::Color::clear());
  contentView()->setBackgroundColor(ui::Color::clear());
  contentView()->setClipsToBounds(true);
  bgView_->setBackgroundColor(ui::colorWithHexString("c8c7cc"));
  whiteBgView_->setBackgroundColor(ui::Color::white());
  contentView()->insertSubview(bgView_, 0);
  bgView_->addSubview(whiteBgView_);
  checkButton_ = LMCustomButton::create();
  checkButton_->setNormalBackgroundColor(ui::Color::clear());
  checkButton_->setHighlightedBackgroundColor(ui::colorWithHexString("ebebeb"));
  button_ = LMCustomButton::create();
  whiteBgView_->addSubview(checkButton_);
  whiteBgView_->addSubview(button_);
  contentView()->addSubview(imageView_);
  contentView()->addSubview(detailLabel_);
  textLabel()->removeFromSuperview();
  contentView()->addSubview(textLabel());
  for (const auto& passive : std::initializer_list<std::shared_ptr<ui::View>>{imageView_, detailLabel_, textLabel()}) {
    passive->setUserInteractionEnabled(false);
  }
  std::weak_ptr<LMMergeSourceCell> weak = std::static_pointer_cast<LMMergeSourceCell>(shared_from_this());
  button_->setAction([weak] {
    if (auto cell = weak.lock()) cell->buttonPressed();
  });
  checkButton_->setAction([weak] {
    if (auto cell = weak.lock()) cell->checkButtonPressed();
  });
}

void LMMergeSourceCell::setIsSelect(bool select) {
  isSelect_ = select;
  imageView_->setImage(ui::Image::imageNamed(select ? "确认合并.png" : "未合并.png"));
}

void LMMergeSourceCell::buttonPressed() {
  setIsSelect(!isSelect_);
  auto delegate = delegate_.lock();
  if (delegate && delegate->didSourceCellPressed) delegate->didSourceCellPressed(*this);
}

void LMMergeSourceCell::checkButtonPressed() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didSourceCellSelected) delegate->didSourceCellSelected(*this);
}

void LMMergeSourceCell::layoutSubviews() {
  TableViewCell::layoutSubviews();
  double w = frame().width;
  double h = frame().height;
  double face = h - (isLast_ ? 2 : 1);
  bgView_->setFrame({0, 0, w, h});
  whiteBgView_->setFrame({0, 1, w, face});
  button_->setFrame({0, 0, 40, face});
  checkButton_->setFrame({0, 0, w, face});
  imageView_->setFrame({0, 1, 40, 50});
  textLabel()->setFrame({40, 2, w - 50, 25});
  detailLabel_->setFrame({40, 23, w - 50, 24});
}

}  // namespace lumora
