#include "screens/gallery/LMAlbumCollectionViewCell.h"

#include "platform/ui/Image.h"
#include "platform/ui/ImageViewWebCache.h"
#include "screens/gallery/LMCloudPhotoImage.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

std::shared_ptr<ui::ImageView> albumPhotoView() {
  auto view = std::make_shared<ui::ImageView>();
  view->setContentMode(ui::ContentMode::AspectFill);
  view->setClipsToBounds(true);
  view->setBackgroundColor(ui::colorWithHexString("898989"));
  return view;
}

std::shared_ptr<ui::View> albumVeil() {
  auto view = std::make_shared<ui::View>();
  view->setBackgroundColor(ui::colorWithHexString("66000000"));
  return view;
}

}  // namespace

std::shared_ptr<LMAlbumCollectionViewCell> LMAlbumCollectionViewCell::create(const ui::Rect& frame,
                                                                             std::string reuseIdentifier) {
  auto cell = std::make_shared<LMAlbumCollectionViewCell>(std::move(reuseIdentifier));
  cell->setFrame(frame);
  cell->initializeSubviews();
  return cell;
}

void LMAlbumCollectionViewCell::initializeSubviews() {
  back2_ = albumPhotoView();
  shadow2_ = albumVeil();
  back1_ = albumPhotoView();
  shadow1_ = albumVeil();
  imageView_ = albumPhotoView();

  nameLabel_ = std::make_shared<ui::Label>();
  nameLabel_->setBackgroundColor(ui::Color::clear());
  nameLabel_->setFont(ui::Font::boldSystemFont(15));
  nameLabel_->setTextColor(ui::Color::black());

  button_ = LMCustomButton::create();
  button_->setNormalBackgroundColor(ui::Color::clear());
  button_->setHighlightedBackgroundColor(ui::colorWithHexString("33000000"));

  typeLabel_ = std::make_shared<ui::Label>();
  typeLabel_->setBackgroundColor(ui::Color::clear());
  typeLabel_->setFont(ui::Font::boldSystemFont(13));
  typeLabel_->setTextColor(ui::colorWithHexString("cc000000"));

  selectImageView_ = std::make_shared<ui::ImageView>(ui::Image::imageNamed(kSelectImageName));

  for (const std::shared_ptr<ui::View>& view :
       std::vector<std::shared_ptr<ui::View>>{back2_, shadow2_, back1_, shadow1_, imageView_, nameLabel_, button_,
                                              typeLabel_, selectImageView_}) {
    addSubview(view);
  }
}

void LMAlbumCollectionViewCell::setThumbnailImageURLArray(const std::vector<std::string>& urls,
                                                          const std::vector<std::int64_t>& orientations,
                                                          ui::Size shownPixels) {
  // The back photo at `index` of the stack, loaded upright from the
  // album's address at that place; hidden (and its load of an earlier use
  // of the cell stopped) when the album has no photo there.
  ui::WebImageOptions options;
  options.shownSize = shownPixels;
  auto stack = [&](const std::shared_ptr<ui::ImageView>& photo, const std::shared_ptr<ui::View>& veil,
                   std::size_t index) {
    const bool shown = urls.size() > index;
    if (shown) {
      LMCloudPhotoImage::setImageWithURL(photo, urls[index], orientations.size() > index ? orientations[index] : 1,
                                         std::nullopt, options);
    } else {
      ui::cancelCurrentImageLoad(*photo);
    }
    photo->setHidden(!shown);
    veil->setHidden(!shown);
  };
  stack(back1_, shadow1_, 1);
  stack(back2_, shadow2_, 2);
}

void LMAlbumCollectionViewCell::layoutSubviews() {
  const ui::Rect b = bounds();
  const double x = b.x;
  const double w = b.width;
  nameLabel_->setFrame({0, 0, w, 24});
  imageView_->setFrame({x, 24, w, w});
  button_->setFrame({x, 24, w, w});
  back1_->setFrame({x + 2, 31, w - 4, w - 4});
  shadow1_->setFrame(back1_->frame());
  back2_->setFrame({x + 4, 38, w - 8, w - 8});
  shadow2_->setFrame(back2_->frame());
  const ui::Rect& front = back1_->frame();
  selectImageView_->setFrame({front.maxX() - 29, front.maxY() - 32, 24, 24});
  typeLabel_->setFrame({0, b.height - 20, w, 20});
}

}  // namespace lumora
