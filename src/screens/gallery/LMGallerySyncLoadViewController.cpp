#include "screens/gallery/LMGallerySyncLoadViewController.h"

#include <algorithm>
#include <limits>

#include "platform/ui/Color.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/Resources.h"
#include "platform/ui/TextMeasurer.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
// Room for the pulse at its widest (radius 130), centred 120 points below
// the top of the rings' place.
constexpr double kRingsSide = 300;
constexpr double kRingsCentre = 120;
constexpr double kButtonWidth = 165;
constexpr double kButtonHeight = 50;
}  // namespace

void styleGalleryButton(LMCustomButton& button, const std::string& titleKey) {
  button.setImage(ui::Image::imageNamed("同步按钮"), ui::ControlState::Normal);
  button.setImage(ui::Image::imageNamed("同步按钮按下"), ui::ControlState::Highlighted);
  button.setImage(ui::Image::imageNamed("同步按钮无效"), ui::ControlState::Disabled);
  button.setImageRect({0, 0, 165, 50});
  const std::string title = ui::localizedString(titleKey);
  button.setTitle(title);
  button.setTitleColor(ui::colorWithHexString("278ff0"));
  const ui::Size size = ui::TextMeasurer::current()->measure(title, ui::Font::systemFont(18),
                                                             std::numeric_limits<double>::max(), 1);
  button.setTitleRect({(165 - size.width) / 2, (50 - size.height) / 2, size.width, size.height});
}

void LMGallerySyncLoadViewController::loadView() {
  auto root = std::make_shared<ui::View>(ui::Screen::main().bounds());
  animationView = LMSyncAnimationView::create({0, 0, kRingsSide, kRingsSide});
  root->addSubview(animationView);
  processLabel = std::make_shared<LMProcessLabel>();
  processLabel->awakeFromNib();
  processLabel->setFont(ui::Font::systemFont(34));
  processLabel->setTextColor(ui::Color::white());
  processLabel->setTextAlignment(ui::TextAlignment::Center);
  root->addSubview(processLabel);
  arrowImageView = std::make_shared<ui::ImageView>();
  arrowImageView->setImage(ui::Image::imageNamed("云相册下载成功"));
  root->addSubview(arrowImageView);
  photoNumLabel = std::make_shared<LMProcessLabel>();
  photoNumLabel->awakeFromNib();
  photoNumLabel->setFont(ui::Font::systemFont(13));
  photoNumLabel->setTextColor(ui::Color::white());
  photoNumLabel->setTextAlignment(ui::TextAlignment::Center);
  root->addSubview(photoNumLabel);
  statusLabel = std::make_shared<ui::Label>();
  statusLabel->setFont(ui::Font::systemFont(15));
  statusLabel->setTextColor(ui::Color::white());
  statusLabel->setTextAlignment(ui::TextAlignment::Center);
  root->addSubview(statusLabel);
  linkLabel = std::make_shared<LMGalleryLinkLabel>();
  linkLabel->setTextAlignment(ui::TextAlignment::Center);
  linkLabel->setUserInteractionEnabled(true);
  root->addSubview(linkLabel);
  finishSyncButton = LMCustomButton::create({0, 0, kButtonWidth, kButtonHeight});
  cancelSyncButton = LMCustomButton::create({0, 0, kButtonWidth, kButtonHeight});
  root->addSubview(finishSyncButton);
  root->addSubview(cancelSyncButton);
  setView(root);
  viewWillLayoutSubviews();
  for (const auto& [name, outlet] :
       std::vector<std::pair<std::string, std::shared_ptr<ui::View>>>{{"processLabel", processLabel},
                                                                      {"photoNumLabel", photoNumLabel},
                                                                      {"statusLabel", statusLabel},
                                                                      {"linkLabel", linkLabel},
                                                                      {"finishSyncButton", finishSyncButton},
                                                                      {"cancelSyncButton", cancelSyncButton}}) {
    setOutlet(name, outlet);
  }
}

// Laid out by the view's own size (the page's, under the bar): the rings
// from 60 points down with the percentage in them, the photo's line, the
// status line and the link below, the buttons 40 points above the bottom.
// Where that does not fit (480 points) the rings rise by up to 50 points
// and the buttons come nearer the bottom, so that no line sits under them.
void LMGallerySyncLoadViewController::viewWillLayoutSubviews() {
  const ui::Rect bounds = view()->bounds();
  const double width = bounds.width;
  constexpr double kTextBottom = 334;  // the link line's bottom, from the rings' top
  double top = 60;
  double buttonY = bounds.height - kButtonHeight - 40;
  const double missing = top + kTextBottom + 8 - buttonY;
  if (missing > 0) {
    const double rise = std::min(missing, 50.0);
    top -= rise;
    buttonY = std::min(buttonY + missing - rise, bounds.height - kButtonHeight - 14);
  }
  animationView->setFrame({(width - kRingsSide) / 2, top + kRingsCentre - kRingsSide / 2, kRingsSide, kRingsSide});
  processLabel->setFrame({0, top + 90, width, 40});
  arrowImageView->setFrame({(width - 60) / 2, top + 90, 60, 60});
  photoNumLabel->setFrame({20, top + 260, width - 40, 20});
  statusLabel->setFrame({20, top + 285, width - 40, 22});
  linkLabel->setFrame({20, top + 312, width - 40, 22});
  for (const auto& button : {finishSyncButton, cancelSyncButton}) {
    button->setFrame({(width - kButtonWidth) / 2, buttonY, kButtonWidth, kButtonHeight});
  }
}

