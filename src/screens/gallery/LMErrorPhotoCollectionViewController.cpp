#include "screens/gallery/LMErrorPhotoCollectionViewController.h"

#include <algorithm>
#include <iterator>

#include "platform/dispatch/MainQueue.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/ImageCache.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;
namespace photos = platform::photos;

LMErrorImageCollectionViewCell::LMErrorImageCollectionViewCell(const ui::Rect& frame)
    : CollectionViewCell(kReuseIdentifier) {
  setFrame(frame);
  setBackgroundColor(ui::colorWithHexString(kTileColor));
  imageView = std::make_shared<ui::ImageView>(ui::Rect{0, 0, frame.width, frame.height});
}

void LMErrorImageCollectionViewCell::showImage(std::optional<ui::Image> image) {
  unavailable_ = false;
  imageView->setImage(std::move(image));
}

void LMErrorImageCollectionViewCell::showUnavailable() {
  unavailable_ = true;
  imageView->setImage(std::nullopt);
}

void LMErrorImageCollectionViewCell::draw(ui::DisplayList& list) const {
  if (!unavailable_) return;
  // A picture frame with a sun and a hill in it, struck through from its
  // lower left to its upper right; the stroke is cut out of the frame by a
  // wider one in the tile's colour. In points, so the renderer draws it at
  // the screen's own scale.
  const ui::Rect b = bounds();
  const double side = std::min(b.width, b.height);
  const ui::Color ink = ui::Color::white().withAlpha(0.9);
  const double width = 2;
  const ui::Rect frame{b.midX() - side * 0.23, b.midY() - side * 0.18, side * 0.46, side * 0.36};
  auto at = [&](double x, double y) { return ui::Point{frame.x + x * frame.width, frame.y + y * frame.height}; };
  list.strokeRect(frame, ink, width, side * 0.04);
  list.fillCircle(at(0.28, 0.3), side * 0.04, ink);
  const ui::Point hill[] = {at(0.1, 0.84), at(0.42, 0.44), at(0.6, 0.66), at(0.72, 0.54), at(0.9, 0.84)};
  for (std::size_t i = 1; i < std::size(hill); ++i) list.line(hill[i - 1], hill[i], width, ink);
  const ui::Point from{b.midX() - side * 0.3, b.midY() + side * 0.27};
  const ui::Point to{b.midX() + side * 0.3, b.midY() - side * 0.27};
  list.line(from, to, width * 3, ui::colorWithHexString(kTileColor));
  list.line(from, to, width, ink);
}

std::string LMErrorImageCollectionViewCell::describeSelf() const {
  return unavailable_ ? "LMErrorImageCollectionViewCell unavailable" : "LMErrorImageCollectionViewCell";
}

void LMErrorImageCollectionViewCell::layoutSubviews() {
  CollectionViewCell::layoutSubviews();
  // A view takes subviews only once it is shared, so not in the constructor.
  if (imageView->superview().get() != this) addSubview(imageView);
  imageView->setFrame(bounds());
}

std::shared_ptr<ui::ViewController> LMErrorPhotoCollectionViewController::instantiateScene() {
  return ui::NavigationController::withRoot(std::make_shared<LMErrorPhotoCollectionViewController>());
}

void LMErrorPhotoCollectionViewController::loadView() {
  const ui::Rect bounds = ui::Screen::main().bounds();
  ui::FlowLayout layout;
  layout.itemSize = {kItemSide, kItemSide};
  layout.minimumInteritemSpacing = 2;
  layout.minimumLineSpacing = 2;
  collectionView_ = std::make_shared<ui::CollectionView>(bounds, layout);
  collectionView_->setBackgroundColor(ui::Color::white());
  setView(collectionView_);
}

