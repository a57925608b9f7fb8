#include "platform/ui/ViewController.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/MainQueue.h"
#include "platform/ui/BackBarButton.h"
#include "platform/ui/Control.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewControllerAppearance.h"

namespace platform::ui {

namespace {
// Between a bar's edge and a screen's own item view.
constexpr double kBarItemMargin = 16;
// Text and picture items: their distance from the bar's edge, the room on
// each side of their content, their least width, and the title's least
// distance from the edges.
constexpr double kBarItemEdge = 8;
constexpr double kBarItemPadding = 8;
constexpr double kBarItemMinimumWidth = 44;
constexpr double kBarTitleInset = 60;
const Font kBarItemFont = Font::systemFont(15);
}  // namespace

std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = std::make_shared<View>(Screen::main().bounds());
    view_->setViewController(weak_from_this());
    viewDidLoad();
  }
  return view_;
}

void ViewController::setView(std::shared_ptr<View> view) {
  view_ = std::move(view);
  if (view_) view_->setViewController(weak_from_this());
}

void ViewController::loadView() {
  auto v = std::make_shared<View>(Screen::main().bounds());
  v->setBackgroundColor(Color::white());
  setView(v);
}

std::shared_ptr<NavigationController> ViewController::navigationController() const {
  if (auto navigation = navigation_.lock()) return navigation;
  if (auto parent = parent_.lock()) return parent->navigationController();
  return nullptr;
}

void ViewController::appear(bool animated) {
  loadViewIfNeeded();
  visible_ = true;
  viewWillAppear(animated);
  viewDidAppear(animated);
}

void ViewController::viewDidAppear(bool animated) {
  appearanceImplementation(AppearanceMethod::ViewDidAppear)(*this, animated);
}

void ViewController::viewDidDisappear(bool animated) {
  appearanceImplementation(AppearanceMethod::ViewDidDisappear)(*this, animated);
}

void ViewController::disappear(bool animated) {
  if (presented_) {
    auto child = std::move(presented_);
    presented_.reset();
    child->presenting_.reset();
    child->disappear(animated);
    if (child->isViewLoaded()) child->view()->removeFromSuperview();
  }
  viewWillDisappear(animated);
  visible_ = false;
  viewDidDisappear(animated);
}

void ViewController::becomeVisibleAsRoot() { appear(false); }

bool ViewController::presentViewController(const std::shared_ptr<ViewController>& controller, bool animated,
                                           std::function<void()> completion) {
  if (!controller || controller.get() == this || presented_) return false;
  if (controller->presentingViewController() || controller->isVisible()) return false;
  presented_ = controller;
  controller->presenting_ = weak_from_this();
  if (isViewLoaded()) {
    if (auto window = view()->window()) {
      auto shown = controller->view();
      shown->setFrame(window->bounds());
      window->addSubview(shown);
    }
  }
  controller->appear(animated);
  Screen::main().followFrontScreen();
  if (completion) MainQueue::main().async(std::move(completion));
  return true;
}

bool ViewController::dismissViewController(bool animated, std::function<void()> completion) {
  if (presented_) {
    auto child = presented_;
    presented_.reset();
    child->presenting_.reset();
    child->disappear(animated);
    if (child->isViewLoaded()) child->view()->removeFromSuperview();
    Screen::main().followFrontScreen();
    if (completion) MainQueue::main().async(std::move(completion));
    return true;
  }
  if (auto presenter = presenting_.lock()) return presenter->dismissViewController(animated, std::move(completion));
  if (auto navigation = navigationController()) {
    if (navigation.get() != this) return navigation->dismissViewController(animated, std::move(completion));
  }
  return false;
}

void ViewController::addChildViewController(const std::shared_ptr<ViewController>& child) {
  if (!child || child.get() == this) return;
  child->removeFromParentViewController();
  child->parent_ = weak_from_this();
  children_.push_back(child);
}

void ViewController::removeFromParentViewController() {
  auto parent = parent_.lock();
  parent_.reset();
  if (!parent) return;
  std::erase_if(parent->children_, [this](const auto& c) { return c.get() == this; });
}

bool ViewController::tapLeftBarButton() {
  if (!navigationItem_.leftBarButtonItem || !navigationItem_.leftBarButtonItem->action ||
      !navigationItem_.leftBarButtonItem->enabled) {
    return false;
  }
  auto action = navigationItem_.leftBarButtonItem->action;  // the action may replace the item
  action();
  return true;
}

void ViewController::setRightBarButtonItemEnabled(bool enabled) {
  auto& item = navigationItem_.rightBarButtonItem;
  if (!item || item->enabled == enabled) return;
  item->enabled = enabled;
  auto navigation = navigationController();
  if (navigation && navigation->topViewController().get() == this) navigation->reloadNavigationBar();
}

