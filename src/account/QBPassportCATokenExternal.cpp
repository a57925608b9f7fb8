#include "account/QBPassportCATokenExternal.h"

#include "account/KPKeyChainUtil.h"
#include "account/KPQBPreferenceUtil.h"

namespace lumora {

void QBPassportCATokenExternal::saveCAToken(const std::optional<QBPassportCAToken>& token) const {
  auto& item = KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierCATOKEN();
  if (token) {
    item.setToKeyChain(token->description());
  } else {
    item.removeFromKeyChain();
  }
}

std::optional<QBPassportCAToken> QBPassportCATokenExternal::loadCAToken() const {
  auto stored = KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierCATOKEN().getFromKeyChain();
  if (!stored) return std::nullopt;
  return QBPassportCAToken::initWithString(*stored);
}

void QBPassportCATokenExternal::saveNextCAEnabledTime(std::int64_t milliseconds) const {
  KPQBPreferenceUtil::setLong(milliseconds, kNextCAEnabledTimeKey, true);
}

std::int64_t QBPassportCATokenExternal::loadNextCAEnabledTime() const {
  return KPQBPreferenceUtil::longForKey(kNextCAEnabledTimeKey);
}

}  // namespace lumora