void LMErrorPhotoCollectionViewController::viewDidLoad() {
  ViewController::viewDidLoad();
  std::weak_ptr<LMErrorPhotoCollectionViewController> weak =
      std::static_pointer_cast<LMErrorPhotoCollectionViewController>(shared_from_this());
  navigationItem().title = ui::localizedString("Photos");
  navigationItem().leftBarButtonItem = ui::BarButtonItem{"",
                                                         [weak] {
                                                           if (auto grid = weak.lock()) grid->cancelCheckErrorPhotos();
                                                         },
                                                         ui::Image::imageNamed("返回按钮.png")};
  collectionView_->registerCell(LMErrorImageCollectionViewCell::kReuseIdentifier, [] {
    return std::make_shared<LMErrorImageCollectionViewCell>(ui::Rect{0, 0, kItemSide, kItemSide});
  });
  collectionView_->setDataSource(std::static_pointer_cast<ui::CollectionViewDataSource>(
      std::static_pointer_cast<LMErrorPhotoCollectionViewController>(shared_from_this())));
  imageManager_ = std::make_unique<photos::CachingImageManager>();
  collectionView_->reloadData();
}

void LMErrorPhotoCollectionViewController::setErrorImages(std::vector<LMImage> images) {
  errorImages_ = std::move(images);
  if (errorImages_.empty()) return;
  if (imageManager_) {
    std::vector<std::string> identifiers;
    for (const auto& image : errorImages_) {
      if (image.assetID) identifiers.push_back(*image.assetID);
    }
    const double side = kItemSide * ui::Screen::main().scale();
    imageManager_->startCachingImagesForAssets(
        photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithLocalIdentifiers(identifiers), side, side,
        photos::ImageContentMode::AspectFill, {.networkAccessAllowed = true});
  }
  if (collectionView_) collectionView_->reloadData();
}

void LMErrorPhotoCollectionViewController::cancelCheckErrorPhotos() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didCancelErrorPhotoCollectionViewController) {
    delegate->didCancelErrorPhotoCollectionViewController();
  }
}

int LMErrorPhotoCollectionViewController::numberOfItemsInSection(ui::CollectionView&, int) {
  return static_cast<int>(errorImages_.size());
}

std::shared_ptr<ui::CollectionViewCell> LMErrorPhotoCollectionViewController::cellForItemAtIndexPath(
    ui::CollectionView& collectionView, ui::IndexPath indexPath) {
  auto cell = std::static_pointer_cast<LMErrorImageCollectionViewCell>(
      collectionView.dequeueReusableCell(LMErrorImageCollectionViewCell::kReuseIdentifier));
  if (!cell || indexPath.row < 0 || static_cast<std::size_t>(indexPath.row) >= errorImages_.size()) return cell;
  const std::string assetID = errorImages_[static_cast<std::size_t>(indexPath.row)].assetID.value_or("");
  cell->imageIdentifier = assetID;
  // A reused cell must not go on showing the photo of its previous use.
  cell->showImage(std::nullopt);
  auto& cache = ui::ImageCache::sharedImageCache();
  if (auto cached = cache.imageFromMemoryCache(assetID)) {
    cell->showImage(cached);
    return cell;
  }
  auto assets = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithLocalIdentifiers({assetID});
  if (assets.empty() || !imageManager_) {
    cell->showUnavailable();
    return cell;
  }
  std::weak_ptr<LMErrorImageCollectionViewCell> weakCell = cell;
  // Every answer comes back: a photo that cannot be drawn (its file gone,
  // unreadable or damaged, the request cancelled) gets the mark, not a
  // tile left empty.
  imageManager_->requestImageForAsset(
      assets.front(), kItemSide, kItemSide, photos::ImageContentMode::AspectFill, {.networkAccessAllowed = true},
      [weakCell, assetID](std::optional<platform::Image> image, const photos::ImageRequestInfo&) {
        platform::MainQueue::main().async([weakCell, assetID, image = std::move(image)] {
          std::optional<ui::Image> thumbnail;
          if (image) {
            thumbnail = ui::Image::imageWithBitmap(*image);
            ui::ImageCache::sharedImageCache().storeImage(*thumbnail, std::nullopt, assetID, false);
          }
          auto cell = weakCell.lock();
          if (!cell || cell->imageIdentifier != assetID) return;
          if (thumbnail) {
            cell->showImage(thumbnail);
          } else {
            cell->showUnavailable();
          }
        });
      });
  return cell;
}

}  // namespace lumora
