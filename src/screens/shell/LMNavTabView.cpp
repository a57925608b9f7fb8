#include "screens/shell/LMNavTabView.h"

#include "platform/ui/Color.h"
#include "platform/ui/Resources.h"
#include "platform/ui/TextMeasurer.h"
#include "platform/ui/Window.h"

namespace lumora {

namespace ui = platform::ui;

namespace {

// The picture suffix of a screen height; nullopt for a height without one.
std::optional<std::string> tabSuffixForHeight(double height) {
  if (height == 480 || height == 568) return "";
  if (height == 667) return "6";
  if (height == 736) return "6p";
  return std::nullopt;
}

std::string tabImageName(const char* side, double height) {
  auto suffix = tabSuffixForHeight(height);
  return suffix ? std::string("导航Tab") + side + *suffix + ".png" : std::string();
}

}  // namespace

std::string LMNavTabView::leftTabImageNameForHeight(double height) { return tabImageName("左", height); }

std::string LMNavTabView::rightTabImageNameForHeight(double height) { return tabImageName("右", height); }

std::shared_ptr<LMNavTabView> LMNavTabView::create() {
  std::shared_ptr<LMNavTabView> view(new LMNavTabView());
  view->build();
  return view;
}

void LMNavTabView::build() {
  const double height = ui::Screen::main().bounds().height;
  if (auto name = leftTabImageNameForHeight(height); !name.empty()) {
    leftTabImage_ = ui::Image::imageNamed(name);
    rightTabImage_ = ui::Image::imageNamed(rightTabImageNameForHeight(height));
  }
  const ui::Size size = leftTabImage_ ? leftTabImage_->size() : ui::Size{};
  setFrame({0, 0, size.width, size.height});
  imageView_ = std::make_shared<ui::ImageView>(ui::Rect{0, 0, size.width, size.height});
  addSubview(imageView_);
  updateImageView();

  std::weak_ptr<LMNavTabView> weak = std::static_pointer_cast<LMNavTabView>(shared_from_this());
  auto makeButton = [&](double x, const char* titleKey) {
    auto button = std::make_shared<ui::Button>(ui::Rect{x, 0, size.width / 2, size.height});
    button->setTitle(ui::localizedString(titleKey));
    button->setTitleColor(ui::Color::white());
    button->setTitleColor(ui::Color::white(), ui::ControlState::Highlighted);
    button->titleLabel()->setFont(ui::Font::boldSystemFont(12));
    button->addAction(ui::kControlEventTouchDown, [weak](ui::Control& sender) {
      if (auto self = weak.lock()) self->tabSelected(sender);
    });
    addSubview(button);
    return button;
  };
  leftButton_ = makeButton(0, "联系人同步");
  rightButton_ = makeButton(size.width / 2, "照片备份");
}

void LMNavTabView::updateImageView() { imageView_->setImage(selectLeftTab_ ? leftTabImage_ : rightTabImage_); }

void LMNavTabView::setSelectLeftTab(bool left) {
  if (left == selectLeftTab_) return;
  selectLeftTab_ = left;
  updateImageView();
  if (auto target = delegate()) target->didTabViewChangeSelectedTab(left);
}

void LMNavTabView::setTapEnabled(bool enabled) {
  leftButton_->setEnabled(enabled);
  rightButton_->setEnabled(enabled);
}

void LMNavTabView::tabSelected(const ui::Control& sender) { setSelectLeftTab(&sender == leftButton_.get()); }

}  // namespace lumora
