#include "screens/common/LMCustomNavigationBar.h"

#include "platform/ui/Color.h"

namespace lumora {

namespace ui = platform::ui;

std::shared_ptr<LMCustomNavigationBar> LMCustomNavigationBar::create() {
  auto bar = std::make_shared<LMCustomNavigationBar>();
  bar->shadowBar_ = std::make_shared<ui::View>();
  bar->shadowBar_->setBackgroundColor(ui::colorWithHexString("a3a3a3"));
  bar->addSubview(bar->shadowBar_);
  bar->setBackgroundColor(ui::colorWithHexString("d0ffffff"));
  return bar;
}

void LMCustomNavigationBar::setNavigationBarPotrait(bool portrait) {
  isPotrait_ = portrait;
  setNeedsLayout();
}

void LMCustomNavigationBar::replace(std::shared_ptr<ui::View>& slot, std::shared_ptr<ui::View> item) {
  if (item == slot) return;
  slot = std::move(item);
  if (slot) addSubview(slot);
  setNeedsLayout();
}

void LMCustomNavigationBar::setLeftItem(std::shared_ptr<ui::View> item) { replace(leftItem_, std::move(item)); }
void LMCustomNavigationBar::setRightItem(std::shared_ptr<ui::View> item) { replace(rightItem_, std::move(item)); }
void LMCustomNavigationBar::setTitleView(std::shared_ptr<ui::View> item) { replace(titleView_, std::move(item)); }

void LMCustomNavigationBar::layoutSubviews() {
  ui::Rect b = bounds();
  double d = isPotrait_ ? kPortraitShift : 0;
  if (leftItem_) leftItem_->setCenter({leftItem_->frame().width * 0.5 + 5, b.height * 0.5 + d});
  if (rightItem_) rightItem_->setCenter({b.width - 5 - rightItem_->frame().width * 0.5, b.height * 0.5 + d});
  if (titleView_) {
    titleView_->sizeToFit();
    titleView_->setCenter({b.width * 0.5, b.height * 0.5 + 1 + d});
  }
  if (shadowBar_) shadowBar_->setFrame({0, b.height - 1, b.width, 1});
}

}  // namespace lumora
