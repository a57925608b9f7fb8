#include "account/KPKeyChainUtil.h"

#include "cloud/utils/LMLogUtil.h"

namespace lumora {

namespace keychainutil {

platform::Bytes valueData(std::string_view text) {
  auto zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  return platform::toBytes(text);
}

std::optional<std::string> readItem(const platform::KeychainQuery& query) {
  platform::KeychainMatch match = platform::Keychain::shared().copyMatching(query);
  // The data lookup reports any failure; the attribute lookup then decides.
  if (match.status != platform::Keychain::kSuccess)
    LM_LOG_ERROR("KeyChain Item query Error: {}", match.status);
  if (match.status == platform::Keychain::kItemNotFound) {
    LM_LOG_INFO("KeyChain Item: item not found");
    return std::nullopt;
  }
  if (match.status != platform::Keychain::kSuccess) {
    LM_LOG_ERROR("KeyChain Item query Error: {}", match.status);
    return std::nullopt;
  }
  LM_LOG_DEBUG("KeyChain Item success ");
  if (!match.data) return std::nullopt;
  std::string text = platform::toString(*match.data);
  if (!platform::isValidUtf8(text)) return std::nullopt;
  return text;
}

bool logAdd(std::int32_t status) {
  if (status != platform::Keychain::kSuccess) {
    LM_LOG_ERROR("Add KeyChain Item Error: {}", status);
    return false;
  }
  LM_LOG_INFO("Add KeyChain Item Success");
  return true;
}

bool logUpdate(std::int32_t status) {
  if (status != platform::Keychain::kSuccess) {
    LM_LOG_ERROR("Update KeyChain Item Error: {}", status);
    return false;
  }
  LM_LOG_INFO("Update KeyChain Item Success");
  return true;
}

bool logDelete(std::int32_t status) {
  if (status != platform::Keychain::kSuccess) {
    LM_LOG_ERROR("delete UUID from KeyChain Error: {}", status);
    return false;
  }
  LM_LOG_INFO("delete UUID from KeyChain success");
  return true;
}

}  // namespace keychainutil

std::shared_ptr<KPKeyChainUtil> KPKeyChainUtil::initWithKeyChainItemIdentifier(const char* identifier) {
  if (identifier == nullptr) return nullptr;
  return std::make_shared<KPKeyChainUtil>(identifier);
}

std::shared_ptr<KPKeyChainUtil> KPKeyChainUtil::utilForKeyChainItemIdentifier(std::string identifier) {
  return std::make_shared<KPKeyChainUtil>(std::move(identifier));
}

KPKeyChainUtil& KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierUUID() {
  static KPKeyChainUtil util("UUID");
  return util;
}

KPKeyChainUtil& KPKeyChainUtil::sharedUtilForKeyChainItemIdentifierCATOKEN() {
  static KPKeyChainUtil util = [] {
    KPKeyChainUtil u("CATOKEN");
    u.setKeyChainAccessGroup("com.quenby.passport.catoken");
    return u;
  }();
  return util;
}

KPKeyChainUtil::KPKeyChainUtil(std::string identifier) : keyString_(std::move(identifier)) {}

platform::Bytes KPKeyChainUtil::getKeyData() const { return platform::toBytes(keyString_); }

std::optional<std::string> KPKeyChainUtil::groupIfSet() const {
  if (keyChainAccessGroup_ && !keyChainAccessGroup_->empty()) return keyChainAccessGroup_;
  return std::nullopt;
}

platform::KeychainQuery KPKeyChainUtil::readQuery() const {
  platform::KeychainQuery query;
  query.attributes.description = keyString_;
  query.attributes.generic = getKeyData();
  query.attributes.service = keyString_;
  query.attributes.accessGroup = groupIfSet();
  query.caseInsensitive = true;
  return query;
}

platform::KeychainQuery KPKeyChainUtil::identityQuery() const {
  platform::KeychainQuery query;
  query.attributes.generic = getKeyData();
  query.attributes.service = keyString_;
  query.caseInsensitive = true;
  return query;
}

std::optional<std::string> KPKeyChainUtil::getFromKeyChain() const {
  return keychainutil::readItem(readQuery());
}

bool KPKeyChainUtil::setToKeyChain(std::string_view text) const {
  platform::Bytes data = keychainutil::valueData(text);
  if (!platform::isValidUtf8(platform::toString(data))) {
    LM_LOG_ERROR("KeyChain Item value is not UTF-8 text");
    return false;
  }
  if (!getFromKeyChain()) {
    platform::KeychainItem item;
    item.attributes = readQuery().attributes;
    item.data = std::move(data);
    return keychainutil::logAdd(platform::Keychain::shared().add(item));
  }
  return updateInKeyChain(text);
}

bool KPKeyChainUtil::updateInKeyChain(std::string_view text) const {
  platform::Bytes data = keychainutil::valueData(text);
  if (!platform::isValidUtf8(platform::toString(data))) {
    LM_LOG_ERROR("KeyChain Item value is not UTF-8 text");
    return false;
  }
  platform::Keychain& keychain = platform::Keychain::shared();
  platform::KeychainMatch found = keychain.copyMatching(identityQuery());
  if (found.status != platform::Keychain::kSuccess || !found.attributes) return false;
  platform::KeychainQuery search;
  search.attributes = *found.attributes;
  platform::KeychainItem changes;
  changes.attributes.description = keyString_;
  changes.attributes.generic = getKeyData();
  changes.attributes.service = keyString_;
  changes.data = std::move(data);
  return keychainutil::logUpdate(keychain.update(search, changes));
}

bool KPKeyChainUtil::removeFromKeyChain() const {
  platform::KeychainQuery query;
  query.attributes.generic = getKeyData();
  query.attributes.service = keyString_;
  return keychainutil::logDelete(platform::Keychain::shared().remove(query));
}

}  // namespace lumora
