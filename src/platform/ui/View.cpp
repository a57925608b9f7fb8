#include "platform/ui/View.h"

#include <algorithm>

namespace platform {

void View::addSubview(const std::shared_ptr<View>& view) {
  if (!view || view.get() == this) return;
  view->removeFromSuperview();
  subviews_.push_back(view);
  view->superview_ = weak_from_this();
}

void View::removeFromSuperview() {
  auto parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  auto& siblings = parent->subviews_;
  siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                [this](const std::shared_ptr<View>& v) { return v.get() == this; }),
                 siblings.end());
}

}  // namespace platform
