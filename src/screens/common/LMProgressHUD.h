// The one progress HUD of the app: a window of its own above the status bar
// (its level plus 1) with a spinner and a title while a login, logout or
// merge runs, or a download panel with a progress bar, byte count and stop
// button that ends in a short success panel. The work starts in the block of
// a show call (0.5 s fade-in plus 0.3 s later, on main-queue timers) and the
// result is shown in the block of a dismissal (after a 0.5 s fade-out; at
// once while the app is not active). Showing a second overlay replaces the
// first at once.
//
// A fade-out or success ending whose overlay was replaced meanwhile leaves
// the new overlay alone (and still runs its block).
//
// Ownership: sharedHUD() lives for the process and owns the window while an
// overlay is up. Threading: main thread. Nothing fails.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/Window.h"
#include "screens/common/LMHUDViewController.h"

namespace lumora {

class LMProgressHUD {
 public:
  using Block = std::function<void()>;

  static LMProgressHUD& sharedHUD();

  void showWithTitle(const std::string& title) { showWithTitle(title, nullptr); }
  void showWithTitle(const std::string& title, Block block) {
    showWithTitle(title, platform::ui::kOrientationMaskPortrait, std::move(block));
  }
  void showWithTitle(const std::string& title, unsigned orientations, Block block);
  void showProgressWithTitle(const std::string& title, std::int64_t fileSize, unsigned orientations,
                             Block cancelBlock, Block block);
  void showProgressWithTitle(const std::string& title, std::int64_t fileSize, unsigned orientations,
                             const std::optional<std::string>& cancelButtonTitle, Block cancelBlock, Block block);
  void setProgressWithTotalBytesRead(std::int64_t read, std::int64_t expected);
  void dismissProgressWithFileSize(std::int64_t fileSize, Block successBlock);
  void dismissWithBlock(Block block);
  void dismiss() { dismissWithBlock(nullptr); }

  const std::shared_ptr<platform::ui::Window>& window() const { return window_; }
  const std::shared_ptr<LMHUDViewController>& viewController() const { return viewController_; }
  const std::shared_ptr<LMHUDProgressViewController>& progressViewController() const { return progressViewController_; }
  platform::ui::StatusBarStyle statusBarStyle = platform::ui::StatusBarStyle::Default;

  // Tests: no overlay, as at start.
  void resetForTesting();

 private:
  LMProgressHUD() = default;
  std::shared_ptr<platform::ui::Window> newWindow();
  void fadeIn(const std::shared_ptr<platform::ui::View>& content, Block block);
  void tearDown();

  std::shared_ptr<platform::ui::Window> window_;
  std::shared_ptr<LMHUDViewController> viewController_;
  std::shared_ptr<LMHUDProgressViewController> progressViewController_;
};

}  // namespace lumora
