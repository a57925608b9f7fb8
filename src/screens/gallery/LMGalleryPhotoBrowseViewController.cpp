// The browser's screen, its pager window of three pages, the bars and the
// closing; the toolbar's download and delete are in +Actions.
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"

#include <algorithm>
#include <cmath>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/ui/Image.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

ui::Rect toolBarFrame(double W, double H) {
  const ui::Size screen = ui::Screen::main().bounds().size();
  auto side = [&](double points) { return screen.width == points || screen.height == points; };
  if (side(320)) return {W / 2 - 145, H + 20, 290, 48};
  if (side(375)) return {W / 2 - 172.5, H + 20, 345, 55};
  if (side(414)) return {W / 2 - 190, H + 20, 380, 60};
  return {};
}

}  // namespace

std::size_t LMGalleryPhotoBrowseViewController::pageForIndex(std::size_t index, std::size_t count) {
  if (count < 4) return index;
  if (index == 0) return 0;
  if (index + 1 == count) return 2;
  return 1;
}

void LMGalleryPhotoBrowseViewController::loadView() {
  auto view = std::make_shared<ui::View>(ui::Screen::main().interfaceBounds());
  view->setBackgroundColor(ui::Color::black());
  setView(view);
}

void LMGalleryPhotoBrowseViewController::viewDidLoad() {
  auto self = std::static_pointer_cast<LMGalleryPhotoBrowseViewController>(shared_from_this());
  const ui::Rect b = view()->bounds();
  const std::size_t n = photoCount();

  photoScrollView_ = std::make_shared<ui::ScrollView>(b);
  photoScrollView_->setPagingEnabled(true);
  photoScrollView_->setBackgroundColor(ui::Color::clear());
  photoScrollView_->setDelegate(std::weak_ptr<ui::ScrollViewDelegate>(self));
  photoScrollView_->setContentSize({static_cast<double>(std::min<std::size_t>(n, 3)) * b.width, b.height});
  view()->addSubview(photoScrollView_);

  navigationBar_ = LMCustomNavigationBar::create();
  view()->addSubview(navigationBar_);
  auto back = std::make_shared<ui::Button>(ui::Rect{0, 0, 44, 44});
  back->setImage(ui::Image::imageNamed("返回按钮.png"));
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak = self;
  back->addAction(ui::kControlEventTouchUpInside, [weak](ui::Control&) {
    if (auto browser = weak.lock()) browser->cancelCheck();
  });
  navigationBar_->setLeftItem(back);
  titleLabel_ = std::make_shared<ui::Label>();
  titleLabel_->setBackgroundColor(ui::Color::clear());
  titleLabel_->setFont(ui::Font::boldSystemFont(17));
  navigationBar_->setTitleView(titleLabel_);

  toolBar_ = LMGalleryToolBar::create(toolBarFrame(b.width, b.height));
  toolBar_->setDelegate(std::weak_ptr<LMGalleryToolBarDelegate>(self));
  view()->addSubview(toolBar_);

  // The network rule: a listener of its own, removed when the browser
  // closes (another screen's handler stays).
  networkGuard_ = LMDownloadNetworkGuard::make(
      [weak] {
        auto browser = weak.lock();
        return browser ? browser->adapter() : LMImageSyncAdapter::sharedAdapter();
      },
      [weak] {
        auto browser = weak.lock();
        if (browser && browser->downloadImageObject_) browser->downloadPhoto(browser->downloadImageObject_);
      },
      "Download Photo Title");
  networkGuard_->startListening();
}

void LMGalleryPhotoBrowseViewController::show() {
  auto window = ui::Screen::main().keyWindow();
  if (!window) return;
  window->addSubview(view());
  if (auto root = window->rootViewController()) root->addChildViewController(shared_from_this());
}

