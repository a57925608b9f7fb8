#include "screens/common/LMWeakProxy.h"

namespace lumora {

std::shared_ptr<LMWeakProxy> LMWeakProxy::weakProxyWithTarget(std::weak_ptr<LMDisplayLinkTarget> target) {
  return std::shared_ptr<LMWeakProxy>(new LMWeakProxy(std::move(target)));
}

bool LMWeakProxy::animateFrame(platform::ui::DisplayLink& displayLink) {
  auto target = target_.lock();
  if (!target) return false;
  target->animateFrame(displayLink);
  return true;
}

std::shared_ptr<platform::ui::DisplayLink> LMWeakProxy::displayLinkWithTarget(
    std::weak_ptr<LMDisplayLinkTarget> target) {
  auto proxy = weakProxyWithTarget(std::move(target));
  return platform::ui::DisplayLink::create([proxy](platform::ui::DisplayLink& link) {
    if (proxy->animateFrame(link)) return;
    link.setPaused(true);
    link.invalidate();
  });
}

}  // namespace lumora