bool ViewController::tapRightBarButton() {
  if (!navigationItem_.rightBarButtonItem || !navigationItem_.rightBarButtonItem->action ||
      !navigationItem_.rightBarButtonItem->enabled) {
    return false;
  }
  auto action = navigationItem_.rightBarButtonItem->action;
  action();
  return true;
}

std::shared_ptr<NavigationController> NavigationController::withRoot(std::shared_ptr<ViewController> root) {
  auto navigation = std::make_shared<NavigationController>();
  if (root) {
    root->navigation_ = navigation;
    navigation->stack_.push_back(std::move(root));
  }
  return navigation;
}

std::shared_ptr<ViewController> NavigationController::rootViewController() const {
  return stack_.empty() ? nullptr : stack_.front();
}

std::shared_ptr<ViewController> NavigationController::topViewController() const {
  return stack_.empty() ? nullptr : stack_.back();
}

StatusBarStyle NavigationController::preferredStatusBarStyle() const {
  auto top = topViewController();
  if (!barHidden_) return StatusBarStyle::Default;
  return top ? top->preferredStatusBarStyle() : ViewController::preferredStatusBarStyle();
}

void NavigationController::setTintColor(const Color& color) { tint_ = color; }

bool NavigationController::prefersStatusBarHidden() const {
  auto top = topViewController();
  return top ? top->prefersStatusBarHidden() : ViewController::prefersStatusBarHidden();
}

void NavigationController::viewDidLoad() {
  bar_ = std::make_shared<View>();
  bar_->setBackgroundColor(colorWithHexString("f7f7f7"));
  showTop();
}

void NavigationController::viewWillLayoutSubviews() {
  // A turned container lays the bar and the top screen out again.
  if (bar_ && view()->bounds().size() != laidOutSize_) showTop();
}

void NavigationController::setNavigationBarHidden(bool hidden) {
  barHidden_ = hidden;
  if (isViewLoaded()) showTop();
}

void NavigationController::setBarBackgroundImage(std::optional<Image> image) {
  barBackground_ = std::move(image);
  if (isViewLoaded()) showTop();
}

void NavigationController::setBarShadowImage(std::optional<Image> image) {
  barShadow_ = std::move(image);
  if (isViewLoaded()) showTop();
}

// The top controller's view under the bar, and the bar showing its item.
void NavigationController::showTop() {
  auto container = view();
  Rect b = container->bounds();
  laidOutSize_ = b.size();
  // In landscape the bar is lower and the status bar gone.
  const bool landscape = b.width > b.height;
  const double fullBar = landscape ? kLandscapeBarHeight : kBarHeight;
  const double itemY = landscape ? 0 : kStatusBarHeight;
  const double itemHeight = fullBar - itemY;
  for (auto& controller : stack_) {
    if (controller != topViewController() && controller->isViewLoaded()) controller->view()->removeFromSuperview();
  }
  auto top = topViewController();
  double barHeight = barHidden_ ? 0 : fullBar;
  if (top) {
    auto v = top->view();
    if (top->extendsUnderNavigationBar()) barHeight = 0;
    v->setFrame({0, barHeight, b.width, b.height - barHeight});
    if (v->superview() != container) container->insertSubview(v, 0);
  }
  for (auto& child : std::vector<std::shared_ptr<View>>(bar_->subviews())) child->removeFromSuperview();
  bar_->setFrame({0, 0, b.width, fullBar});
  bar_->setHidden(barHidden_);
  if (bar_->superview() != container) container->addSubview(bar_);
  if (barBackground_) {
    auto background = std::make_shared<ImageView>(Rect{0, 0, b.width, fullBar});
    background->setImage(barBackground_);
    bar_->addSubview(background);
  }
  if (barShadow_) {
    auto shadow = std::make_shared<ImageView>(Rect{0, fullBar, b.width, barShadow_->size().height});
    shadow->setImage(barShadow_);
    bar_->addSubview(shadow);
  }
  if (!top) return;
  // A bar item is as wide as its title or picture (with a little room on
  // each side, and never narrower than a finger); a view of the screen's
  // own keeps its size. The title keeps clear of both.
  const auto itemWidth = [](const std::optional<BarButtonItem>& item) -> double {
    if (!item) return 0;
    if (item->customView) return item->customView->frame().width;
    const double content = item->image ? item->image->size().width
                                       : TextMeasurer::current()->measure(item->title, kBarItemFont, 0, 1).width;
    return std::max(kBarItemMinimumWidth, std::ceil(content) + 2 * kBarItemPadding);
  };
  const auto& leftItem = top->navigationItem().leftBarButtonItem;
  const auto& rightItem = top->navigationItem().rightBarButtonItem;
  const double leftWidth = itemWidth(leftItem);
  const double rightWidth = itemWidth(rightItem);
  const auto extent = [](const std::optional<BarButtonItem>& item, double width) {
    return item ? (item->customView ? kBarItemMargin : kBarItemEdge) + width : 0;
  };
  std::shared_ptr<BackBarButton> back;
  if (!leftItem && stack_.size() > 1) back = addBackButton(itemY, itemHeight);
  const double titleInset = std::max({kBarTitleInset, extent(leftItem, leftWidth), extent(rightItem, rightWidth),
                                      back ? back->frame().maxX() : 0.0});
  if (auto titleView = top->navigationItem().titleView) {
    Rect f = titleView->frame();
    titleView->setFrame({(b.width - f.width) / 2, itemY + (itemHeight - f.height) / 2, f.width, f.height});
    bar_->addSubview(titleView);
  } else {
    auto title = std::make_shared<Label>(Rect{titleInset, itemY, std::max(0.0, b.width - 2 * titleInset), itemHeight});
    title->setText(top->navigationItem().title);
    title->setFont(Font::boldSystemFont(17));
    title->setTextAlignment(TextAlignment::Center);
    bar_->addSubview(title);
  }
  std::weak_ptr<ViewController> weakTop = top;
  auto addItem = [&](const std::optional<BarButtonItem>& item, bool left) {
    if (!item) return;
    if (item->customView) {
      Rect f = item->customView->frame();
      item->customView->setFrame(
          {left ? kBarItemMargin : b.width - kBarItemMargin - f.width, itemY + (itemHeight - f.height) / 2, f.width,
           f.height});
      bar_->addSubview(item->customView);
      return;
    }
    const double width = left ? leftWidth : rightWidth;
    auto button = std::make_shared<Button>(Rect{left ? kBarItemEdge : b.width - kBarItemEdge - width, itemY, width, itemHeight});
    if (item->image) {
      button->setImage(item->image);
    } else {
      button->setTitle(item->title);
    }
    button->titleLabel()->setFont(kBarItemFont);
    button->setTitleColor(tint_);
    // A disabled item is drawn faded, title and picture alike.
    button->setTitleColor(tint_.withAlpha(tint_.alpha * Button::kDisabledImageAlpha), ControlState::Disabled);
    button->setEnabled(item->enabled);
    button->setAction([weakTop, left] {
      if (auto controller = weakTop.lock()) left ? controller->tapLeftBarButton() : controller->tapRightBarButton();
    });
    bar_->addSubview(button);
  };
  addItem(leftItem, true);
  addItem(rightItem, false);
}

