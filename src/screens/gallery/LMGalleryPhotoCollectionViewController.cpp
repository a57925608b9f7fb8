#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"

#include <algorithm>

#include "applog/LoggerRegistry.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/UrlError.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/ImageViewWebCache.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMCloudPhotoImage.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;
namespace store = platform::objectstore;


LMGalleryPhotoCollectionViewController::~LMGalleryPhotoCollectionViewController() {
  if (fetchedResultsController_) fetchedResultsController_->setDelegate({});
}

void LMGalleryPhotoCollectionViewController::setAlbumObject(std::shared_ptr<LMAlbumObject> album) {
  if (!album || album == albumObject_) return;
  if (albumObject_ && albumObject_->serverID() == album->serverID()) return;
  albumObject_ = std::move(album);
  const auto id = albumObject_->serverID();
  const auto name = albumObject_->name();
  if (id == 2 && name == "snapshot") {
    navigationItem().title = ui::localizedString("snapshot");
  } else if (id == 1 && name == "untitled") {
    navigationItem().title = ui::localizedString("untitled");
  } else {
    navigationItem().title = name.value_or("");
  }
}

void LMGalleryPhotoCollectionViewController::loadView() {
  ui::FlowLayout layout;
  layout.minimumInteritemSpacing = 0;
  collectionView_ = std::make_shared<ui::CollectionView>(ui::Screen::main().interfaceBounds(), layout);
  setView(collectionView_);
}

void LMGalleryPhotoCollectionViewController::viewDidLoad() {
  interfaceInitialize();
  statusBarHidden_ = false;
  photoBrowseStatusBarHidden_ = false;
}

void LMGalleryPhotoCollectionViewController::interfaceInitialize() {
  auto self = std::static_pointer_cast<LMGalleryPhotoCollectionViewController>(shared_from_this());
  std::weak_ptr<LMGalleryPhotoCollectionViewController> weak = self;
  collectionView_->setBackgroundColor(ui::colorWithHexString("efeff4"));
  // The back arrow (without its picture the item was there but unseen).
  navigationItem().leftBarButtonItem = ui::BarButtonItem{"",
                                                         [weak] {
                                                           if (auto grid = weak.lock()) grid->cancelCheck();
                                                         },
                                                         ui::Image::imageNamed("返回按钮.png")};

  const ui::Size screen = ui::Screen::main().bounds().size();
  auto side = [&](double points) { return screen.width == points || screen.height == points; };
  if (side(320)) {
    itemSize_ = {78, 78};
    itemInsets_ = {0, 0, 2, 0};
  } else if (side(375)) {
    itemSize_ = {91, 91};
    itemInsets_ = {0, 0, 4, 0};
  } else if (side(414)) {
    itemSize_ = {102, 102};
    itemInsets_ = {0, 0, 3, 0};
  }
  collectionView_->layout().itemSize = itemSize_;
  collectionView_->layout().sectionInset = itemInsets_;
  collectionView_->layout().minimumLineSpacing = itemInsets_.bottom;

  collectionView_->registerCell(kCellIdentifier,
                                [] { return LMPhotoCollectionViewCell::create({}, kCellIdentifier); });
  collectionView_->setAlwaysBounceVertical(true);
  collectionView_->setDataSource(std::weak_ptr<ui::CollectionViewDataSource>(self));
  collectionView_->setDelegate(std::weak_ptr<ui::CollectionViewDelegate>(self));

  refreshHeader_ = ui::RefreshHeaderView::refreshView();
  refreshHeader_->setLastUpdatedText(ui::localizedString("最后更新："));
  refreshHeader_->timeLabel()->setText(
      refreshHeader_->refreshingTimeStringFromDate(albumObject_ ? albumObject_->refreshDate() : std::nullopt));
  std::weak_ptr<LMAlbumObject> album = albumObject_;
  refreshHeader_->setRefreshingTimeOperation([album] {
    const auto now = platform::Clock::current()->now();
    if (auto held = album.lock(); held && held->serverID()) LMGalleryManager::sharedManager().saveAlbum(*held->serverID(), now);
    return now;
  });
  refreshHeader_->addTarget(self, &LMGalleryPhotoCollectionViewController::refreshImages);
  refreshHeader_->addToScrollView(collectionView_);
  collectionView_->reloadData();
}

void LMGalleryPhotoCollectionViewController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  refreshHeader_->beginRefreshing();
}

void LMGalleryPhotoCollectionViewController::viewWillLayoutSubviews() {
  const ui::Rect b = view()->bounds();
  if (refreshHeader_) refreshHeader_->setOriginalEdgeInsets({b.width > b.height ? 32.0 : 64.0, 0, 0, 0});
  if (browser_ && browser_->isViewLoaded()) {
    auto window = view()->window();
    browser_->view()->setFrame(window ? window->bounds() : b);
  }
}

void LMGalleryPhotoCollectionViewController::willRotateToInterfaceOrientation(ui::InterfaceOrientation orientation,
                                                                              double) {
  statusBarHidden_ = ui::isLandscape(orientation);
}

