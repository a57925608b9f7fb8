// The album grid's screen: set-up, cells, selection, deletion, the
// database's changes and the sign-in hand-offs; the download is in
// +Download.
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"

#include "applog/LoggerRegistry.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/Image.h"
#include "platform/ui/ImageViewWebCache.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "screens/account/LMLoginViewController.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/account/LMLoginScreens.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMCloudPhotoImage.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "stats/KoStatSDK.h"

namespace lumora {

namespace ui = platform::ui;
namespace store = platform::objectstore;

namespace {

std::string albumText(const char* key) { return ui::localizedString(key); }

void albumNotice(const std::string& title, const std::string& message) {
  ui::AlertView::alert(title, message, albumText("我知道了"), {})->show();
}

}  // namespace

std::shared_ptr<ui::ViewController> LMGalleryAlbumCollectionViewController::instantiateScene() {
  return ui::NavigationController::withRoot(std::make_shared<LMGalleryAlbumCollectionViewController>());
}

LMGalleryAlbumCollectionViewController::~LMGalleryAlbumCollectionViewController() {
  if (fetchedResultsController_) fetchedResultsController_->setDelegate({});
  if (networkListener_) platform::ReachabilityMonitor::sharedMonitor().removeListener(networkListener_);
}

bool LMGalleryAlbumCollectionViewController::isSystemAlbum(const std::optional<std::string>& name,
                                                           std::optional<std::int64_t> serverID) {
  return (name == "snapshot" && serverID == 2) || (name == "untitled" && serverID == 1);
}

std::shared_ptr<LMGalleryAlbumCollectionViewController> LMGalleryAlbumCollectionViewController::self() {
  return std::static_pointer_cast<LMGalleryAlbumCollectionViewController>(shared_from_this());
}

std::shared_ptr<LMImageSyncAdapter> LMGalleryAlbumCollectionViewController::adapter() const {
  return adapter_ ? adapter_ : LMImageSyncAdapter::sharedAdapter();
}

void LMGalleryAlbumCollectionViewController::loadView() {
  // The toolbar stays put over the grid: the grid fills a plain view.
  auto view = std::make_shared<ui::View>(ui::Screen::main().interfaceBounds());
  ui::FlowLayout layout;
  layout.minimumInteritemSpacing = 0;
  collectionView_ = std::make_shared<ui::CollectionView>(view->bounds(), layout);
  view->addSubview(collectionView_);
  setView(view);
}

void LMGalleryAlbumCollectionViewController::viewDidLoad() { interfaceInitialize(); }

void LMGalleryAlbumCollectionViewController::interfaceInitialize() {
  auto grid = self();
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = grid;
  selectedItemIDs_.clear();
  navigationItem().title = albumText("我的云相册");
  view()->setBackgroundColor(ui::colorWithHexString("efeff4"));
  collectionView_->setBackgroundColor(ui::colorWithHexString("efeff4"));
  navigationItem().leftBarButtonItem = ui::BarButtonItem{"",
                                                         [weak] {
                                                           if (auto held = weak.lock()) held->cancelCheck(true);
                                                         },
                                                         ui::Image::imageNamed("返回按钮.png")};
  navigationItem().rightBarButtonItem = ui::BarButtonItem{albumText("多选"), [weak] {
                                                            if (auto held = weak.lock()) held->selectAlbums();
                                                          }};
  isBeginSelectAlbums_ = false;

  ui::Size toolSize;
  switch (static_cast<int>(ui::Screen::main().bounds().width)) {
    case 320:
      itemSize_ = {110, 162};
      itemInsets_ = {5, 30, 12, 30};
      toolSize = {290, 48};
      break;
    case 375:
      itemSize_ = {130, 182};
      itemInsets_ = {10, 36, 22, 36};
      toolSize = {345, 55};
      break;
    case 414:
      itemSize_ = {150, 202};
      itemInsets_ = {10, 37, 28, 37};
      toolSize = {380, 60};
      break;
    default:
      break;
  }
  collectionView_->layout().itemSize = itemSize_;
  collectionView_->layout().sectionInset = itemInsets_;
  collectionView_->layout().minimumLineSpacing = itemInsets_.bottom;
  collectionView_->registerCell(kCellIdentifier, [] { return LMAlbumCollectionViewCell::create({}, kCellIdentifier); });
  collectionView_->setDataSource(std::weak_ptr<ui::CollectionViewDataSource>(grid));
  collectionView_->setDelegate(std::weak_ptr<ui::CollectionViewDelegate>(grid));

  const ui::Rect b = view()->bounds();
  toolBar_ = LMGalleryToolBar::create({(b.width - toolSize.width) / 2, b.height, toolSize.width, toolSize.height});
  toolBar_->setDelegate(std::weak_ptr<LMGalleryToolBarDelegate>(grid));
  toolBar_->setEnabled(false);
  view()->addSubview(toolBar_);

  networkGuard_ = LMDownloadNetworkGuard::make(
      [weak] {
        auto held = weak.lock();
        return held ? held->adapter() : LMImageSyncAdapter::sharedAdapter();
      },
      [weak] {
        if (auto held = weak.lock()) held->downloadAlbums();
      },
      "Download Albums");
  networkGuard_->startListening();
  // A list that could not be fetched is fetched again when the network is back.
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  networkListener_ = monitor.addListener([weak](platform::ReachabilityStatus status) {
    auto held = weak.lock();
    if (held && held->listingFailed_ && (status == platform::ReachabilityStatus::ReachableViaWiFi ||
                                         status == platform::ReachabilityStatus::ReachableViaWWAN)) {
      held->refreshAlbums();
    }
  });
  collectionView_->reloadData();
}

void LMGalleryAlbumCollectionViewController::viewWillLayoutSubviews() {
  const ui::Rect b = view()->bounds();
  collectionView_->setFrame(b);
  // A resting toolbar follows the view; a sliding one keeps its course.
  if (toolBar_ && toolBar_->frame() != toolBarFrame()) toolBar_->setFrame(toolBarFrame());
}

ui::Rect LMGalleryAlbumCollectionViewController::toolBarFrame() {
  const ui::Rect b = view()->bounds();
  ui::Rect frame = toolBar_->frame();
  frame.x = (b.width - frame.width) / 2;
  frame.y = isBeginSelectAlbums_ ? b.height - frame.height - kToolBarLift : b.height;
  return frame;
}

void LMGalleryAlbumCollectionViewController::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  refreshAlbums();
}

