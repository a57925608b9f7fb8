#include "platform/ui/AlertView.h"

#include <algorithm>

#include "platform/ui/Label.h"

namespace platform::ui {

namespace {
std::vector<std::shared_ptr<AlertView>>& visibleAlertList() {
  static std::vector<std::shared_ptr<AlertView>> alerts;
  return alerts;
}
}  // namespace

std::shared_ptr<AlertView> AlertView::alert(std::string title, std::string message,
                                            std::optional<std::string> cancelButtonTitle,
                                            std::vector<std::string> otherButtonTitles, Clicked clicked) {
  auto a = std::shared_ptr<AlertView>(new AlertView());
  a->title_ = std::move(title);
  a->message_ = std::move(message);
  if (cancelButtonTitle) {
    a->cancelIndex_ = 0;
    a->buttons_.push_back(std::move(*cancelButtonTitle));
  }
  for (auto& t : otherButtonTitles) a->buttons_.push_back(std::move(t));
  a->clicked_ = std::move(clicked);
  return a;
}

std::shared_ptr<AlertView> AlertView::actionSheet(std::string title, std::optional<std::string> cancelButtonTitle,
                                                  std::optional<std::string> destructiveButtonTitle,
                                                  std::vector<std::string> otherButtonTitles, Clicked clicked) {
  auto a = std::shared_ptr<AlertView>(new AlertView());
  a->style_ = Style::ActionSheet;
  a->title_ = std::move(title);
  if (destructiveButtonTitle) a->buttons_.push_back(std::move(*destructiveButtonTitle));
  for (auto& t : otherButtonTitles) a->buttons_.push_back(std::move(t));
  if (cancelButtonTitle) {
    a->cancelIndex_ = static_cast<int>(a->buttons_.size());
    a->buttons_.push_back(std::move(*cancelButtonTitle));
  }
  a->clicked_ = std::move(clicked);
  return a;
}

void AlertView::show() {
  if (window_) return;
  buildWindow();
  visibleAlertList().push_back(shared_from_this());
  window_->makeKeyAndVisible();
}

namespace {
constexpr double kSheetMargin = 8;

// The alert's window keeps its box centred (a sheet at the bottom, as wide
// as the screen less a margin) however the interface is turned, when shown
// and after; the box's rows follow its width.
class AlertWindow : public Window {
 public:
  AlertWindow(Rect frame, bool sheet) : Window(frame), sheet_(sheet) {}
  void setBox(std::shared_ptr<View> box) {
    box_ = std::move(box);
    addSubview(box_);
    setNeedsLayout();
  }
  void layoutSubviews() override {
    Window::layoutSubviews();
    if (!box_) return;
    const Rect b = bounds();
    Rect f = box_->frame();
    if (sheet_) f.width = b.width - kSheetMargin * 2;
    f.x = (b.width - f.width) / 2;
    f.y = sheet_ ? b.height - f.height - kSheetMargin : (b.height - f.height) / 2;
    box_->setFrame(f);
  }

