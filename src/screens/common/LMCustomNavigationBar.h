// A plain bar standing in for the navigation bar on full-screen screens: a
// translucent white view that places up to three views of its owner (left,
// right, centre) and draws a one-point grey line along its bottom; in
// portrait its content moves 9 points down to clear the status bar.
//
// Ownership: a view, made with create(); it holds its items. Setting an item
// to another view adds the new one and leaves the old one where it is.
// Threading: main thread.
#pragma once

#include <memory>

#include "platform/ui/View.h"

namespace lumora {

class LMCustomNavigationBar : public platform::ui::View {
 public:
  static constexpr double kPortraitShift = 9;
  static std::shared_ptr<LMCustomNavigationBar> create();

  bool isPotrait() const { return isPotrait_; }
  void setNavigationBarPotrait(bool portrait);
  const std::shared_ptr<platform::ui::View>& leftItem() const { return leftItem_; }
  void setLeftItem(std::shared_ptr<platform::ui::View> item);
  const std::shared_ptr<platform::ui::View>& rightItem() const { return rightItem_; }
  void setRightItem(std::shared_ptr<platform::ui::View> item);
  const std::shared_ptr<platform::ui::View>& titleView() const { return titleView_; }
  void setTitleView(std::shared_ptr<platform::ui::View> item);
  const std::shared_ptr<platform::ui::View>& shadowBar() const { return shadowBar_; }
  void setShadowBar(std::shared_ptr<platform::ui::View> bar) { shadowBar_ = std::move(bar); }

  void layoutSubviews() override;

 private:
  void replace(std::shared_ptr<platform::ui::View>& slot, std::shared_ptr<platform::ui::View> item);
  bool isPotrait_ = true;
  std::shared_ptr<platform::ui::View> leftItem_;
  std::shared_ptr<platform::ui::View> rightItem_;
  std::shared_ptr<platform::ui::View> titleView_;
  std::shared_ptr<platform::ui::View> shadowBar_;
};

}  // namespace lumora