void LMGalleryAlbumCollectionViewController::refreshAlbums() {
  listingFailed_ = false;
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  platform::globalQueue().async([weak] {
    LMGalleryManager::sharedManager().requestAlbumObjectWithFinish([weak](const std::optional<platform::Error>& error) {
      if (!error) return;
      platform::MainQueue::runOrPost([weak, error = *error] {
        if (auto grid = weak.lock()) grid->albumListingFailed(error);
      });
    });
  });
}

void LMGalleryAlbumCollectionViewController::albumListingFailed(const platform::Error& error) {
  QB_LOG_ERROR("Album List Error: {}", error.description());
  // An empty grid would read as no albums at all: the failure is told.
  listingFailed_ = true;
  if (isVisible()) presentTitle(albumText("我的云相册"), "", error);
}

void LMGalleryAlbumCollectionViewController::setIsBeginSelectAlbums(bool on) {
  if (on == isBeginSelectAlbums_) return;
  isBeginSelectAlbums_ = on;
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  if (on) {
    navigationItem().leftBarButtonItem = ui::BarButtonItem{albumText("取消"), [weak] {
                                                             if (auto held = weak.lock()) held->cancelSelected();
                                                           }};
  } else {
    navigationItem().leftBarButtonItem = ui::BarButtonItem{"",
                                                           [weak] {
                                                             if (auto held = weak.lock()) held->cancelCheck(true);
                                                           },
                                                           ui::Image::imageNamed("返回按钮.png")};
  }
  if (navigationItem().rightBarButtonItem) {
    navigationItem().rightBarButtonItem->title = albumText(on ? "全选" : "多选");
  }
  if (auto navigation = navigationController()) navigation->reloadNavigationBar();
  const ui::Rect frame = toolBarFrame();
  ui::View::animate(kToolBarSlide, [&] { toolBar_->setFrame(frame); });
}

