// The overlay the contacts page shows while a contact sync runs: pulsing
// rings, a percentage, a status line, and at the end a finishing sequence
// with a "完成" button. The owner drives it (beginSyncAnimation, progress
// through processLabel, texts through statusLabel, then one of
// endSyncAnimationWithSuccess or cancelSyncAnimation); the screen shows an
// end only when the current pulse is over, and holds the owner's success or
// failure reaction until then. A failure hides the screen and tells the
// delegate before the failure block runs; a success plays the rising arrow
// and status line, then shows the button and runs the success block.
//
// Ownership: a controller made with std::make_shared (the scene
// "syncLoadViewController" lays its views out); the owner keeps it for the
// next run. The screen owns its views; its delegate is held weakly.
// Threading: main thread; the pulse, the percentage and the end sequence run
// on main-queue timers of the platform clock. Nothing fails.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "screens/common/LMCustomButton.h"
#include "screens/common/LMProcessLabel.h"
#include "screens/common/LMSyncAnimationView.h"
#include "screens/common/LMSyncLoadViewControllerDelegate.h"

namespace lumora {

class LMSyncLoadViewController : public platform::ui::ViewController,
                                 public LMSyncAnimationViewDelegate,
                                 public LMProcessLabelDelegate {
 public:
  using Block = std::function<void()>;
  static constexpr const char* kSceneIdentifier = "syncLoadViewController";
  // How far the arrow and the status line rise, and how long they take.
  static constexpr double kFinishRise = 15;
  static constexpr double kFinishDuration = 0.5;
  static constexpr double kStatusDelay = 0.2;

  // The sync buttons' look (this screen's "完成" and the contacts page's
  // "立即同步"): the button images in a 165 x 50 rectangle, the title of
  // `titleKey` in an 18-point font in "278ff0", centred in that rectangle.
  static void styleSyncButton(LMCustomButton& button, const std::string& titleKey);

  void loadView() override;
  void viewDidLoad() override;
  void viewWillLayoutSubviews() override;

  const std::shared_ptr<LMProcessLabel>& processLabel() const { return processLabel_; }
  const std::shared_ptr<platform::ui::Label>& statusLabel() const { return statusLabel_; }
  const std::shared_ptr<LMSyncAnimationView>& animationView() const { return animationView_; }
  const std::shared_ptr<platform::ui::ImageView>& arrowImageView() const { return arrowImageView_; }
  const std::shared_ptr<LMCustomButton>& finishSyncButton() const { return finishSyncButton_; }
  std::shared_ptr<LMSyncLoadViewControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<LMSyncLoadViewControllerDelegate> delegate) { delegate_ = std::move(delegate); }

  void beginSyncAnimation();
  // Either block may be empty; both replace earlier ones.
  void endSyncAnimationWithSuccess(Block success, Block fail);
  void cancelSyncAnimation();
  void finishSyncButtonPressed();

  void syncAnimationDidFinish() override;
  void processAnimationDidFinish() override;
  // Each finished (or replaced) piece of the end sequence.
  void animationDidStop(bool finished);
  // Moves `view` kFinishRise points down and invisible, then back into place
  // while it fades in; animationDidStop follows.
  void finishAnimationsMoveFrom(const std::shared_ptr<platform::ui::View>& view);

  bool isStop() const { return isStop_; }
  bool isCancel() const { return isCancel_; }
  bool isProcessFinish() const { return isProcessFinish_; }

 private:
  std::shared_ptr<LMProcessLabel> processLabel_;
  std::shared_ptr<platform::ui::Label> statusLabel_;
  std::shared_ptr<LMSyncAnimationView> animationView_;
  std::shared_ptr<platform::ui::ImageView> arrowImageView_;
  std::shared_ptr<LMCustomButton> finishSyncButton_;
  std::weak_ptr<LMSyncLoadViewControllerDelegate> delegate_;
  bool isStop_ = true;
  bool isCancel_ = false;
  bool isProcessFinish_ = true;
  unsigned animationFinishNum_ = 0;
  Block successBlock_;
  Block failBlock_;
};

}  // namespace lumora
