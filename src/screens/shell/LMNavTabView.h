// The two-tab switch in the root container's navigation bar: "联系人同步"
// on the left, "照片备份" on the right, over a picture of the whole switch
// with the selected half marked (one picture per selected side, sized for
// the screen's height: none, and no size, on a screen of another height).
// A touch down on a half selects it; a change of the selected tab is told
// to the delegate.
//
// Ownership: a view made with create(); the delegate is held weakly.
// Threading: main thread. Nothing fails.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/ui/Control.h"
#include "platform/ui/Image.h"
#include "platform/ui/Label.h"
#include "platform/ui/View.h"

namespace lumora {

class LMNavTabViewDelegate {
 public:
  virtual ~LMNavTabViewDelegate() = default;
  // `left`: the left tab is now selected.
  virtual void didTabViewChangeSelectedTab(bool left) = 0;
};

class LMNavTabView : public platform::ui::View {
 public:
  static std::shared_ptr<LMNavTabView> create();

  // The picture names for a screen height ("" for a height without one).
  static std::string leftTabImageNameForHeight(double height);
  static std::string rightTabImageNameForHeight(double height);

  bool isSelectLeftTab() const { return selectLeftTab_; }
  void setSelectLeftTab(bool left);
  void setTapEnabled(bool enabled);
  void tabSelected(const platform::ui::Control& sender);
  void updateImageView();

  std::shared_ptr<LMNavTabViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<LMNavTabViewDelegate> delegate) { delegate_ = std::move(delegate); }

  const std::shared_ptr<platform::ui::ImageView>& imageView() const { return imageView_; }
  const std::shared_ptr<platform::ui::Button>& leftButton() const { return leftButton_; }
  const std::shared_ptr<platform::ui::Button>& rightButton() const { return rightButton_; }
  const std::optional<platform::ui::Image>& leftTabImage() const { return leftTabImage_; }
  const std::optional<platform::ui::Image>& rightTabImage() const { return rightTabImage_; }

 private:
  LMNavTabView() = default;
  void build();

  bool selectLeftTab_ = true;
  std::weak_ptr<LMNavTabViewDelegate> delegate_;
  std::shared_ptr<platform::ui::ImageView> imageView_;
  std::shared_ptr<platform::ui::Button> leftButton_;
  std::shared_ptr<platform::ui::Button> rightButton_;
  std::optional<platform::ui::Image> leftTabImage_;
  std::optional<platform::ui::Image> rightTabImage_;
};

}  // namespace lumora