std::shared_ptr<store::FetchedResultsController> LMGalleryAlbumCollectionViewController::fetchedResultsController() {
  if (fetchedResultsController_) return fetchedResultsController_;
  store::FetchRequest request;
  request.entityName = LMAlbumObject::kEntityName;
  request.sortDescriptors = {{"albumType", true}, {"lastUpdateDate", false}};
  request.propertiesToFetch = {"serverID", "thumbnailUrls", "thumbnailOrientations"};
  fetchedResultsController_ = std::make_shared<store::FetchedResultsController>(
      request, LMGalleryStoreStack::shared()->managedObjectContext());
  fetchDelegate_ = std::make_shared<store::FetchedResultsControllerDelegate>();
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  fetchDelegate_->controllerWillChangeContent = [weak] {
    if (auto grid = weak.lock()) grid->changes_.begin();
  };
  fetchDelegate_->didChangeObject = [weak](const std::shared_ptr<store::ManagedObject>&, std::optional<std::size_t> from,
                                           store::FetchedResultsChangeType type, std::optional<std::size_t> to) {
    if (auto grid = weak.lock()) grid->changes_.record(from, type, to);
  };
  fetchDelegate_->controllerDidChangeContent = [weak] {
    auto grid = weak.lock();
    if (grid && grid->collectionView_) grid->changes_.apply(*grid->collectionView_);
  };
  fetchedResultsController_->setDelegate(fetchDelegate_);
  if (auto status = fetchedResultsController_->performFetch(); !status.ok()) {
    QB_LOG_ERROR("{}", status.error().description());
  }
  return fetchedResultsController_;
}

std::shared_ptr<LMAlbumObject> LMGalleryAlbumCollectionViewController::albumAt(std::size_t row) {
  auto controller = fetchedResultsController();
  if (row >= controller->numberOfObjects()) return nullptr;
  return std::dynamic_pointer_cast<LMAlbumObject>(controller->objectAtIndex(row));
}

int LMGalleryAlbumCollectionViewController::numberOfItemsInSection(ui::CollectionView&, int) {
  return static_cast<int>(fetchedResultsController()->numberOfObjects());
}

void LMGalleryAlbumCollectionViewController::attachRecognizers(const std::shared_ptr<LMAlbumCollectionViewCell>& cell) {
  // Once per cell: a reused cell keeps the pair it got when it was made.
  if (!cell->button()->gestureRecognizers().empty()) return;
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  auto rowOf = [](ui::GestureRecognizer& r) -> std::optional<std::size_t> {
    auto button = r.view();
    if (!button || button->tag() < 0) return std::nullopt;
    return static_cast<std::size_t>(button->tag());
  };
  auto longPress = std::make_shared<ui::LongPressGestureRecognizer>([weak, rowOf](ui::GestureRecognizer& r) {
    auto grid = weak.lock();
    auto row = rowOf(r);
    if (grid && row && r.state() == ui::GestureRecognizer::State::Began) grid->albumButtonLongPressed(*row);
  });
  std::weak_ptr<ui::GestureRecognizer> held = longPress;
  auto tap = std::make_shared<ui::TapGestureRecognizer>([weak, rowOf, held](ui::GestureRecognizer& r) {
    auto grid = weak.lock();
    auto row = rowOf(r);
    // A press that became a long press is not a tap as well.
    auto press = held.lock();
    if (press && press->state() == ui::GestureRecognizer::State::Began) return;
    if (grid && row && r.state() == ui::GestureRecognizer::State::Ended) grid->albumButtonPressed(*row);
  });
  cell->button()->addGestureRecognizer(tap);
  cell->button()->addGestureRecognizer(longPress);
}

std::shared_ptr<ui::CollectionViewCell> LMGalleryAlbumCollectionViewController::cellForItemAtIndexPath(
    ui::CollectionView& view, ui::IndexPath path) {
  auto cell = std::static_pointer_cast<LMAlbumCollectionViewCell>(view.dequeueReusableCell(kCellIdentifier));
  if (!cell) cell = LMAlbumCollectionViewCell::create({}, kCellIdentifier);
  ui::cancelCurrentImageLoad(*cell->imageView());
  cell->imageView()->setImage(std::nullopt);
  cell->backgroundImageView1()->setHidden(true);
  cell->selectImageView()->setHidden(true);
  cell->button()->setTag(path.row);
  cell->setThumbnailImageURLArray({}, {});
  attachRecognizers(cell);

  auto album = albumAt(static_cast<std::size_t>(path.row));
  if (!album) return cell;
  const auto id = album->serverID();
  const auto name = album->name();
  if (id && selectedItemIDs_.count(*id)) cell->selectImageView()->setHidden(false);
  if (isSystemAlbum(name, id)) {
    cell->nameLabel()->setText(albumText(name->c_str()));
    cell->typeLabel()->setText(albumText("系统相册"));
  } else {
    cell->nameLabel()->setText(name.value_or(""));
    cell->typeLabel()->setText(albumText("自动上传"));
  }
  auto urls = LMCustomUtils::jsonObjectFromString(album->thumbnailUrls());
  if (urls && urls->is_array() && !urls->empty()) {
    std::vector<std::string> addresses;
    for (const auto& url : *urls) addresses.push_back(url.is_string() ? url.get<std::string>() : std::string());
    // Each cover photo's orientation, in the order of its address (1: as it
    // comes, where none is known).
    std::vector<std::int64_t> orientations;
    if (auto turns = LMCustomUtils::jsonObjectFromString(album->thumbnailOrientations()); turns && turns->is_array()) {
      for (const auto& turn : *turns) orientations.push_back(turn.is_number_integer() ? turn.get<std::int64_t>() : 1);
    }
    // Covers are squares as wide as the item at most.
    const double side = itemSize_.width * ui::Screen::main().scale();
    ui::WebImageOptions options;
    options.retryFailed = true;
    options.shownSize = {side, side};
    if (!addresses.front().empty()) {
      LMCloudPhotoImage::setImageWithURL(cell->imageView(), addresses.front(),
                                         orientations.empty() ? 1 : orientations.front(), std::nullopt, options);
    }
    cell->setThumbnailImageURLArray(addresses, orientations, options.shownSize);
  }
  return cell;
}

