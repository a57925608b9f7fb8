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
  preparePhotosNearTheScreen();
}

void LMErrorPhotoCollectionViewController::viewWillLayoutSubviews() {
  ViewController::viewWillLayoutSubviews();
  // A scroll or a new size: before the tiles that came into sight ask for
  // their photos, so that the nearest are asked first.
  preparePhotosNearTheScreen();
}

double LMErrorPhotoCollectionViewController::thumbnailPixels() { return kItemSide * ui::Screen::main().scale(); }

void LMErrorPhotoCollectionViewController::setErrorImages(std::vector<LMImage> images) {
  errorImages_ = std::move(images);
  stopPreparing();
  if (errorImages_.empty()) return;
  if (collectionView_) collectionView_->reloadData();
  preparePhotosNearTheScreen();
}

void LMErrorPhotoCollectionViewController::stopPreparing() {
  if (imageManager_) {
    for (const auto& [row, preparing] : preparing_) imageManager_->cancelImageRequest(preparing.request);
  }
  preparing_.clear();
}

LMErrorPhotoCollectionViewController::~LMErrorPhotoCollectionViewController() {
  auto& cache = ui::ImageCache::sharedImageCache();
  for (const auto& assetID : kept_) cache.removeImageForKey(assetID);
}

std::optional<ui::Image> LMErrorPhotoCollectionViewController::thumbnailArrived(
    const std::weak_ptr<LMErrorPhotoCollectionViewController>& page, const std::string& assetID,
    const std::optional<platform::Image>& image) {
  if (!image) return std::nullopt;
  const ui::Image thumbnail = ui::Image::imageWithBitmap(*image, ui::Screen::main().scale());
  if (auto grid = page.lock()) grid->keep(assetID, thumbnail);
  return thumbnail;
}

void LMErrorPhotoCollectionViewController::keep(const std::string& assetID, const ui::Image& thumbnail) {
  auto& cache = ui::ImageCache::sharedImageCache();
  if (keptAt_.count(assetID)) {
    // Asked for twice at once (ahead and by its tile): one answer.
    if (!cache.imageFromMemoryCache(assetID)) cache.storeImage(thumbnail, std::nullopt, assetID, false);
    return shown(assetID);
  }
  cache.storeImage(thumbnail, std::nullopt, assetID, false);
  const ui::Size size = thumbnail.pixelSize();
  kept_.push_front(assetID);
  keptAt_[assetID] = {kept_.begin(), size.width * size.height};
  keptPixels_ += size.width * size.height;
  // The oldest go while the page keeps more than its share.
  while (keptPixels_ > kKeptThumbnailPixels && kept_.size() > 1) {
    const std::string oldest = kept_.back();
    keptPixels_ -= keptAt_[oldest].second;
    keptAt_.erase(oldest);
    kept_.pop_back();
    cache.removeImageForKey(oldest);
  }
}

void LMErrorPhotoCollectionViewController::shown(const std::string& assetID) {
  auto found = keptAt_.find(assetID);
  if (found != keptAt_.end()) kept_.splice(kept_.begin(), kept_, found->second.first);
}