void LMGallerySyncLoadViewController::viewDidLoad() {
  ViewController::viewDidLoad();
  isStop_ = true;
  isCancel_ = false;
  isProcessFinish_ = true;
  animationFinishNum_ = 0;
  processLabel->setProgress(0);
  photoNumLabel->setText("");
  arrowImageView->setAlpha(0);
  successBlock_ = nullptr;
  failBlock_ = nullptr;
  view()->setBackgroundColor(ui::colorWithHexString("278ff0"));
  statusLabel->setBackgroundColor(ui::colorWithHexString("278ff0"));
  auto self = std::static_pointer_cast<LMGallerySyncLoadViewController>(shared_from_this());
  animationView->setDelegate(std::static_pointer_cast<LMSyncAnimationViewDelegate>(self));
  processLabel->setDelegate(std::static_pointer_cast<LMProcessLabelDelegate>(self));
  std::weak_ptr<LMGallerySyncLoadViewController> weak = self;
  styleGalleryButton(*finishSyncButton, "完成");
  finishSyncButton->setAction([weak] {
    if (auto screen = weak.lock()) screen->finishSyncButtonPressed();
  });
  styleGalleryButton(*cancelSyncButton, "停止备份");
  cancelSyncButton->setAction([weak] {
    if (auto screen = weak.lock()) screen->cancelSyncButtonPressed();
  });
  finishSyncButton->setHidden(true);
  cancelSyncButton->setHidden(true);
}

void LMGallerySyncLoadViewController::beginSyncAnimation() {
  loadViewIfNeeded();
  isCancel_ = false;
  if (!isStop_) return;
  successBlock_ = nullptr;
  failBlock_ = nullptr;
  isStop_ = false;
  animationFinishNum_ = 0;
  arrowImageView->setAlpha(0);
  processLabel->setProgress(0);
  processLabel->setHidden(false);
  isProcessFinish_ = false;
  photoNumLabel->setText("");
  statusLabel->setHidden(false);
  statusLabel->setAlpha(1);
  statusLabel->setText(ui::localizedString("正在获取云端信息"));
  linkLabel->setText("");
  linkLabel->setHidden(true);
  finishSyncButton->setHidden(true);
  cancelSyncButton->setHidden(false);
  animationView->startSyncAnimation();
}

void LMGallerySyncLoadViewController::endSyncAnimationWithSuccess(std::function<void()> success,
                                                                  std::function<void()> fail) {
  successBlock_ = std::move(success);
  failBlock_ = std::move(fail);
  isStop_ = true;
  isProcessFinish_ = true;
}

void LMGallerySyncLoadViewController::cancelSyncAnimation() {
  finishSyncButtonPressed();
  isStop_ = true;
  isCancel_ = true;
  isProcessFinish_ = true;
}

void LMGallerySyncLoadViewController::finishSyncButtonPressed() {
  if (isViewLoaded()) {
    view()->setHidden(true);
    finishSyncButton->setHidden(true);
  }
  auto delegate = delegate_.lock();
  if (delegate && delegate->didSyncLoadViewControllerCompleted) delegate->didSyncLoadViewControllerCompleted(*this);
}

void LMGallerySyncLoadViewController::cancelSyncButtonPressed() {
  auto delegate = delegate_.lock();
  if (delegate && delegate->didSyncLoadViewControllerCancelled) delegate->didSyncLoadViewControllerCancelled(*this);
}

void LMGallerySyncLoadViewController::processAnimationDidFinish() { isProcessFinish_ = true; }

void LMGallerySyncLoadViewController::syncAnimationDidFinish() {
  if (animationFinishNum_++ != 0) return;
  if (!isProcessFinish_ || !isStop_) {
    animationFinishNum_ = 0;
    animationView->startSyncAnimation();
    return;
  }
  if (failBlock_) {
    auto fail = std::move(failBlock_);
    failBlock_ = nullptr;
    finishSyncButtonPressed();
    fail();
    return;
  }
  if (isCancel_) return;
  photoNumLabel->setHidden(true);
  processLabel->setHidden(true);
  statusLabel->setAlpha(0);
  statusLabel->setText(ui::localizedString("数据备份完成"));
  finishAnimationsMove(arrowImageView);
  std::weak_ptr<LMGallerySyncLoadViewController> weak =
      std::static_pointer_cast<LMGallerySyncLoadViewController>(shared_from_this());
  ui::dispatchAfter(0.2, [weak] {
    if (auto screen = weak.lock()) screen->finishAnimationsMove(screen->statusLabel);
  });
}

void LMGallerySyncLoadViewController::finishAnimationsMove(const std::shared_ptr<ui::View>& view) {
  const ui::Rect target = view->frame();
  view->setFrame({target.x, target.y + 15, target.width, target.height});
  view->setAlpha(0);
  std::weak_ptr<LMGallerySyncLoadViewController> weak =
      std::static_pointer_cast<LMGallerySyncLoadViewController>(shared_from_this());
  ui::View::animate(
      kCompletionDuration,
      [view, target] {
        view->setFrame(target);
        view->setAlpha(1);
      },
      [weak](bool) {
        if (auto screen = weak.lock()) screen->animationDidStop();
      });
}

void LMGallerySyncLoadViewController::animationDidStop() {
  if (++animationFinishNum_ < 3) return;
  animationFinishNum_ = 0;
  finishSyncButton->setHidden(false);
  cancelSyncButton->setHidden(true);
  if (auto success = std::move(successBlock_)) {
    successBlock_ = nullptr;
    success();
  }
}

}  // namespace lumora
