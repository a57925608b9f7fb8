#include "screens/contacts/LMSyncLoadViewController.h"

#include "platform/ui/DisplayLink.h"
#include "platform/ui/Resources.h"
#include "platform/ui/TextMeasurer.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

constexpr double kSyncButtonWidth = 165;
constexpr double kSyncButtonHeight = 50;
constexpr double kRingsSide = 300;
// As the contacts page's own button: 130 above the screen's bottom, under
// the 64-point bar.
constexpr double kFinishBottomMargin = 16;

}  // namespace

void LMSyncLoadViewController::styleSyncButton(LMCustomButton& button, const std::string& titleKey) {
  button.setImage(ui::Image::imageNamed("同步按钮.png"), ui::ControlState::Normal);
  button.setImage(ui::Image::imageNamed("同步按钮按下.png"), ui::ControlState::Highlighted);
  button.setImage(ui::Image::imageNamed("同步按钮无效.png"), ui::ControlState::Disabled);
  const std::string title = ui::localizedString(titleKey);
  const ui::Font font = ui::Font::systemFont(18);
  button.setTitle(title);
  button.titleLabel()->setFont(font);
  button.setTitleColor(ui::colorWithHexString("278ff0"), ui::ControlState::Normal);
  button.setImageRect({0, 0, kSyncButtonWidth, kSyncButtonHeight});
  const ui::Size size = ui::TextMeasurer::current()->measure(title, font, 0, 0);
  button.setTitleRect({(kSyncButtonWidth - size.width) / 2, kSyncButtonHeight / 2 - size.height / 2, size.width,
                       size.height});
}

// The scene: the rings in the upper middle with the percentage and the arrow
// in their centre, the status line below them, the button near the bottom
// (laid out by viewWillLayoutSubviews).
void LMSyncLoadViewController::loadView() {
  const ui::Rect screen = ui::Screen::main().bounds();
  auto root = std::make_shared<ui::View>(ui::Rect{0, 0, screen.width, screen.height});
  animationView_ = LMSyncAnimationView::create({0, 0, kRingsSide, kRingsSide});
  animationView_->awakeFromNib();
  root->addSubview(animationView_);

  processLabel_ = std::make_shared<LMProcessLabel>();
  processLabel_->setFont(ui::Font::systemFont(44));
  processLabel_->setTextColor(ui::Color::white());
  processLabel_->setTextAlignment(ui::TextAlignment::Center);
  processLabel_->awakeFromNib();
  root->addSubview(processLabel_);

  arrowImageView_ = std::make_shared<ui::ImageView>();
  arrowImageView_->setImage(ui::Image::imageNamed("同步完成.png"));
  root->addSubview(arrowImageView_);

  statusLabel_ = std::make_shared<ui::Label>();
  statusLabel_->setFont(ui::Font::systemFont(16));
  statusLabel_->setTextColor(ui::Color::white());
  statusLabel_->setTextAlignment(ui::TextAlignment::Center);
  root->addSubview(statusLabel_);

  finishSyncButton_ = std::make_shared<LMCustomButton>();
  root->addSubview(finishSyncButton_);

  setView(root);
  viewWillLayoutSubviews();
  setOutlet("processLabel", processLabel_);
  setOutlet("statusLabel", statusLabel_);
  setOutlet("animationView", animationView_);
  setOutlet("arrowImageView", arrowImageView_);
  setOutlet("finishSyncButton", finishSyncButton_);
}

// Laid out by the view's own size, which the page gives it (the page's
// height, not the screen's): the button sits where the page's own
// "立即同步" does, inside the page.
void LMSyncLoadViewController::viewWillLayoutSubviews() {
  const ui::Rect bounds = view()->bounds();
  const double centreX = bounds.width / 2;
  const double centreY = bounds.height * 0.4;
  animationView_->setFrame({centreX - kRingsSide / 2, centreY - kRingsSide / 2, kRingsSide, kRingsSide});
  processLabel_->setFrame({centreX - 100, centreY - 30, 200, 60});
  arrowImageView_->setFrame({centreX - 30, centreY - 30, 60, 60});
  statusLabel_->setFrame({20, centreY + kRingsSide / 2 + 10, bounds.width - 40, 24});
  finishSyncButton_->setFrame({centreX - kSyncButtonWidth / 2, bounds.height - kSyncButtonHeight - kFinishBottomMargin,
                               kSyncButtonWidth, kSyncButtonHeight});
}