void LMErrorPhotoCollectionViewController::preparePhotosNearTheScreen() {
  if (!imageManager_ || !collectionView_) return;
  const double side = thumbnailPixels();
  if (side != preparedPixels_) {
    stopPreparing();
    preparedPixels_ = side;
  }
  const ui::Rect shownRect = collectionView_->bounds();
  const ui::Rect reach{shownRect.x, shownRect.y - shownRect.height / 2, shownRect.width, shownRect.height * 2};
  const int rows = std::min(collectionView_->numberOfSections() > 0 ? collectionView_->numberOfItemsInSection(0) : 0,
                            static_cast<int>(errorImages_.size()));
  // The rows within reach, by their distance from what is shown.
  std::vector<std::pair<double, int>> near;
  for (int row = 0; row < rows; ++row) {
    const ui::Rect frame = collectionView_->frameForItemAtIndexPath({0, row});
    if (!frame.intersects(reach)) continue;
    const double distance = frame.intersects(shownRect) ? 0
                            : frame.maxY() <= shownRect.y ? shownRect.y - frame.maxY()
                                                          : frame.y - shownRect.maxY();
    near.emplace_back(distance, row);
  }
  std::stable_sort(near.begin(), near.end());
  std::map<int, bool> inReach;
  for (const auto& [distance, row] : near) inReach[row] = true;
  for (auto it = preparing_.begin(); it != preparing_.end();) {
    if (inReach.count(it->first)) {
      ++it;
      continue;
    }
    imageManager_->cancelImageRequest(it->second.request);
    it = preparing_.erase(it);
  }
  // Those not asked for yet nor in the image cache.
  auto& cache = ui::ImageCache::sharedImageCache();
  std::vector<int> coming;
  std::vector<std::string> identifiers;
  for (const auto& [distance, row] : near) {
    const auto& assetID = errorImages_[static_cast<std::size_t>(row)].assetID;
    if (preparing_.count(row) || !assetID || cache.imageFromMemoryCache(*assetID)) continue;
    coming.push_back(row);
    identifiers.push_back(*assetID);
  }
  if (coming.empty()) return;
  std::map<std::string, photos::Asset> found;
  for (auto& asset : photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithLocalIdentifiers(identifiers)) {
    found.emplace(asset.localIdentifier, std::move(asset));
  }
  std::weak_ptr<LMErrorPhotoCollectionViewController> weak =
      std::static_pointer_cast<LMErrorPhotoCollectionViewController>(shared_from_this());
  for (const int row : coming) {
    const std::string& assetID = *errorImages_[static_cast<std::size_t>(row)].assetID;
    auto asset = found.find(assetID);
    if (asset == found.end()) continue;  // gone: its tile has the mark
    const auto request = imageManager_->requestImageForAsset(
        asset->second, side, side, photos::ImageContentMode::AspectFill, {.networkAccessAllowed = true},
        [weak, assetID](std::optional<platform::Image> image, const photos::ImageRequestInfo& info) {
          if (info.cancelled || !image) return;
          platform::MainQueue::main().async(
              [weak, assetID, image = std::move(image)] { thumbnailArrived(weak, assetID, image); });
        });
    preparing_[row] = {asset->second, request};
  }
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
  // A tile given another photo no longer waits for its last one.
  if (cell->imageRequest != 0 && imageManager_) imageManager_->cancelImageRequest(cell->imageRequest);
  cell->imageRequest = 0;
  const std::string assetID = errorImages_[static_cast<std::size_t>(indexPath.row)].assetID.value_or("");
  cell->imageIdentifier = assetID;
  // A reused cell must not go on showing the photo of its previous use.
  cell->showImage(std::nullopt);
  auto& cache = ui::ImageCache::sharedImageCache();
  if (auto cached = cache.imageFromMemoryCache(assetID)) {
    shown(assetID);
    cell->showImage(cached);
    return cell;
  }
  // A photo being prepared was looked up with the others near it.
  std::vector<photos::Asset> assets;
  if (auto prepared = preparing_.find(indexPath.row);
      prepared != preparing_.end() && prepared->second.asset.localIdentifier == assetID) {
    assets.push_back(prepared->second.asset);
  } else {
    assets = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithLocalIdentifiers({assetID});
  }
  if (assets.empty() || !imageManager_) {
    cell->showUnavailable();
    return cell;
  }
  std::weak_ptr<LMErrorImageCollectionViewCell> weakCell = cell;
  std::weak_ptr<LMErrorPhotoCollectionViewController> weak =
      std::static_pointer_cast<LMErrorPhotoCollectionViewController>(shared_from_this());
  const double side = thumbnailPixels();
  // Every answer comes back: a photo that cannot be drawn (its file gone,
  // unreadable or damaged) gets the mark, not a tile left empty; a request
  // dropped changes nothing.
  cell->imageRequest = imageManager_->requestImageForAsset(
      assets.front(), side, side, photos::ImageContentMode::AspectFill, {.networkAccessAllowed = true},
      [weak, weakCell, assetID](std::optional<platform::Image> image, const photos::ImageRequestInfo& info) {
        if (info.cancelled) return;
        platform::MainQueue::main().async([weak, weakCell, assetID, image = std::move(image)] {
          const std::optional<ui::Image> thumbnail = thumbnailArrived(weak, assetID, image);
          auto cell = weakCell.lock();
          if (!cell || cell->imageIdentifier != assetID) return;
          cell->imageRequest = 0;
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