void LMGalleryAlbumCollectionViewController::enableToolBar() { toolBar_->setEnabled(!selectedItemIDs_.empty()); }

void LMGalleryAlbumCollectionViewController::albumButtonPressed(std::size_t row) {
  auto album = albumAt(row);
  if (!album || !album->serverID()) return;
  if (isBeginSelectAlbums_) {
    const std::int64_t id = *album->serverID();
    if (!selectedItemIDs_.erase(id)) selectedItemIDs_.insert(id);
    enableToolBar();
    collectionView_->reloadItemsAtIndexPaths({{0, static_cast<int>(row)}});
    return;
  }
  auto photos = std::dynamic_pointer_cast<LMGalleryPhotoCollectionViewController>(
      LMStoryboard::instantiateViewControllerWithIdentifier(LMGalleryPhotoCollectionViewController::kSceneIdentifier));
  if (!photos) return;
  photos->setAlbumObject(album);
  if (auto navigation = navigationController()) navigation->pushViewController(photos, true);
}

void LMGalleryAlbumCollectionViewController::albumButtonLongPressed(std::size_t row) {
  if (isBeginSelectAlbums_) return;
  auto album = albumAt(row);
  if (!album || !album->serverID()) return;
  selectedItemIDs_.insert(*album->serverID());
  setIsBeginSelectAlbums(true);
  enableToolBar();
  collectionView_->reloadItemsAtIndexPaths({{0, static_cast<int>(row)}});
}

void LMGalleryAlbumCollectionViewController::cancelCheck(bool fromUser) {
  if (fromUser) KoStatSDK::recordCountEvent(std::string("取消云相册查看按钮"), "button");
  if (auto delegate = delegate_.lock()) delegate->didCancelGalleryBrowse();
}

void LMGalleryAlbumCollectionViewController::cancelSelected() {
  selectedItemIDs_.clear();
  setIsBeginSelectAlbums(false);
  collectionView_->reloadData();
}

void LMGalleryAlbumCollectionViewController::selectAlbums() {
  if (isBeginSelectAlbums_) {
    auto controller = fetchedResultsController();
    for (std::size_t row = 0; row < controller->numberOfObjects(); ++row) {
      if (auto album = albumAt(row); album && album->serverID()) selectedItemIDs_.insert(*album->serverID());
    }
    collectionView_->reloadData();
  } else {
    setIsBeginSelectAlbums(true);
  }
  enableToolBar();
}

void LMGalleryAlbumCollectionViewController::didPressGalleryToolBarButton(ui::Button&, unsigned index) {
  if (index == LMGalleryToolBar::kDownloadIndex) {
    downloadButtonPressed();
    return;
  }
  if (index != LMGalleryToolBar::kDeleteIndex) return;
  std::uint64_t photos = 0;
  auto controller = fetchedResultsController();
  for (std::size_t row = 0; row < controller->numberOfObjects(); ++row) {
    auto album = albumAt(row);
    if (!album || !album->serverID() || !selectedItemIDs_.count(*album->serverID())) continue;
    if (isSystemAlbum(album->name(), album->serverID())) {
      albumNotice(albumText("删除相册"), albumText("Delete System Album Fail"));
      return;
    }
    photos += static_cast<std::uint64_t>(album->totalImageCount().value_or(0));
  }
  confirmDelete(selectedItemIDs_.size(), photos);
}

