// The album photo grid's cell: a thumbnail filling the cell over a grey
// content view, a button over it that takes the taps, and the video badge
// centred on top (hidden until the grid shows it for a video).
//
// Ownership: a view (create()); it owns its subviews. Threading: main thread.
// Nothing here fails.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/CollectionView.h"
#include "screens/common/LMCustomButton.h"
#include "screens/gallery/LMThumbnailImageView.h"

namespace lumora {

class LMPhotoCollectionViewCell : public platform::ui::CollectionViewCell {
 public:
  static constexpr const char* kPlayImageName = "云相册视频.png";
  static constexpr double kPlaySize = 20;

  using CollectionViewCell::CollectionViewCell;
  static std::shared_ptr<LMPhotoCollectionViewCell> create(const platform::ui::Rect& frame = {},
                                                           std::string reuseIdentifier = "");

  const std::shared_ptr<platform::ui::View>& contentView() const { return contentView_; }
  const std::shared_ptr<LMThumbnailImageView>& imageView() const { return imageView_; }
  const std::shared_ptr<LMCustomButton>& button() const { return button_; }
  const std::shared_ptr<platform::ui::ImageView>& playView() const { return playView_; }

  void layoutSubviews() override;

 private:
  void initializeSubviews();

  std::shared_ptr<platform::ui::View> contentView_;
  std::shared_ptr<LMThumbnailImageView> imageView_;
  std::shared_ptr<LMCustomButton> button_;
  std::shared_ptr<platform::ui::ImageView> playView_;
};

}  // namespace lumora