std::vector<std::pair<std::size_t, std::shared_ptr<LMPhotoView>>> LMGalleryPhotoBrowseViewController::visiblePages()
    const {
  std::vector<std::pair<std::size_t, std::shared_ptr<LMPhotoView>>> pages;
  for (const auto& page : visiblePhotoViews_) {
    pages.emplace_back(static_cast<std::size_t>(page->tag() - kPageTagBase), page);
  }
  std::sort(pages.begin(), pages.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return pages;
}

std::shared_ptr<LMPhotoView> LMGalleryPhotoBrowseViewController::pageWithIndex(std::size_t index) const {
  for (const auto& page : visiblePhotoViews_) {
    if (page->tag() == kPageTagBase + static_cast<int>(index)) return page;
  }
  return nullptr;
}

void LMGalleryPhotoBrowseViewController::setPagerOffset(double x) {
  movingPager_ = true;
  photoScrollView_->setContentOffset({x, 0});
  movingPager_ = false;
}

void LMGalleryPhotoBrowseViewController::viewWillLayoutSubviews() {
  if (!photoScrollView_) return;
  const ui::Rect b = view()->bounds();
  const double W = b.width;
  const double H = b.height;
  const std::size_t n = photoCount();
  const std::size_t p = pageForIndex(photoIndex_, n);
  photoScrollView_->setFrame(b);
  photoScrollView_->setContentSize({W * static_cast<double>(std::min<std::size_t>(n, 3)), H});
  for (const auto& [index, page] : visiblePages()) {
    const double at = static_cast<double>(index) - static_cast<double>(photoIndex_) + static_cast<double>(p);
    page->setFrame({W * at, photoScrollView_->bounds().y, W, H});
    page->adjustFrame();
  }
  setPagerOffset(W * static_cast<double>(p));

  const bool hidden = barsHidden();
  const bool portrait = W < H;
  const double barHeight = portrait ? 64 : 32;
  navigationBar_->setFrame({0, hidden ? -barHeight : 0, W, barHeight});
  navigationBar_->setNavigationBarPotrait(portrait);
  const ui::Size tool = toolBar_->frame().size();
  toolBar_->setFrame({(W - tool.width) / 2, hidden ? H : H - 14 - tool.height, tool.width, tool.height});
  if (auto d = delegate_.lock()) d->hideStatusBar(hidden || !portrait);
}

bool LMGalleryPhotoBrowseViewController::barsHidden() const { return navigationBar_->frame().y < 0; }

void LMGalleryPhotoBrowseViewController::setCurrentPhotoIndex(std::size_t index) {
  currentPhotoIndex_ = index;
  photoIndex_ = index;
  if (!isViewLoaded()) return;
  const std::size_t n = photoCount();
  const double W = view()->bounds().width;
  setPagerOffset(W * static_cast<double>(pageForIndex(index, n)));
  if (n > 0) {
    std::size_t first = 0;
    if (n >= 4) first = index == 0 ? 0 : index + 1 == n ? n - 3 : index - 1;
    for (std::size_t page = 0; page < std::min<std::size_t>(n, 3); ++page) showPhotoViewIndex(first + page, page);
  }
  updateIndexLabel();
}

void LMGalleryPhotoBrowseViewController::showPhotoViewIndex(std::size_t index, std::size_t pagerPage) {
  std::shared_ptr<LMPhotoView> page;
  if (!reusablePhotoViews_.empty()) {
    page = reusablePhotoViews_.back();
    reusablePhotoViews_.pop_back();
  } else {
    page = LMPhotoView::create();
    page->setPhotoViewDelegate(std::weak_ptr<LMPhotoViewDelegate>(
        std::static_pointer_cast<LMGalleryPhotoBrowseViewController>(shared_from_this())));
  }
  page->setTag(kPageTagBase + static_cast<int>(index));
  if (index >= photoCount()) return;
  const ui::Rect pager = photoScrollView_->bounds();
  page->setFrame({static_cast<double>(pagerPage) * pager.width, pager.y, pager.width, pager.height});
  givePagePhoto(*page, index);
  visiblePhotoViews_.push_back(page);
  photoScrollView_->addSubview(page);
}

void LMGalleryPhotoBrowseViewController::recyclePage(const std::shared_ptr<LMPhotoView>& page) {
  if (!page) return;
  std::erase(visiblePhotoViews_, page);
  page->removeFromSuperview();
  reusablePhotoViews_.push_back(page);
}

void LMGalleryPhotoBrowseViewController::trimReusable() {
  if (reusablePhotoViews_.size() > 2) reusablePhotoViews_.resize(2);
}

void LMGalleryPhotoBrowseViewController::movePage(const std::shared_ptr<LMPhotoView>& page, std::size_t pagerPage) {
  ui::Rect f = page->frame();
  f.x = static_cast<double>(pagerPage) * photoScrollView_->bounds().width;
  page->setFrame(f);
  page->adjustFrame();
}

void LMGalleryPhotoBrowseViewController::scrollViewDidScroll(ui::ScrollView&) {
  if (isRotating_ || movingPager_) return;
  showPhotos();
}

void LMGalleryPhotoBrowseViewController::showPhotos() {
  const double W = photoScrollView_->frame().width;
  const double x = photoScrollView_->contentOffset().x;
  const std::size_t page = x <= 0 ? 0 : x >= 2 * W ? 2 : 1;
  const std::size_t n = photoCount();
  if (n <= 3) {
    if (photoIndex_ != page) {
      photoIndex_ = page;
      updateIndexLabel();
    }
    return;
  }
  const std::size_t c = photoIndex_;
  if (page == 1) {
    if (c == 0 || c + 1 == n) {
      photoIndex_ = c == 0 ? 1 : n - 2;
      updateIndexLabel();
    }
    return;
  }
  if (page == 0) {
    if (c == 0) return;
    if (c == 1) {
      photoIndex_ = 0;
      updateIndexLabel();
      return;
    }
    // The window moves back by one photo.
    recyclePage(pageWithIndex(c + 1));
    for (const auto& [index, view] : visiblePages()) movePage(view, index - (c - 1) + 1);
    trimReusable();
    showPhotoViewIndex(c - 2, 0);
    photoIndex_ = c - 1;
  } else {
    if (c + 1 == n) return;
    if (c + 2 == n) {
      photoIndex_ = n - 1;
      updateIndexLabel();
      return;
    }
    // The window moves on by one photo.
    recyclePage(pageWithIndex(c - 1));
    for (const auto& [index, view] : visiblePages()) movePage(view, index + 1 - (c + 1));
    trimReusable();
    showPhotoViewIndex(c + 2, 2);
    photoIndex_ = c + 1;
  }
  updateIndexLabel();
  setPagerOffset(W);
}

void LMGalleryPhotoBrowseViewController::updateIndexLabel() {
  if (!titleLabel_) return;
  titleLabel_->setText(std::to_string(photoIndex_ + 1) + "/" + std::to_string(photoCount()));
  navigationBar_->setNeedsLayout();
}

void LMGalleryPhotoBrowseViewController::willRotateToInterfaceOrientation(ui::InterfaceOrientation, double) {
  isRotating_ = true;
}

void LMGalleryPhotoBrowseViewController::didRotateFromInterfaceOrientation(ui::InterfaceOrientation) {
  isRotating_ = false;
}

void LMGalleryPhotoBrowseViewController::photoViewSingleTap(LMPhotoView&) {
  const bool wasHidden = navigationBar_->isHidden();
  navigationBar_->setHidden(false);
  toolBar_->setHidden(false);
  const ui::Rect f = view()->frame();
  const bool portrait = f.width < f.height;
  const double barHeight = portrait ? 64 : 32;
  auto d = delegate_.lock();
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak =
      std::static_pointer_cast<LMGalleryPhotoBrowseViewController>(shared_from_this());
  ui::View::animate(
      kAnimation,
      [&] {
        ui::Rect bar = navigationBar_->frame();
        bar.y = wasHidden ? 0 : -barHeight;
        navigationBar_->setFrame(bar);
        if (d) d->hideStatusBar(portrait ? !wasHidden : true);
        const ui::Size tool = toolBar_->frame().size();
        toolBar_->setFrame({(f.width - tool.width) / 2, wasHidden ? f.height - 14 - tool.height : f.height,
                            tool.width, tool.height});
      },
      [weak, wasHidden](bool) {
        auto browser = weak.lock();
        if (!browser) return;
        browser->navigationBar_->setHidden(!wasHidden);
        browser->toolBar_->setHidden(!wasHidden);
      });
}

void LMGalleryPhotoBrowseViewController::cancelCheck() {
  if (auto page = pageWithIndex(photoIndex_)) {
    page->hidePhotoView();
    return;
  }
  navigationBar_->setHidden(true);
  toolBar_->setHidden(true);
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak =
      std::static_pointer_cast<LMGalleryPhotoBrowseViewController>(shared_from_this());
  ui::View::animate(
      kAnimation, [&] { view()->setAlpha(0); },
      [weak](bool) {
        if (auto browser = weak.lock()) browser->removeBrowser();
      });
}

void LMGalleryPhotoBrowseViewController::photoViewWillHide(LMPhotoView&) {
  navigationBar_->setHidden(true);
  toolBar_->setHidden(true);
  view()->setBackgroundColor(ui::Color::clear());
  if (auto d = delegate_.lock()) d->hideStatusBar(false);
}

void LMGalleryPhotoBrowseViewController::photoViewDidEndZoom(LMPhotoView&) { removeBrowser(); }

void LMGalleryPhotoBrowseViewController::removeBrowser() {
  auto self = shared_from_this();  // the parent may hold the last reference
  if (networkGuard_) networkGuard_->stopListening();
  view()->removeFromSuperview();
  removeFromParentViewController();
  if (auto d = delegate_.lock()) d->didPhotoBrowseViewDisappear();
}

bool LMGalleryPhotoBrowseViewController::shouldPhotoViewAnimate(LMPhotoView& page) {
  if (!isFirstAnimate_ || page.tag() != kPageTagBase + static_cast<int>(currentPhotoIndex_)) return false;
  isFirstAnimate_ = false;
  return true;
}

ui::Rect LMGalleryPhotoBrowseViewController::animateFrameWithPhotoView(LMPhotoView&) {
  const std::size_t n = photoCount();
  if (n == 0) return {};
  auto d = delegate_.lock();
  if (!d) return {};
  return d->photoViewFrameWithIndex(currentPhotoIndex_ < n ? currentPhotoIndex_ : photoIndex_);
}

void LMGalleryPhotoBrowseViewController::deletePhotoIndex(std::size_t row) {
  if (!isViewLoaded()) return;
  const std::size_t n = photoCount();
  if (n == 0) {
    toolBar_->setEnabled(false);
    removeBrowser();
    if (auto d = delegate_.lock()) d->didDeleteAllPhotos();
    return;
  }
  // The photo shown from now on: the same one when another row left; when
  // the shown one left, the one before it, except at the start of the list
  // and on the middle page over the second photo, where the next one moves
  // in.
  const std::size_t c = photoIndex_;
  std::size_t shown = c;
  if (row < c) {
    shown = c - 1;
  } else if (row == c && c > 0) {
    const bool nextMovesIn = n + 1 >= 4 && row == 1;
    shown = nextMovesIn ? 1 : c - 1;
  }
  photoIndex_ = std::min(shown, n - 1);
  // The page of the row goes; the pages after it move down one index.
  recyclePage(pageWithIndex(row));
  for (const auto& page : visiblePhotoViews_) {
    if (page->tag() > kPageTagBase + static_cast<int>(row)) page->setTag(page->tag() - 1);
  }
  const std::size_t first = windowStart(photoIndex_, n);
  const std::size_t last = first + std::min<std::size_t>(n, 3);
  for (const auto& [index, page] : visiblePages()) {
    if (index < first || index >= last) recyclePage(page);
  }
  std::weak_ptr<LMGalleryPhotoBrowseViewController> weak =
      std::static_pointer_cast<LMGalleryPhotoBrowseViewController>(shared_from_this());
  const double W = photoScrollView_->frame().width;
  ui::View::animate(
      kAnimation,
      [&] {
        for (const auto& [index, page] : visiblePages()) {
          ui::Rect f = page->frame();
          f.x = W * static_cast<double>(index - first);
          page->setFrame(f);
        }
        setPagerOffset(W * static_cast<double>(pageForIndex(photoIndex_, n)));
      },
      [weak](bool) {
        if (auto browser = weak.lock()) browser->refillWindow();
      });
}

std::size_t LMGalleryPhotoBrowseViewController::windowStart(std::size_t index, std::size_t count) {
  if (count < 4 || index == 0) return 0;
  if (index + 1 >= count) return count - 3;
  return index - 1;
}

void LMGalleryPhotoBrowseViewController::refillWindow() {
  const std::size_t n = photoCount();
  if (n == 0) return;
  photoIndex_ = std::min(photoIndex_, n - 1);
  const std::size_t first = windowStart(photoIndex_, n);
  const std::size_t count = std::min<std::size_t>(n, 3);
  for (const auto& [index, page] : visiblePages()) {
    if (index < first || index >= first + count) {
      recyclePage(page);
    } else {
      movePage(page, index - first);
    }
  }
  for (std::size_t index = first; index < first + count; ++index) {
    if (!pageWithIndex(index)) showPhotoViewIndex(index, index - first);
  }
  trimReusable();
  const ui::Rect pager = photoScrollView_->frame();
  photoScrollView_->setContentSize({pager.width * static_cast<double>(count), pager.height});
  setPagerOffset(pager.width * static_cast<double>(pageForIndex(photoIndex_, n)));
  updateIndexLabel();
}

void LMGalleryPhotoBrowseViewController::updatePhotoIndex(std::size_t row) {
  if (auto page = pageWithIndex(row); page && row < photoCount()) givePagePhoto(*page, row);
}

void LMGalleryPhotoBrowseViewController::setFetchedResultsController(
    std::shared_ptr<platform::objectstore::FetchedResultsController> controller) {
  fetchedResultsController_ = std::move(controller);
  if (photoCount() > 0) {
    visiblePhotoViews_.clear();
    reusablePhotoViews_.clear();
  }
}

std::size_t LMGalleryPhotoBrowseViewController::photoCount() const {
  return fetchedResultsController_ ? fetchedResultsController_->numberOfObjects() : 0;
}

std::shared_ptr<LMImageObject> LMGalleryPhotoBrowseViewController::photoAt(std::size_t index) const {
  if (index >= photoCount()) return nullptr;
  return std::dynamic_pointer_cast<LMImageObject>(fetchedResultsController_->objectAtIndex(index));
}

void LMGalleryPhotoBrowseViewController::givePagePhoto(LMPhotoView& page, std::size_t index) {
  page.setReRequested(reRequested_);
  page.setPhoto(photoAt(index));
}

std::shared_ptr<LMGalleryPhotoBrowseViewController> LMGalleryPhotoBrowseViewController::self() {
  return std::static_pointer_cast<LMGalleryPhotoBrowseViewController>(shared_from_this());
}

}  // namespace lumora
