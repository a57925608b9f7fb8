#include "platform/ui/RefreshHeaderView.h"

#include <ctime>

namespace platform::ui {

std::shared_ptr<RefreshHeaderView> RefreshHeaderView::refreshView() {
  auto header = std::make_shared<RefreshHeaderView>();
  header->build();
  return header;
}

std::string RefreshHeaderView::refreshingTimeStringFromDate(std::optional<Clock::TimePoint> date) const {
  if (!date) return {};
  std::time_t seconds = Clock::TimePoint::clock::to_time_t(*date);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return lastUpdatedText_ + text;
}

void RefreshHeaderView::build() {
  spinner_ = std::make_shared<ActivityIndicatorView>();
  timeLabel_ = std::make_shared<Label>();
  timeLabel_->setFont(Font::systemFont(12));
  timeLabel_->setTextColor(colorWithHexString("8e8e93"));
  timeLabel_->setTextAlignment(TextAlignment::Center);
  addSubview(spinner_);
  addSubview(timeLabel_);
}

void RefreshHeaderView::addToScrollView(const std::shared_ptr<ScrollView>& scrollView) {
  scrollView_ = scrollView;
  original_ = scrollView->contentInset();
  setFrame({0, -kHeight, scrollView->frame().width, kHeight});
  scrollView->addSubview(shared_from_this());
  std::weak_ptr<RefreshHeaderView> weak = std::static_pointer_cast<RefreshHeaderView>(shared_from_this());
  scrollView->addObserver(weak_from_this(), [weak](ScrollView& view, ScrollView::Event event) {
    if (auto self = weak.lock()) self->scrolled(view, event);
  });
}

void RefreshHeaderView::scrolled(ScrollView& scrollView, ScrollView::Event event) {
  // Keep the header as wide as the scroll view, above the content.
  if (frame().width != scrollView.frame().width) setFrame({0, -kHeight, scrollView.frame().width, kHeight});
  if (event != ScrollView::Event::EndedDragging || refreshing_) return;
  if (scrollView.contentOffset().y <= -(original_.top + kHeight)) beginRefreshing();
}

void RefreshHeaderView::applyInsets() {
  auto scrollView = scrollView_.lock();
  if (!scrollView) return;
  EdgeInsets insets = original_;
  if (refreshing_) insets.top += kHeight;
  scrollView->setContentInset(insets);
}

void RefreshHeaderView::setOriginalEdgeInsets(const EdgeInsets& insets) {
  const double oldRest = restingOffset();
  const bool changed = insets != original_;
  original_ = insets;
  applyInsets();
  if (!changed) return;
  // A view resting at its top (or pulled past it) rests at the new top: the
  // header stays hidden above the content (or shown whole while it
  // refreshes) after a rotation changed the bar's height.
  if (auto scrollView = scrollView_.lock()) {
    const Point offset = scrollView->contentOffset();
    if (offset.y <= oldRest + 0.5) scrollView->setContentOffset({offset.x, restingOffset()});
  }
}

double RefreshHeaderView::restingOffset() const { return -(original_.top + (refreshing_ ? kHeight : 0)); }

void RefreshHeaderView::beginRefreshing() {
  if (refreshing_) return;
  refreshing_ = true;
  spinner_->startAnimating();
  if (timeOperation_) timeLabel_->setText(refreshingTimeStringFromDate(timeOperation_()));
  applyInsets();
  if (auto scrollView = scrollView_.lock()) {
    scrollView->setContentOffset({scrollView->contentOffset().x, -(original_.top + kHeight)});
  }
  auto actions = actions_;
  for (auto& action : actions) action();
}

void RefreshHeaderView::endRefreshing() {
  if (!refreshing_) return;
  refreshing_ = false;
  spinner_->stopAnimating();
  applyInsets();
  if (auto scrollView = scrollView_.lock()) {
    Point offset = scrollView->contentOffset();
    if (offset.y < -original_.top) scrollView->setContentOffset({offset.x, -original_.top});
  }
}

void RefreshHeaderView::layoutSubviews() {
  const Rect b = bounds();
  spinner_->setFrame({b.width / 2 - 90, b.height / 2 - 10, 20, 20});
  timeLabel_->setFrame({b.width / 2 - 60, b.height / 2 - 10, 150, 20});
}

}  // namespace platform::ui
