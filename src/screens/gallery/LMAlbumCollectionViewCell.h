// The album grid's cell: the album's name over a small stack of up to three
// photos (the cover in front, two smaller ones behind it under a dark veil),
// a button over the cover that takes the taps, a caption below and the
// selection mark. The grid fills it.
//
// Ownership: a view (create()); it owns its subviews. Threading: main thread.
// Nothing here fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/CollectionView.h"
#include "screens/common/LMCustomButton.h"

namespace lumora {

class LMAlbumCollectionViewCell : public platform::ui::CollectionViewCell {
 public:
  static constexpr const char* kSelectImageName = "相册选择多选.png";

  using CollectionViewCell::CollectionViewCell;
  static std::shared_ptr<LMAlbumCollectionViewCell> create(const platform::ui::Rect& frame = {},
                                                           std::string reuseIdentifier = "");

  // The album's thumbnail addresses, the cover first, with each photo's
  // EXIF orientation in the same order (1 where none is given): the second
  // and third are loaded through the image cache, upright
  // (LMCloudPhotoImage), and show behind the cover (the cover itself is
  // the grid's to load), each decoded for `shownPixels` (none: the
  // screen's size).
  void setThumbnailImageURLArray(const std::vector<std::string>& urls, const std::vector<std::int64_t>& orientations,
                                 platform::ui::Size shownPixels = {});

  const std::shared_ptr<platform::ui::ImageView>& imageView() const { return imageView_; }
  const std::shared_ptr<platform::ui::ImageView>& backgroundImageView1() const { return back1_; }
  const std::shared_ptr<platform::ui::ImageView>& backgroundImageView2() const { return back2_; }
  const std::shared_ptr<platform::ui::Label>& nameLabel() const { return nameLabel_; }
  const std::shared_ptr<platform::ui::Label>& typeLabel() const { return typeLabel_; }
  const std::shared_ptr<LMCustomButton>& button() const { return button_; }
  const std::shared_ptr<platform::ui::ImageView>& selectImageView() const { return selectImageView_; }

  void layoutSubviews() override;

 private:
  void initializeSubviews();

  std::shared_ptr<platform::ui::ImageView> back2_, back1_, imageView_, selectImageView_;
  std::shared_ptr<platform::ui::View> shadow2_, shadow1_;
  std::shared_ptr<platform::ui::Label> nameLabel_, typeLabel_;
  std::shared_ptr<LMCustomButton> button_;
};

}  // namespace lumora