void LMGalleryAlbumCollectionViewController::confirmDelete(std::size_t albums, std::uint64_t photos) {
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  const std::string remove = albumText("删除");
  ui::AlertView::alert(albumText("删除相册"),
                       ui::localizedCountString("Delete Albums Format",
                                                {static_cast<std::int64_t>(albums), static_cast<std::int64_t>(photos)}),
                       albumText("取消"), {remove},
                       [weak, remove](ui::AlertView& alert, int button) {
                         auto grid = weak.lock();
                         const auto& titles = alert.buttonTitles();
                         const bool removing = button >= 0 && static_cast<std::size_t>(button) < titles.size() &&
                                               titles[static_cast<std::size_t>(button)] == remove;
                         if (grid && removing) grid->deleteAlbums();
                       })
      ->show();
}

void LMGalleryAlbumCollectionViewController::deleteAlbums() {
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  const std::vector<std::int64_t> selected(selectedItemIDs_.begin(), selectedItemIDs_.end());
  auto& hud = LMProgressHUD::sharedHUD();
  hud.statusBarStyle = ui::StatusBarStyle::LightContent;
  hud.showWithTitle(albumText("Removing All Selected Albums"), [weak, selected] {
    platform::globalQueue().async([weak, selected] {
      auto& manager = LMGalleryManager::sharedManager();
      auto main = manager.managedObjectContext();
      auto failed = std::make_shared<std::vector<std::int64_t>>();
      std::vector<std::int64_t> removable;
      for (std::int64_t id : selected) {
        // The stored album belongs to the main context: read it there.
        std::shared_ptr<LMAlbumObject> album;
        bool system = false;
        if (main) {
          main->performAndWait([&] {
            album = manager.getAlbumById(id, main);
            system = album && isSystemAlbum(album->name(), album->serverID());
          });
        }
        if (system) continue;
        auto listed = std::make_shared<platform::Semaphore>(0);
        auto error = std::make_shared<std::optional<platform::Error>>();
        manager.requestImageObjectsWithAlbum(album, [listed, error](const std::optional<platform::Error>& e) {
          *error = e;
          listed->signal();
        });
        listed->wait();
        (*error ? *failed : removable).push_back(id);
      }
      manager.deleteAlbumsByAlbumIDs(removable, [weak, failed](const std::vector<std::int64_t>& notDeleted) {
        failed->insert(failed->end(), notDeleted.begin(), notDeleted.end());
        if (auto grid = weak.lock()) grid->finishDelete(*failed);
      });
    });
  });
}

void LMGalleryAlbumCollectionViewController::finishDelete(const std::vector<std::int64_t>& failed) {
  selectedItemIDs_ = std::set<std::int64_t>(failed.begin(), failed.end());
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  const auto count = static_cast<std::int64_t>(failed.size());
  LMProgressHUD::sharedHUD().dismissWithBlock([weak, count] {
    auto grid = weak.lock();
    if (!grid) return;
    grid->enableToolBar();
    grid->collectionView_->reloadData();
    if (count > 0) {
      albumNotice(albumText("删除相册"), ui::localizedCountString("Delete Albums Fail Format", count));
    }
  });
}

const std::shared_ptr<LMLoginViewControllerDelegate>& LMGalleryAlbumCollectionViewController::newLoginDelegate() {
  loginDelegate_ = std::make_shared<LMLoginViewControllerDelegate>();
  std::weak_ptr<LMGalleryAlbumCollectionViewController> weak = self();
  loginDelegate_->didSuccessLogin = [weak] {
    if (auto grid = weak.lock()) grid->didSuccessLogin();
  };
  loginDelegate_->didCancelLogin = [weak] {
    if (auto grid = weak.lock()) grid->didCancelLogin();
  };
  return loginDelegate_;
}

void LMGalleryAlbumCollectionViewController::presentLogin() {
  if (auto login = LMLoginViewController::instantiateWithDelegate(newLoginDelegate())) presentViewController(login, true);
}

void LMGalleryAlbumCollectionViewController::didSuccessLogin() {
  closeSignInScreens(*this);
  platform::NotificationCenter::defaultCenter().post("LMPassportDidLoginNotification",
                                                     platform::Json{{"type", "photos"}});
  refreshAlbums();
}

void LMGalleryAlbumCollectionViewController::didCancelLogin() { closeSignInScreens(*this); }

}  // namespace lumora
