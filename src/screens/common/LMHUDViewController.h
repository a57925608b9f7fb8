// The two contents of the progress HUD's window: a spinner with a title
// (LMHUDViewController) and a download panel with title, progress bar, byte
// count, stop button and a success ending (LMHUDProgressViewController).
// Both cover the screen with 30% black and put a rounded white panel in its
// middle, however the screen is turned; both answer the status bar style and orientations they are given.
//
// Ownership: controllers made with std::make_shared, owned by the HUD's
// window. Threading: main thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/ui/Control.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "screens/common/LMCustomButton.h"
#include "screens/common/LMProgressView.h"

namespace lumora {

class LMHUDViewController : public platform::ui::ViewController {
 public:
  platform::ui::StatusBarStyle statusBarStyle = platform::ui::StatusBarStyle::Default;
  unsigned supportedOrientations = platform::ui::kOrientationMaskPortrait;

  std::shared_ptr<platform::ui::Label> titleLabel;
  std::shared_ptr<platform::ui::ActivityIndicatorView> indicatorView;
  std::shared_ptr<platform::ui::View> processView;
  std::shared_ptr<platform::ui::View> bgView;

  void loadView() override;
  void viewDidLoad() override { supportedOrientations = platform::ui::kOrientationMaskPortrait; }
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override { return statusBarStyle; }
  unsigned supportedInterfaceOrientations() const override { return supportedOrientations; }
  bool shouldAutorotate() const override { return true; }
  void viewWillLayoutSubviews() override;
};

class LMHUDProgressViewController : public platform::ui::ViewController {
 public:
  platform::ui::StatusBarStyle statusBarStyle = platform::ui::StatusBarStyle::Default;
  unsigned supportedOrientations = platform::ui::kOrientationMaskPortrait;
  std::function<void()> cancelBlock;

  std::shared_ptr<platform::ui::Label> titleLabel;
  std::shared_ptr<platform::ui::View> processView;
  std::shared_ptr<LMProgressView> progressView;
  std::shared_ptr<platform::ui::Label> processLabel;
  std::shared_ptr<platform::ui::View> bgView;
  std::shared_ptr<LMCustomButton> button;
  std::shared_ptr<platform::ui::ImageView> successImageView;
  std::shared_ptr<platform::ui::Label> successLabel;
  std::shared_ptr<platform::ui::View> progressBgView;
  std::shared_ptr<platform::ui::View> successBgView;
  std::shared_ptr<platform::ui::View> lineView;

  // The stop button's action: runs the cancel block when there is one.
  void cancel(platform::ui::Control& sender);

  void loadView() override;
  void viewDidLoad() override { supportedOrientations = platform::ui::kOrientationMaskPortrait; }
  platform::ui::StatusBarStyle preferredStatusBarStyle() const override { return statusBarStyle; }
  unsigned supportedInterfaceOrientations() const override { return supportedOrientations; }
  bool shouldAutorotate() const override { return true; }
  void viewWillLayoutSubviews() override;
};

}  // namespace lumora
