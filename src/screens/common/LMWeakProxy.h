// The target of every display-link animation of the screens. A display link
// keeps its target alive, so the link is given this proxy, which holds the
// view only weakly and forwards each frame to it. A frame that finds the
// view gone invalidates its link, so nothing runs for a released view.
//
// Ownership: the proxy holds its target weakly; the link made here holds
// the proxy. Threading: main thread. Nothing fails.
#pragma once

#include <memory>

#include "platform/ui/DisplayLink.h"

namespace lumora {

// What a proxy forwards: the frame message of the animated views.
class LMDisplayLinkTarget {
 public:
  virtual ~LMDisplayLinkTarget() = default;
  virtual void animateFrame(platform::ui::DisplayLink& displayLink) = 0;
};

class LMWeakProxy {
 public:
  static std::shared_ptr<LMWeakProxy> weakProxyWithTarget(std::weak_ptr<LMDisplayLinkTarget> target);

  std::shared_ptr<LMDisplayLinkTarget> target() const { return target_.lock(); }
  // Forwards the frame; false (nothing sent) once the target is gone.
  bool animateFrame(platform::ui::DisplayLink& displayLink);

  // A display link whose frames reach `target` through a new proxy; a frame
  // that finds the target gone pauses and invalidates the link.
  static std::shared_ptr<platform::ui::DisplayLink> displayLinkWithTarget(std::weak_ptr<LMDisplayLinkTarget> target);

 private:
  explicit LMWeakProxy(std::weak_ptr<LMDisplayLinkTarget> target) : target_(std::move(target)) {}
  std::weak_ptr<LMDisplayLinkTarget> target_;
};

}  // namespace lumora
