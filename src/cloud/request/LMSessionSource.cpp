#include "cloud/request/LMSessionSource.h"

#include <utility>

#include "account/QBPassport.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/Bytes.h"

namespace lumora {

LMPassportsSessionSource::LMPassportsSessionSource(std::shared_ptr<QBPassportsManager> manager)
    : manager_(manager ? std::move(manager) : QBPassportsManager::sharedManager()) {}

std::shared_ptr<LMSessionSource> LMPassportsSessionSource::shared() {
  static auto* source = new std::shared_ptr<LMSessionSource>(
      std::make_shared<LMPassportsSessionSource>(QBPassportsManager::sharedManager()));
  return *source;
}

std::optional<std::string> LMPassportsSessionSource::userId() { return manager_->userId(); }

platform::Result<LMSignedSession> LMPassportsSessionSource::sessionForSid(
    const std::string& passportSid) {
  auto user = manager_->userId();
  if (!platform::hasText(user)) return LMNotLoggedInError();
  auto passport = manager_->passportForSid(passportSid, user);
  if (!passport) return LMNotLoggedInError();
  LMSignedSession session{passport->userId().value_or(""), passport->serviceToken().value_or(""),
                          passport->sSecurity().value_or("")};
  if (session.userId.empty() || session.serviceToken.empty() || session.sSecurity.empty()) {
    return LMNotLoggedInError();
  }
  return session;
}

bool LMPassportsSessionSource::canReLoginForSid(const std::string& passportSid) {
  return manager_->passportForSid(passportSid) != nullptr && platform::hasText(manager_->userId());
}

platform::Status LMPassportsSessionSource::reLoginForSid(const std::string& passportSid) {
  return manager_->reLoginForSid(passportSid);
}

}  // namespace lumora