 private:
  bool sheet_;
  std::shared_ptr<View> box_;
};
}  // namespace

// A dimmed screen with a white box: title, message, one button per row.
void AlertView::buildWindow() {
  const Rect screen = Screen::main().interfaceBounds();
  auto window = std::make_shared<AlertWindow>(screen, style_ != Style::Alert);
  window_ = window;
  window_->setWindowLevel(kWindowLevelAlert);
  window_->setBackgroundColor(Color::black().withAlpha(0.4));
  auto measurer = TextMeasurer::current();
  double width = style_ == Style::Alert ? 270 : screen.width - kSheetMargin * 2;
  double titleHeight = title_.empty() ? 0 : measurer->measure(title_, Font::boldSystemFont(17), width - 32, 0).height;
  double messageHeight = message_.empty() ? 0 : measurer->measure(message_, Font::systemFont(13), width - 32, 0).height;
  double rows = 44.0 * static_cast<double>(buttons_.size());
  // A sheet without title and message is its buttons alone.
  const bool header = !title_.empty() || !message_.empty();
  double height = (header ? 20 + titleHeight + 4 + messageHeight + 20 : 0) + rows;
  double y = style_ == Style::Alert ? (screen.height - height) / 2 : screen.height - height - kSheetMargin;
  auto box = std::make_shared<View>(Rect{(screen.width - width) / 2, y, width, height});
  box->setBackgroundColor(colorWithHexString("f8f8f8"));
  box->setCornerRadius(7);
  box->setClipsToBounds(true);
  window->setBox(box);
  auto title = std::make_shared<Label>(Rect{16, 20, width - 32, titleHeight});
  title->setText(title_);
  title->setFont(Font::boldSystemFont(17));
  title->setNumberOfLines(0);
  title->setTextAlignment(TextAlignment::Center);
  title->setAutoresizingMask(kAutoresizingFlexibleWidth);
  box->addSubview(title);
  auto message = std::make_shared<Label>(Rect{16, 24 + titleHeight, width - 32, messageHeight});
  message->setText(message_);
  message->setFont(Font::systemFont(13));
  message->setNumberOfLines(0);
  message->setTextAlignment(TextAlignment::Center);
  message->setAutoresizingMask(kAutoresizingFlexibleWidth);
  box->addSubview(message);
  double top = height - rows;
  std::weak_ptr<AlertView> weak = weak_from_this();
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    auto line = std::make_shared<View>(Rect{0, top + 44.0 * static_cast<double>(i), width, 0.5});
    line->setBackgroundColor(colorWithHexString("c8c7cc"));
    line->setAutoresizingMask(kAutoresizingFlexibleWidth);
    box->addSubview(line);
    auto button = std::make_shared<Button>(Rect{0, top + 44.0 * static_cast<double>(i) + 0.5, width, 43.5});
    button->setTitle(buttons_[i]);
    button->setTitleColor(colorWithHexString("007aff"));
    button->setAutoresizingMask(kAutoresizingFlexibleWidth);
    button->titleLabel()->setFont(cancelIndex_ == static_cast<int>(i) ? Font::boldSystemFont(17) : Font::systemFont(17));
    int index = static_cast<int>(i);
    button->setAction([weak, index] {
      if (auto self = weak.lock()) self->pressButtonAtIndex(index);
    });
    box->addSubview(button);
  }
}

bool AlertView::pressButtonWithTitle(const std::string& title) {
  auto found = std::find(buttons_.begin(), buttons_.end(), title);
  if (found == buttons_.end()) return false;
  pressButtonAtIndex(static_cast<int>(found - buttons_.begin()));
  return true;
}

void AlertView::pressButtonAtIndex(int index) {
  auto keep = shared_from_this();
  dismiss();
  if (clicked_) {
    auto clicked = clicked_;
    clicked(*this, index);
  }
  if (auto delegate = delegate_.lock()) delegate->alertViewClickedButtonAtIndex(*this, index);
}

int AlertView::addButton(std::string title) {
  if (style_ == Style::ActionSheet && cancelIndex_) {
    buttons_.insert(buttons_.begin() + *cancelIndex_, std::move(title));
    return (*cancelIndex_)++;
  }
  buttons_.push_back(std::move(title));
  return static_cast<int>(buttons_.size()) - 1;
}

void AlertView::dismiss() {
  if (!window_) return;
  auto window = std::move(window_);
  window_.reset();
  window->setHidden(true);
  std::erase_if(visibleAlertList(), [this](const auto& a) { return a.get() == this; });
}

std::vector<std::shared_ptr<AlertView>> AlertView::visibleAlerts() { return visibleAlertList(); }

void AlertView::resetForTesting() {
  for (auto& a : std::vector<std::shared_ptr<AlertView>>(visibleAlertList())) a->dismiss();
  visibleAlertList().clear();
}

}  // namespace platform::ui