void LMGalleryPhotoCollectionViewController::refreshImages() {
  std::weak_ptr<ui::RefreshHeaderView> header = refreshHeader_;
  auto album = albumObject_;
  platform::globalQueue().async([album, header] {
    LMGalleryManager::sharedManager().requestImageObjectsWithAlbum(album, [header](const std::optional<platform::Error>&) {
      auto end = [header] {
        if (auto held = header.lock()) held->endRefreshing();
      };
      platform::MainQueue::runOrPost(end);
    });
  });
}

void LMGalleryPhotoCollectionViewController::cancelCheck() {
  KoStatSDK::recordCountEvent(std::string("取消云相册图片查看按钮"), "button");
  if (auto navigation = navigationController()) navigation->popViewController(true);
}

std::shared_ptr<store::FetchedResultsController> LMGalleryPhotoCollectionViewController::fetchedResultsController() {
  if (fetchedResultsController_) return fetchedResultsController_;
  store::FetchRequest request;
  request.entityName = LMImageObject::kEntityName;
  const auto albumID = albumObject_ ? albumObject_->serverID() : std::nullopt;
  request.predicate =
      store::Predicate::equal("album.serverID", albumID ? store::Value(*albumID) : store::Value());
  request.sortDescriptors = {{"createDate", false}};
  request.propertiesToFetch = {"serverID", "type", "imageUrl", "thumbnailUrl"};
  fetchedResultsController_ = std::make_shared<store::FetchedResultsController>(
      request, LMGalleryStoreStack::shared()->managedObjectContext());
  fetchDelegate_ = std::make_shared<store::FetchedResultsControllerDelegate>();
  std::weak_ptr<LMGalleryPhotoCollectionViewController> weak =
      std::static_pointer_cast<LMGalleryPhotoCollectionViewController>(shared_from_this());
  fetchDelegate_->controllerWillChangeContent = [weak] {
    if (auto grid = weak.lock()) grid->willChangeContent();
  };
  fetchDelegate_->didChangeObject = [weak](const std::shared_ptr<store::ManagedObject>&, std::optional<std::size_t> from,
                                           store::FetchedResultsChangeType type, std::optional<std::size_t> to) {
    if (auto grid = weak.lock()) grid->didChangeObject(from, type, to);
  };
  fetchDelegate_->controllerDidChangeContent = [weak] {
    if (auto grid = weak.lock()) grid->didChangeContent();
  };
  fetchedResultsController_->setDelegate(fetchDelegate_);
  if (auto status = fetchedResultsController_->performFetch(); !status.ok()) {
    QB_LOG_ERROR("{}", status.error().description());
  }
  return fetchedResultsController_;
}

std::shared_ptr<LMImageObject> LMGalleryPhotoCollectionViewController::imageAt(std::size_t row) {
  auto controller = fetchedResultsController();
  if (row >= controller->numberOfObjects()) return nullptr;
  return std::dynamic_pointer_cast<LMImageObject>(controller->objectAtIndex(row));
}

int LMGalleryPhotoCollectionViewController::numberOfItemsInSection(ui::CollectionView&, int) {
  return static_cast<int>(fetchedResultsController()->numberOfObjects());
}

std::shared_ptr<ui::CollectionViewCell> LMGalleryPhotoCollectionViewController::cellForItemAtIndexPath(
    ui::CollectionView& view, ui::IndexPath path) {
  auto cell = std::static_pointer_cast<LMPhotoCollectionViewCell>(view.dequeueReusableCell(kCellIdentifier));
  if (!cell) cell = LMPhotoCollectionViewCell::create({}, kCellIdentifier);
  // The recognisers go on once per cell, not once per use.
  if (cell->button()->gestureRecognizers().empty()) {
    std::weak_ptr<LMGalleryPhotoCollectionViewController> weak =
        std::static_pointer_cast<LMGalleryPhotoCollectionViewController>(shared_from_this());
    auto tap = std::make_shared<ui::TapGestureRecognizer>([weak](ui::GestureRecognizer& r) {
      auto grid = weak.lock();
      auto button = r.view();
      if (grid && button && r.state() == ui::GestureRecognizer::State::Ended) {
        grid->imageButtonPressed(static_cast<std::size_t>(button->tag()));
      }
    });
    cell->button()->addGestureRecognizer(tap);
    cell->button()->addGestureRecognizer(std::make_shared<ui::LongPressGestureRecognizer>([](ui::GestureRecognizer&) {}));
  }
  const auto row = static_cast<std::size_t>(path.row);
  cell->imageView()->setAlpha(0);
  ui::cancelCurrentImageLoad(*cell->imageView());
  cell->imageView()->setImage(std::nullopt);
  cell->button()->setTag(path.row);
  cell->playView()->setHidden(true);

  auto image = imageAt(row);
  if (!image) return cell;
  if (image->type() == kVideoType) cell->playView()->setHidden(false);
  if (!image->isThumbnailValidate()) {
    const double scale = ui::Screen::main().scale();
    if (auto id = image->serverID()) requestThumbnail(cell, *id, {itemSize_.width * scale, itemSize_.height * scale});
    return cell;
  }
  loadThumbnail(cell, image, row);
  return cell;
}

