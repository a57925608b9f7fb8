#include "screens/gallery/LMPhotoCollectionViewCell.h"

#include "platform/ui/Image.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMPhotoCollectionViewCell> LMPhotoCollectionViewCell::create(const ui::Rect& frame,
                                                                             std::string reuseIdentifier) {
  auto cell = std::make_shared<LMPhotoCollectionViewCell>(std::move(reuseIdentifier));
  cell->setFrame(frame);
  cell->initializeSubviews();
  return cell;
}

void LMPhotoCollectionViewCell::initializeSubviews() {
  contentView_ = std::make_shared<ui::View>();
  contentView_->setBackgroundColor(ui::colorWithHexString("898989"));
  addSubview(contentView_);

  imageView_ = std::make_shared<LMThumbnailImageView>();
  imageView_->setContentMode(ui::ContentMode::AspectFill);
  imageView_->setClipsToBounds(true);
  contentView_->addSubview(imageView_);

  button_ = LMCustomButton::create();
  button_->setNormalBackgroundColor(ui::Color::clear());
  button_->setHighlightedBackgroundColor(ui::colorWithHexString("33000000"));
  contentView_->addSubview(button_);

  playView_ = std::make_shared<ui::ImageView>(ui::Image::imageNamed(kPlayImageName));
  playView_->setHidden(true);
  addSubview(playView_);
  setNeedsLayout();
}

void LMPhotoCollectionViewCell::layoutSubviews() {
  const ui::Rect b = bounds();
  contentView_->setFrame(b);
  imageView_->setFrame({0, 0, b.width, b.height});
  button_->setFrame({0, 0, b.width, b.height});
  playView_->setFrame({b.midX() - kPlaySize / 2, b.midY() - kPlaySize / 2, kPlaySize, kPlaySize});
}

}  // namespace lumora
