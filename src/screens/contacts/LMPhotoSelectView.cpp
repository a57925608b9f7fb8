#include "screens/contacts/LMPhotoSelectView.h"

#include "platform/ui/Color.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMPhotoButton> LMPhotoButton::create(const ui::Rect& frame) {
  auto button = std::make_shared<LMPhotoButton>(frame);
  button->photoView_->setUserInteractionEnabled(false);
  button->addSubview(button->photoView_);
  return button;
}

void LMPhotoButton::layoutSubviews() {
  photoView_->setFrame({1, 1, frame().width - 2, frame().height - 2});
}

void LMPhotoButton::draw(ui::DisplayList& list) const {
  if (isSelected()) list.strokeRect(bounds(), ui::colorWithHexString("0d7aff"), 1);
}

std::shared_ptr<LMPhotoSelectView> LMPhotoSelectView::create(const ui::Rect& frame, std::vector<ui::Image> photos) {
  auto chooser = std::make_shared<LMPhotoSelectView>(frame);
  chooser->photos_ = std::move(photos);
  double w = frame.width;
  double h = frame.height;
  chooser->setBackgroundColor(ui::Color::clear());
  chooser->setClipsToBounds(true);
  chooser->titleLabel_->setFrame({15, 0, w - 30, 35});
  chooser->titleLabel_->setTextColor(ui::colorWithHexString("6d6d72"));
  chooser->titleLabel_->setFont(ui::Font::boldSystemFont(13));
  chooser->addSubview(chooser->titleLabel_);
  auto grey = std::make_shared<ui::View>(ui::Rect{0, 35, w, h - 35});
  grey->setBackgroundColor(ui::colorWithHexString("c8c7cc"));
  auto white = std::make_shared<ui::View>(ui::Rect{0, 1, w, h - 37});
  white->setBackgroundColor(ui::Color::white());
  chooser->addSubview(grey);
  grey->addSubview(white);
  double x = 15;
  double y = -40;
  for (std::size_t i = 0; i < chooser->photos_.size(); ++i) {
    if (i % 5 == 0) {
      x = 15;
      y += 45;
    } else {
      x += 40 + (w - 230) / 4;
    }
    auto button = LMPhotoButton::create({x, y, 40, 40});
    button->photoView()->setImage(chooser->photos_[i]);
    button->setSelected(static_cast<int>(i) == chooser->selectIndex_);
    button->setTag(100 + static_cast<int>(i));
    button->addTarget(chooser, &LMPhotoSelectView::photoButtonPressed, ui::kControlEventTouchUpInside);
    white->addSubview(button);
    chooser->buttons_.push_back(button);
  }
  return chooser;
}

void LMPhotoSelectView::photoButtonPressed(ui::Control& button) {
  int k = button.tag() - 100;
  if (k != selectIndex_) {
    if (selectIndex_ >= 0 && selectIndex_ < static_cast<int>(buttons_.size())) {
      buttons_[static_cast<std::size_t>(selectIndex_)]->setSelected(false);
    }
    selectIndex_ = k;
  } else {
    selectIndex_ = -1;
  }
  button.setSelected(!button.isSelected());
}

}  // namespace lumora
