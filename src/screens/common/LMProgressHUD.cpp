#include "screens/common/LMProgressHUD.h"

#include "platform/app/Application.h"
#include "platform/ui/DisplayLink.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
bool hudAppIsActive() { return platform::Application::shared().applicationState() == platform::ApplicationState::Active; }

double hudTitleHeight(const std::string& title) {
  if (title.empty()) return 0;
  return ui::TextMeasurer::current()->measure(title, ui::Font::boldSystemFont(15), 160, 0).height;
}
}  // namespace

LMProgressHUD& LMProgressHUD::sharedHUD() {
  static LMProgressHUD* hud = new LMProgressHUD();
  return *hud;
}

std::shared_ptr<ui::Window> LMProgressHUD::newWindow() {
  tearDown();  // an earlier overlay goes at once, without its fade
  auto window = std::make_shared<ui::Window>(ui::Screen::main().interfaceBounds());
  window->setBackgroundColor(ui::Color::clear());
  window->setWindowLevel(ui::kWindowLevelStatusBar + 1);
  window_ = window;
  return window;
}

void LMProgressHUD::fadeIn(const std::shared_ptr<ui::View>& content, Block block) {
  ui::View::animate(
      0.5, [content] { content->setAlpha(1); },
      [block = std::move(block)](bool) {
        ui::dispatchAfter(0.3, [block] {
          if (block) block();
        });
      });
}

void LMProgressHUD::showWithTitle(const std::string& title, unsigned orientations, Block block) {
  auto window = newWindow();
  auto controller = std::make_shared<LMHUDViewController>();
  controller->statusBarStyle = statusBarStyle;
  auto content = controller->view();
  content->setBackgroundColor(ui::Color::clear());
  controller->supportedOrientations = orientations;
  window->setRootViewController(controller);
  viewController_ = controller;
  ui::Rect frame = controller->titleLabel->frame();
  controller->titleLabel->setFrame({frame.x, frame.y, frame.width, hudTitleHeight(title)});
  controller->titleLabel->setText(title);
  controller->indicatorView->startAnimating();
  window->makeKeyAndVisible();
  fadeIn(content, std::move(block));
}

void LMProgressHUD::showProgressWithTitle(const std::string& title, std::int64_t fileSize, unsigned orientations,
                                          Block cancelBlock, Block block) {
  showProgressWithTitle(title, fileSize, orientations, ui::localizedString("停止"), std::move(cancelBlock),
                        std::move(block));
}

void LMProgressHUD::showProgressWithTitle(const std::string& title, std::int64_t fileSize, unsigned orientations,
                                          const std::optional<std::string>& cancelButtonTitle, Block cancelBlock,
                                          Block block) {
  auto window = newWindow();
  auto controller = std::make_shared<LMHUDProgressViewController>();
  controller->statusBarStyle = statusBarStyle;
  auto content = controller->view();
  content->setBackgroundColor(ui::Color::clear());
  controller->supportedOrientations = orientations;
  controller->cancelBlock = std::move(cancelBlock);
  window->setRootViewController(controller);
  progressViewController_ = controller;
  ui::Rect frame = controller->titleLabel->frame();
  controller->titleLabel->setFrame({20, 25, frame.width, hudTitleHeight(title)});
  controller->titleLabel->setText(title);
  if (cancelButtonTitle && !cancelButtonTitle->empty()) controller->button->setTitle(*cancelButtonTitle);
  setProgressWithTotalBytesRead(0, fileSize);
  window->makeKeyAndVisible();
  fadeIn(content, std::move(block));
}

void LMProgressHUD::setProgressWithTotalBytesRead(std::int64_t read, std::int64_t expected) {
  if (!progressViewController_) return;
  double fraction = expected == 0 ? 0 : static_cast<double>(read) / static_cast<double>(expected);
  progressViewController_->progressView->setProgress(fraction);
  progressViewController_->processLabel->setText(LMCustomUtils::stringWithByteNum(read) + "/" +
                                                 LMCustomUtils::stringWithByteNum(expected));
}

void LMProgressHUD::dismissProgressWithFileSize(std::int64_t fileSize, Block successBlock) {
  setProgressWithTotalBytesRead(fileSize, fileSize);
  auto controller = progressViewController_;
  auto showSuccess = [controller] {
    if (!controller) return;
    controller->progressBgView->setHidden(true);
    controller->successBgView->setHidden(false);
  };
  if (!hudAppIsActive()) {
    showSuccess();
    dismissWithBlock(std::move(successBlock));
    return;
  }
  std::weak_ptr<LMHUDProgressViewController> weak = controller;
  ui::dispatchAfter(0.5, [this, weak, showSuccess, successBlock = std::move(successBlock)]() mutable {
    auto current = weak.lock();
    bool stillShown = current && current == progressViewController_;
    if (stillShown) showSuccess();
    ui::dispatchAfter(0.5, [this, weak, successBlock = std::move(successBlock)] {
      auto shown = weak.lock();
      if (shown && shown == progressViewController_) {
        dismissWithBlock(successBlock);
      } else if (successBlock) {
        successBlock();  // replaced meanwhile: the new overlay stays
      }
    });
  });
}

void LMProgressHUD::dismissWithBlock(Block block) {
  if (!hudAppIsActive()) {
    tearDown();
    if (block) block();
    return;
  }
  std::weak_ptr<ui::Window> dismissed = window_;
  auto fade = [this] {
    if (viewController_ && viewController_->isViewLoaded()) viewController_->view()->setAlpha(0);
    if (progressViewController_ && progressViewController_->isViewLoaded()) {
      progressViewController_->view()->setAlpha(0);
    }
  };
  ui::View::animate(0.5, fade, [this, dismissed, block = std::move(block)](bool) {
    // Only the overlay that faded out goes; one shown meanwhile stays.
    auto window = dismissed.lock();
    if (window && window == window_) tearDown();
    if (block) block();
  });
}

void LMProgressHUD::tearDown() {
  if (viewController_) viewController_->indicatorView->stopAnimating();
  if (window_) {
    window_->setHidden(true);
    window_->setRootViewController(nullptr);
  }
  viewController_.reset();
  progressViewController_.reset();
  window_.reset();
}

void LMProgressHUD::resetForTesting() {
  tearDown();
  statusBarStyle = ui::StatusBarStyle::Default;
}

}  // namespace lumora