void LMSyncLoadViewController::viewDidLoad() {
  ViewController::viewDidLoad();
  isStop_ = true;
  isCancel_ = false;
  isProcessFinish_ = true;
  animationFinishNum_ = 0;
  view()->setBackgroundColor(ui::colorWithHexString("278ff0"));
  auto self = std::static_pointer_cast<LMSyncLoadViewController>(shared_from_this());
  animationView_->setDelegate(std::weak_ptr<LMSyncAnimationViewDelegate>(self));
  processLabel_->setDelegate(std::weak_ptr<LMProcessLabelDelegate>(self));
  processLabel_->setProgress(0);
  styleSyncButton(*finishSyncButton_, "完成");
  std::weak_ptr<LMSyncLoadViewController> weak = self;
  finishSyncButton_->setAction([weak] {
    if (auto screen = weak.lock()) screen->finishSyncButtonPressed();
  });
  finishSyncButton_->setHidden(true);
}

void LMSyncLoadViewController::beginSyncAnimation() {
  loadViewIfNeeded();
  isCancel_ = false;
  if (!isStop_) return;
  successBlock_ = nullptr;
  failBlock_ = nullptr;
  isStop_ = false;
  animationFinishNum_ = 0;
  arrowImageView_->setAlpha(0);
  processLabel_->setProgress(0);
  processLabel_->setHidden(false);
  isProcessFinish_ = false;
  statusLabel_->setText(ui::localizedString("正在同步数据"));
  finishSyncButton_->setHidden(true);
  animationView_->startSyncAnimation();
}

void LMSyncLoadViewController::endSyncAnimationWithSuccess(Block success, Block fail) {
  isStop_ = true;
  isProcessFinish_ = true;
  successBlock_ = std::move(success);
  failBlock_ = std::move(fail);
}

void LMSyncLoadViewController::cancelSyncAnimation() {
  finishSyncButtonPressed();
  isStop_ = true;
  isCancel_ = true;
  isProcessFinish_ = true;
}

void LMSyncLoadViewController::finishSyncButtonPressed() {
  view()->setHidden(true);
  finishSyncButton_->setHidden(true);
  auto listener = delegate();
  if (listener && listener->didSyncLoadViewControllerCompleted) listener->didSyncLoadViewControllerCompleted(*this);
}

void LMSyncLoadViewController::syncAnimationDidFinish() {
  if (animationFinishNum_++ != 0) return;  // the end sequence is under way
  if (!(isProcessFinish_ && isStop_)) {
    animationFinishNum_ = 0;
    animationView_->startSyncAnimation();
    return;
  }
  if (failBlock_) {
    // Taken first: the block may start the next run, which drops the blocks.
    Block fail = std::move(failBlock_);
    failBlock_ = nullptr;
    finishSyncButtonPressed();
    fail();
    return;
  }
  if (isCancel_) return;

  processLabel_->setHidden(true);
  statusLabel_->setAlpha(0);
  statusLabel_->setText(ui::localizedString("数据同步完成"));
  std::weak_ptr<LMSyncLoadViewController> weak = std::static_pointer_cast<LMSyncLoadViewController>(shared_from_this());
  ui::dispatchAfter(kStatusDelay, [weak] {
    if (auto screen = weak.lock()) screen->finishAnimationsMoveFrom(screen->statusLabel_);
  });
  finishAnimationsMoveFrom(arrowImageView_);
}

void LMSyncLoadViewController::processAnimationDidFinish() { isProcessFinish_ = true; }

void LMSyncLoadViewController::finishAnimationsMoveFrom(const std::shared_ptr<ui::View>& target) {
  const ui::Rect place = target->frame();
  target->removeAllAnimations();
  target->setFrame({place.x, place.y + kFinishRise, place.width, place.height});
  target->setAlpha(0);
  std::weak_ptr<LMSyncLoadViewController> weak = std::static_pointer_cast<LMSyncLoadViewController>(shared_from_this());
  ui::View::animate(
      kFinishDuration,
      [&] {
        target->setFrame(place);
        target->setAlpha(1);
      },
      [weak](bool finished) {
        if (auto screen = weak.lock()) screen->animationDidStop(finished);
      });
}

void LMSyncLoadViewController::animationDidStop(bool) {
  if (++animationFinishNum_ < 3) return;
  animationFinishNum_ = 0;
  finishSyncButton_->setHidden(false);
  if (successBlock_) {
    Block success = std::move(successBlock_);
    successBlock_ = nullptr;
    success();
  }
}

}  // namespace lumora
