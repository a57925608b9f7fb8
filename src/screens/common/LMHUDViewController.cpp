#include "screens/common/LMHUDViewController.h"

#include "platform/ui/Resources.h"

namespace lumora {

namespace ui = platform::ui;

namespace {
std::shared_ptr<ui::View> hudScreenRoot(std::shared_ptr<ui::View>& bgView) {
  ui::Rect screen = ui::Screen::main().interfaceBounds();
  auto root = std::make_shared<ui::View>(screen);
  root->setBackgroundColor(ui::Color::clear());
  bgView = std::make_shared<ui::View>(screen);
  bgView->setBackgroundColor(ui::Color::black().withAlpha(0.3));
  bgView->setAutoresizingMask(ui::kAutoresizingFlexibleWidth | ui::kAutoresizingFlexibleHeight);
  root->addSubview(bgView);
  return root;
}

std::shared_ptr<ui::View> hudPanel(double height) {
  ui::Rect screen = ui::Screen::main().interfaceBounds();
  auto view = std::make_shared<ui::View>(ui::Rect{screen.width / 2 - 100, screen.height / 2 - 70, 200, height});
  view->setBackgroundColor(ui::colorWithHexString("faffffff"));
  view->setCornerRadius(6);
  return view;
}

// The panel a little above the middle of the screen, however it is turned.
void placeHudPanel(ui::View& root, const std::shared_ptr<ui::View>& panel) {
  if (!panel) return;
  const ui::Rect b = root.bounds();
  const ui::Rect f = panel->frame();
  panel->setFrame({b.width / 2 - 100, b.height / 2 - 70, f.width, f.height});
}

std::shared_ptr<ui::Label> hudLabel(const ui::Rect& frame, const ui::Font& font, int lines = 1) {
  auto l = std::make_shared<ui::Label>(frame);
  l->setFont(font);
  l->setTextColor(ui::Color::black());
  l->setTextAlignment(ui::TextAlignment::Center);
  l->setNumberOfLines(lines);
  return l;
}
}  // namespace

void LMHUDViewController::loadView() {
  auto root = hudScreenRoot(bgView);
  processView = hudPanel(140);
  root->addSubview(processView);
  indicatorView = std::make_shared<ui::ActivityIndicatorView>(ui::Rect{90, 48, 20, 20});
  processView->addSubview(indicatorView);
  titleLabel = hudLabel({20, 82, 160, 0}, ui::Font::boldSystemFont(15), 0);
  processView->addSubview(titleLabel);
  setView(root);
}

void LMHUDViewController::viewWillLayoutSubviews() { placeHudPanel(*view(), processView); }

void LMHUDProgressViewController::viewWillLayoutSubviews() { placeHudPanel(*view(), processView); }

void LMHUDProgressViewController::loadView() {
  auto root = hudScreenRoot(bgView);
  processView = hudPanel(150);
  processView->setClipsToBounds(true);
  root->addSubview(processView);

  progressBgView = std::make_shared<ui::View>(ui::Rect{0, 0, 200, 150});
  progressBgView->setBackgroundColor(ui::Color::clear());
  processView->addSubview(progressBgView);
  titleLabel = hudLabel({20, 25, 160, 0}, ui::Font::systemFont(16), 0);
  progressBgView->addSubview(titleLabel);
  progressView = LMProgressView::create({47, 50, 106, 9.5});
  progressBgView->addSubview(progressView);
  processLabel = hudLabel({10, 70, 180, 21}, ui::Font::systemFont(13));
  progressBgView->addSubview(processLabel);
  lineView = std::make_shared<ui::View>(ui::Rect{0, 109, 200, 0.5});
  lineView->setBackgroundColor(ui::colorWithHexString("a4a4a4"));
  progressBgView->addSubview(lineView);
  button = LMCustomButton::create({0, 110, 200, 40});
  button->setTitle(ui::localizedString("停止"));
  button->setTitleColor(ui::colorWithHexString("1c65c5"));
  button->titleLabel()->setFont(ui::Font::systemFont(15));
  button->setNormalBackgroundColor(ui::Color::clear());
  button->setHighlightedBackgroundColor(ui::colorWithHexString("ebebeb"));
  button->addTarget(std::static_pointer_cast<LMHUDProgressViewController>(shared_from_this()),
                    &LMHUDProgressViewController::cancel, ui::kControlEventTouchUpInside);
  progressBgView->addSubview(button);

  successBgView = std::make_shared<ui::View>(ui::Rect{0, 0, 200, 150});
  successBgView->setBackgroundColor(ui::Color::clear());
  successBgView->setHidden(true);
  processView->addSubview(successBgView);
  successImageView = std::make_shared<ui::ImageView>(ui::Image::imageNamed("云相册下载成功.png"));
  successImageView->setFrame({86, 54, 28, 28});
  successBgView->addSubview(successImageView);
  successLabel = hudLabel({20, 92, 160, 21}, ui::Font::boldSystemFont(15));
  successLabel->setText(ui::localizedString("Download Photo Success"));
  successBgView->addSubview(successLabel);
  setView(root);
}

void LMHUDProgressViewController::cancel(ui::Control&) {
  if (cancelBlock) {
    auto block = cancelBlock;
    block();
  }
}

}  // namespace lumora
