#include "screens/gallery/LMGallerySyncLoadViewController.h"

#include <limits>

#include "platform/ui/Color.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/Resources.h"
#include "platform/ui/TextMeasurer.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

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
  const ui::Rect bounds = ui::Screen::main().bounds();
  auto root = std::make_shared<ui::View>(bounds);
  const double width = bounds.width;
  animationView = LMSyncAnimationView::create({(width - 240) / 2, 60, 240, 240});
  root->addSubview(animationView);
  processLabel = std::make_shared<LMProcessLabel>(ui::Rect{0, 150, width, 40});
  processLabel->awakeFromNib();
  processLabel->setFont(ui::Font::systemFont(34));
  processLabel->setTextColor(ui::Color::white());
  processLabel->setTextAlignment(ui::TextAlignment::Center);
  root->addSubview(processLabel);
  arrowImageView = std::make_shared<ui::ImageView>(ui::Rect{(width - 60) / 2, 150, 60, 60});
  arrowImageView->setImage(ui::Image::imageNamed("云相册下载成功"));
  root->addSubview(arrowImageView);
  photoNumLabel = std::make_shared<LMProcessLabel>(ui::Rect{20, 320, width - 40, 20});
  photoNumLabel->awakeFromNib();
  photoNumLabel->setFont(ui::Font::systemFont(13));
  photoNumLabel->setTextColor(ui::Color::white());
  photoNumLabel->setTextAlignment(ui::TextAlignment::Center);
  root->addSubview(photoNumLabel);
  statusLabel = std::make_shared<ui::Label>(ui::Rect{20, 345, width - 40, 22});
  statusLabel->setFont(ui::Font::systemFont(15));
  statusLabel->setTextColor(ui::Color::white());
  statusLabel->setTextAlignment(ui::TextAlignment::Center);
  root->addSubview(statusLabel);
  linkLabel = std::make_shared<LMGalleryLinkLabel>(ui::Rect{20, 372, width - 40, 22});
  linkLabel->setTextAlignment(ui::TextAlignment::Center);
  linkLabel->setUserInteractionEnabled(true);
  root->addSubview(linkLabel);
  const double buttonY = bounds.height - 64 - 50 - 40;
  finishSyncButton = LMCustomButton::create({(width - 165) / 2, buttonY, 165, 50});
  cancelSyncButton = LMCustomButton::create({(width - 165) / 2, buttonY, 165, 50});
  root->addSubview(finishSyncButton);
  root->addSubview(cancelSyncButton);
  setView(root);
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