void LMGalleryPhotoCollectionViewController::requestThumbnail(const std::shared_ptr<LMPhotoCollectionViewCell>& cell,
                                                              std::int64_t imageID, ui::Size size) {
  cell->imageView()->requestThumbnailUrl(imageID, size, [](platform::Result<platform::Json> content) {
    if (content.ok()) LMGalleryManager::sharedManager().setImageThumbnailURLs(*content, false);
  });
}

void LMGalleryPhotoCollectionViewController::loadThumbnail(const std::shared_ptr<LMPhotoCollectionViewCell>& cell,
                                                           const std::shared_ptr<LMImageObject>& image,
                                                           std::size_t row) {
  std::weak_ptr<LMPhotoCollectionViewCell> weakCell = cell;
  std::weak_ptr<LMGalleryPhotoCollectionViewController> weak =
      std::static_pointer_cast<LMGalleryPhotoCollectionViewController>(shared_from_this());
  const double scale = ui::Screen::main().scale();
  ui::WebImageOptions options;
  options.retryFailed = true;
  options.shownSize = {itemSize_.width * scale, itemSize_.height * scale};
  LMCloudPhotoImage::setImageWithURL(
      cell->imageView(), *image->thumbnailUrl(), image->getImageObjectOrientation(), std::nullopt, options,
      [weak, weakCell, image, row](std::optional<ui::Image>, std::optional<platform::Error> error,
                                   ui::ImageCacheType cacheType, const std::string&) {
        auto grid = weak.lock();
        auto cell = weakCell.lock();
        if (!grid || !cell) return;
        if (!error) {
          if (cell->button()->tag() != static_cast<int>(row)) return;  // reused for another row
          // Upright already; one just downloaded fades in.
          if (cacheType != ui::ImageCacheType::None) {
            cell->imageView()->setAlpha(1);
            return;
          }
          ui::View::animate(0.3, [&] { cell->imageView()->setAlpha(1); });
          return;
        }
        if (isNetworkConditionError(*error)) return;
        // A refused address: a fresh one is asked for once per image.
        auto id = image->serverID();
        if (!id || !grid->reRequested_.insert(*id).second) return;
        grid->requestThumbnail(cell, *id, grid->itemSize_);
      });
}

void LMGalleryPhotoCollectionViewController::imageButtonPressed(std::size_t row) {
  auto browser = std::dynamic_pointer_cast<LMGalleryPhotoBrowseViewController>(
      LMStoryboard::instantiateViewControllerWithIdentifier(LMGalleryPhotoBrowseViewController::kSceneIdentifier));
  if (!browser) return;
  browser_ = browser;
  browser->setDelegate(std::weak_ptr<LMGalleryPhotoBrowseViewControllerDelegate>(
      std::static_pointer_cast<LMGalleryPhotoCollectionViewController>(shared_from_this())));
  browser->setFetchedResultsController(fetchedResultsController());
  browser->show();
  browser->setCurrentPhotoIndex(row);
}

ui::Rect LMGalleryPhotoCollectionViewController::photoViewFrameWithIndex(std::size_t index) {
  if (static_cast<int>(index) >= collectionView_->numberOfItemsInSection(0)) return {};
  ui::Rect frame = collectionView_->frameForItemAtIndexPath({0, static_cast<int>(index)});
  auto parent = collectionView_->superview();
  ui::Point origin = collectionView_->convertPointToView(frame.origin(), parent.get());
  return {origin.x, origin.y, frame.width, frame.height};
}

void LMGalleryPhotoCollectionViewController::didPhotoBrowseViewDisappear() {
  if (browser_) browser_->setFetchedResultsController(nullptr);
  browser_.reset();
}

void LMGalleryPhotoCollectionViewController::didDeleteAllPhotos() {
  if (auto navigation = navigationController()) navigation->popToRootViewController(true);
}

void LMGalleryPhotoCollectionViewController::willChangeContent() {
  itemChanges_.begin();
  browserDeletes_.clear();
}

void LMGalleryPhotoCollectionViewController::didChangeObject(std::optional<std::size_t> from,
                                                             store::FetchedResultsChangeType type,
                                                             std::optional<std::size_t> to) {
  itemChanges_.record(from, type, to);
  if (browser_ && type == store::FetchedResultsChangeType::Delete && from) browserDeletes_.push_back(*from);
}

void LMGalleryPhotoCollectionViewController::didChangeContent() {
  const auto changes = itemChanges_.apply(*collectionView_);
  if (!browser_) return;
  // Rows that left the browser's list, the last first, so that each row
  // still names the photo it named before the change; then the changed ones
  // at their places in the new list.
  auto deletes = std::move(browserDeletes_);
  std::sort(deletes.rbegin(), deletes.rend());
  for (std::size_t row : deletes) {
    if (!browser_) return;  // the last photo went: the browser closed
    browser_->deletePhotoIndex(row);
  }
  for (const auto& change : changes) {
    if (browser_ && change.type == store::FetchedResultsChangeType::Update) {
      browser_->updatePhotoIndex(change.to.value_or(change.from.value_or(0)));
    }
  }
}

}  // namespace lumora
