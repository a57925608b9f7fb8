// The gallery backup's progress screen, laid over the backup page while a
// user-started backup runs: a looping sync pulse, the overall percentage,
// the per-photo percentage (prefixed with the file name), a status line, a
// stop button during the run and a finish button at its end. The end of a
// run takes effect when the pulse finishes its current cycle: a failure
// hides the screen and runs the failure block; a success plays the
// completion animation (arrow and status line rising into place) and then
// runs the success block and shows "完成".
//
// Ownership: made by its scene (std::make_shared); the page keeps it. The
// delegate is held weakly; the blocks are owned until the next run.
// Threading: main thread. Nothing fails.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"
#include "screens/common/LMCustomButton.h"
#include "screens/common/LMProcessLabel.h"
#include "screens/common/LMSyncAnimationView.h"
#include "screens/common/LMSyncLoadViewControllerDelegate.h"
#include "screens/gallery/LMGalleryLinkLabel.h"

namespace lumora {

class LMGallerySyncLoadViewController : public platform::ui::ViewController,
                                        public LMSyncAnimationViewDelegate,
                                        public LMProcessLabelDelegate {
 public:
  static constexpr const char* kSceneIdentifier = "gallerySyncLoadViewController";
  static constexpr double kCompletionDuration = 0.5;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillLayoutSubviews() override;

  void beginSyncAnimation();
  void endSyncAnimationWithSuccess(std::function<void()> success, std::function<void()> fail);
  void cancelSyncAnimation();
  void finishSyncButtonPressed();
  void cancelSyncButtonPressed();
  void syncAnimationDidFinish() override;
  void processAnimationDidFinish() override;
  void animationDidStop();

  void setDelegate(std::weak_ptr<LMSyncLoadViewControllerDelegate> delegate) { delegate_ = std::move(delegate); }

  bool isStop() const { return isStop_; }
  bool isCancel() const { return isCancel_; }
  bool isProcessFinish() const { return isProcessFinish_; }

  // Outlets.
  std::shared_ptr<LMProcessLabel> processLabel;
  std::shared_ptr<LMProcessLabel> photoNumLabel;
  std::shared_ptr<platform::ui::Label> statusLabel;
  std::shared_ptr<LMGalleryLinkLabel> linkLabel;
  std::shared_ptr<LMSyncAnimationView> animationView;
  std::shared_ptr<platform::ui::ImageView> arrowImageView;
  std::shared_ptr<LMCustomButton> finishSyncButton;
  std::shared_ptr<LMCustomButton> cancelSyncButton;

 private:
  // The view rises from 15 points below into place while it fades in.
  void finishAnimationsMove(const std::shared_ptr<platform::ui::View>& view);

  bool isStop_ = true;
  bool isCancel_ = false;
  bool isProcessFinish_ = true;
  std::uint64_t animationFinishNum_ = 0;
  std::function<void()> successBlock_;
  std::function<void()> failBlock_;
  std::weak_ptr<LMSyncLoadViewControllerDelegate> delegate_;
};

// The backup button look shared by the page and this screen: the three
// state images, the picture rectangle and the centred title.
void styleGalleryButton(LMCustomButton& button, const std::string& titleKey);

}  // namespace lumora
