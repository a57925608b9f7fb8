#include "cloud/request/LMSignedSession.h"

#include "utils/LMErrors.h"
#include "utils/LMUtils.h"

namespace lumora {

platform::Error LMNotLoggedInError() {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorNotLoggedIn,
      {{kLMErrorReasonKey, "QBPassport isn't logged in."}, {kLMErrorDescriptionKey, kLMErrorTitlePassport}});
}

}  // namespace lumora
