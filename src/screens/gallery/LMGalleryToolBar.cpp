#include "screens/gallery/LMGalleryToolBar.h"

#include <string>

#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"
#include "screens/common/LMCustomUtils.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

double dividerInsetForScreen() {
  const ui::Size size = ui::Screen::main().bounds().size();
  auto side = [&](double points) { return size.width == points || size.height == points; };
  if (side(320)) return 7.0;
  if (side(375)) return 8.0;
  if (side(414)) return 11.0;
  return 0;
}

std::shared_ptr<LMCustomButton> toolBarButton(const std::string& titleKey, const std::string& image,
                                              const ui::EdgeInsets& insets, int tag) {
  auto button = LMCustomButton::create();
  button->setTag(tag);
  button->setCustomTitleEdgeInsets(insets);
  auto label = std::make_shared<ui::Label>();
  label->setBackgroundColor(ui::Color::clear());
  label->setFont(ui::Font::systemFont(15));
  label->setTextColor(ui::colorWithHexString("1c65c5"));
  label->setTextAlignment(ui::TextAlignment::Center);
  label->setText(ui::localizedString(titleKey));
  button->setCustomTitleLabel(label);
  button->setBackgroundImage(LMCustomUtils::bundleImageForName(image), ui::ControlState::Normal);
  button->setBackgroundImage(LMCustomUtils::bundleImageForName(image + "按下"), ui::ControlState::Highlighted);
  button->setBackgroundImage(LMCustomUtils::bundleImageForName(image + "Disable"), ui::ControlState::Disabled);
  return button;
}

}  // namespace

std::shared_ptr<LMGalleryToolBar> LMGalleryToolBar::create(const ui::Rect& frame) {
  auto bar = std::make_shared<LMGalleryToolBar>(frame);
  bar->inset_ = dividerInsetForScreen();
  bar->interfaceInitialize();
  return bar;
}

void LMGalleryToolBar::interfaceInitialize() {
  setBackgroundColor(ui::Color::clear());
  deleteButton_ = toolBarButton("删除", "云相册删除按钮", {0, 10, 0, 0}, static_cast<int>(kDeleteIndex));
  downloadButton_ = toolBarButton("下载", "云相册下载按钮", {0, 0, 0, 10}, static_cast<int>(kDownloadIndex));
  auto self = std::static_pointer_cast<LMGalleryToolBar>(shared_from_this());
  for (const auto& button : {deleteButton_, downloadButton_}) {
    button->addTarget(self, &LMGalleryToolBar::buttonPressed, ui::kControlEventTouchUpInside);
    addSubview(button);
  }
  divideView_ = std::make_shared<ui::View>();
  divideView_->setBackgroundColor(ui::colorWithHexString("89929c"));
  addSubview(divideView_);
  setNeedsLayout();
}

void LMGalleryToolBar::setEnabled(bool enabled) {
  enabled_ = enabled;
  deleteButton_->setEnabled(enabled);
  downloadButton_->setEnabled(enabled);
}

void LMGalleryToolBar::layoutSubviews() {
  const ui::Rect b = bounds();
  deleteButton_->setFrame({b.x, b.y, b.width / 2, b.height});
  downloadButton_->setFrame({b.width / 2, b.y, b.width / 2, b.height});
  divideView_->setFrame({b.width / 2 - 0.5, inset_ / 2, 1, b.height - inset_});
}

void LMGalleryToolBar::buttonPressed(ui::Control& sender) {
  // A disabled button sends nothing, whoever calls its actions.
  if (!sender.isEnabled()) return;
  auto delegate = delegate_.lock();
  auto* button = dynamic_cast<ui::Button*>(&sender);
  if (delegate && button) delegate->didPressGalleryToolBarButton(*button, static_cast<unsigned>(sender.tag()));
}

}  // namespace lumora
