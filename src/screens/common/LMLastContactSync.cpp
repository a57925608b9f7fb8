#include "screens/common/LMLastContactSync.h"

#include "platform/storage/UserDefaults.h"

namespace lumora {

void LMLastContactSync::record(double secondsSince1970) {
  auto& defaults = platform::UserDefaults::standard();
  defaults.setDouble(kShownKey, secondsSince1970);
  defaults.setDouble(kRuleKey, secondsSince1970);
  defaults.synchronize();
}

}  // namespace lumora