// A pushed screen without a left item of its own can always go back.
std::shared_ptr<BackBarButton> NavigationController::addBackButton(double y, double height) {
  auto button = std::make_shared<BackBarButton>(kBarItemEdge, y, height);
  button->setTitleColor(tint_);
  std::weak_ptr<NavigationController> weak = std::static_pointer_cast<NavigationController>(shared_from_this());
  button->setAction([weak] {
    if (auto navigation = weak.lock()) navigation->popViewController(true);
  });
  bar_->addSubview(button);
  return button;
}

void NavigationController::pushViewController(const std::shared_ptr<ViewController>& controller, bool animated) {
  if (!controller) return;
  auto previous = topViewController();
  controller->navigation_ = std::static_pointer_cast<NavigationController>(shared_from_this());
  stack_.push_back(controller);
  if (isViewLoaded()) showTop();
  if (isVisible()) {
    if (previous) previous->disappear(animated);
    controller->appear(animated);
    Screen::main().followFrontScreen();
  }
}

std::shared_ptr<ViewController> NavigationController::popViewController(bool animated) {
  auto popped = popTop(animated);
  if (popped && isVisible()) Screen::main().followFrontScreen();
  return popped;
}

std::shared_ptr<ViewController> NavigationController::popTop(bool animated) {
  if (stack_.size() < 2) return nullptr;
  auto popped = stack_.back();
  stack_.pop_back();
  if (popped->isViewLoaded()) popped->view()->removeFromSuperview();
  if (isViewLoaded()) showTop();
  if (isVisible()) {
    popped->disappear(animated);
    topViewController()->appear(animated);
  }
  popped->navigation_.reset();
  return popped;
}

void NavigationController::popToRootViewController(bool animated) {
  if (stack_.size() > 1) popToViewController(stack_.front(), animated);
}

// The screens between go without the interface following each of them.
void NavigationController::popToViewController(const std::shared_ptr<ViewController>& controller, bool animated) {
  if (std::find(stack_.begin(), stack_.end(), controller) == stack_.end() || topViewController() == controller) {
    return;
  }
  while (topViewController() != controller) popTop(animated);
  if (isVisible()) Screen::main().followFrontScreen();
}

void NavigationController::appear(bool animated) {
  ViewController::appear(animated);
  if (auto top = topViewController()) top->appear(animated);
}

void NavigationController::disappear(bool animated) {
  if (auto top = topViewController()) top->disappear(animated);
  ViewController::disappear(animated);
}

}  // namespace platform::ui
