// The two-button bar of the album grid and the photo browser: "删除" on the
// left (index 0) and "下载" on the right (index 1), split by a thin divider
// whose inset follows the screen size. A press goes to the delegate with the
// button's index; a disabled bar greys both buttons and sends nothing.
//
// Ownership: a view (create()); the delegate is held weakly. Threading: main
// thread. Nothing here fails.
#pragma once

#include <memory>

#include "screens/common/LMCustomButton.h"

namespace lumora {

class LMGalleryToolBarDelegate {
 public:
  virtual ~LMGalleryToolBarDelegate() = default;
  virtual void didPressGalleryToolBarButton(platform::ui::Button& button, unsigned index) = 0;
};

class LMGalleryToolBar : public platform::ui::View {
 public:
  static constexpr unsigned kDeleteIndex = 0;
  static constexpr unsigned kDownloadIndex = 1;

  using View::View;
  static std::shared_ptr<LMGalleryToolBar> create(const platform::ui::Rect& frame = {});

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);
  void setDelegate(std::weak_ptr<LMGalleryToolBarDelegate> delegate) { delegate_ = std::move(delegate); }
  double dividerInset() const { return inset_; }

  const std::shared_ptr<platform::ui::View>& divideView() const { return divideView_; }
  const std::shared_ptr<LMCustomButton>& deleteButton() const { return deleteButton_; }
  const std::shared_ptr<LMCustomButton>& downloadButton() const { return downloadButton_; }

  void layoutSubviews() override;

 private:
  void interfaceInitialize();
  void buttonPressed(platform::ui::Control& sender);

  double inset_ = 0;
  bool enabled_ = true;
  std::weak_ptr<LMGalleryToolBarDelegate> delegate_;
  std::shared_ptr<platform::ui::View> divideView_;
  std::shared_ptr<LMCustomButton> deleteButton_;
  std::shared_ptr<LMCustomButton> downloadButton_;
};

}  // namespace lumora
