// A pull-to-refresh header on a scroll view. It sits above the content; a
// drag that pulls the content down past the header's height and lets go, or
// beginRefreshing(), starts a refresh: the header stays shown (the scroll
// view's top inset grows by its height), its refreshing-time operation gives
// the date it shows as "last updated", and its refresh actions run.
// endRefreshing() hides it again and puts back the original edge insets,
// which its owner may change at any time (a rotation does): a scroll view
// resting at its top then moves to the new top.
//
// Ownership: a view (refreshView()); the scroll view owns it once added,
// and it holds the scroll view weakly; refresh targets are held weakly.
// Threading: main thread. Nothing here fails.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

namespace platform::ui {

class RefreshHeaderView : public View {
 public:
  static constexpr double kHeight = 60;
  using TimeOperation = std::function<Clock::TimePoint()>;

  static std::shared_ptr<RefreshHeaderView> refreshView();
  // The owner's words before the time ("last updated", in the app's
  // language; none by default).
  void setLastUpdatedText(std::string text) { lastUpdatedText_ = std::move(text); }
  // Those words and the local time "HH:mm:ss"; empty without a date.
  std::string refreshingTimeStringFromDate(std::optional<Clock::TimePoint> date) const;

  void addToScrollView(const std::shared_ptr<ScrollView>& scrollView);
  template <class T>
  void addTarget(const std::shared_ptr<T>& target, void (T::*action)()) {
    std::weak_ptr<T> weak = target;
    actions_.push_back([weak, action] {
      if (auto strong = weak.lock()) ((*strong).*action)();
    });
  }
  void setRefreshingTimeOperation(TimeOperation operation) { timeOperation_ = std::move(operation); }

  void beginRefreshing();
  void endRefreshing();
  bool isRefreshing() const { return refreshing_; }

  const EdgeInsets& originalEdgeInsets() const { return original_; }
  void setOriginalEdgeInsets(const EdgeInsets& insets);

  const std::shared_ptr<Label>& timeLabel() const { return timeLabel_; }
  const std::shared_ptr<ActivityIndicatorView>& activityIndicator() const { return spinner_; }
  void layoutSubviews() override;

 private:
  void build();
  void scrolled(ScrollView& scrollView, ScrollView::Event event);
  void applyInsets();
  // The offset at which the scroll view shows its content from the top.
  double restingOffset() const;

  std::weak_ptr<ScrollView> scrollView_;
  std::vector<std::function<void()>> actions_;
  TimeOperation timeOperation_;
  std::string lastUpdatedText_;
  EdgeInsets original_;
  bool refreshing_ = false;
  std::shared_ptr<Label> timeLabel_;
  std::shared_ptr<ActivityIndicatorView> spinner_;
};

}  // namespace platform::ui
