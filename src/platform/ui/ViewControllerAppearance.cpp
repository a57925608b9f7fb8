#include "platform/ui/ViewControllerAppearance.h"

#include <atomic>

namespace platform::ui {
namespace {

void builtInAppearance(ViewController&, bool) {}

std::atomic<AppearanceImplementation>& appearanceSlot(AppearanceMethod method) {
  static std::atomic<AppearanceImplementation> didAppear{&builtInAppearance};
  static std::atomic<AppearanceImplementation> didDisappear{&builtInAppearance};
  return method == AppearanceMethod::ViewDidAppear ? didAppear : didDisappear;
}

}  // namespace

AppearanceImplementation appearanceImplementation(AppearanceMethod method) { return appearanceSlot(method).load(); }

AppearanceImplementation replaceAppearanceImplementation(AppearanceMethod method,
                                                         AppearanceImplementation implementation) {
  return appearanceSlot(method).exchange(implementation ? implementation : &builtInAppearance);
}

}  // namespace platform::ui
