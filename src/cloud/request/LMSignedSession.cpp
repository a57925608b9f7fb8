#include "cloud/request/LMSignedSession.h"

#include "account/QBPassport.h"
#include "cloud/passport/QBPassportsManager.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"

namespace lumora {

platform::Error LMNotLoggedInError() {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorNotLoggedIn,
      {{kLMErrorReasonKey, "QBPassport isn't logged in."}, {kLMErrorDescriptionKey, kLMErrorTitlePassport}});
}

platform::Result<LMSignedSession> LMSignedSessionForSid(const std::string& passportSid) {
  auto manager = QBPassportsManager::sharedManager();
  auto passport = manager->passportForSid(passportSid, manager->userId());
  if (!passport) return LMNotLoggedInError();
  LMSignedSession session{passport->userId().value_or(""), passport->serviceToken().value_or(""),
                          passport->sSecurity().value_or("")};
  if (session.userId.empty() || session.serviceToken.empty() || session.sSecurity.empty()) {
    return LMNotLoggedInError();
  }
  return session;
}

}  // namespace lumora
