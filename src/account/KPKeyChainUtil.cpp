#include "account/KPKeyChainUtil.h"

#include "utils/LMLogUtil.h"

namespace lumora {

namespace keychainutil {

namespace {
// Logs and returns the outcome of an add, update or delete.
bool logOutcome(std::int32_t status, const char* success, const char* failure) {
  if (status != platform::Keychain::kSuccess) {
    LM_LOG_ERROR("{}: {}", failure, status);
    return false;
  }
  LM_LOG_INFO("{}", success);
  return true;
}
}  // namespace

std::optional<platform::Bytes> valueData(std::string_view text) {
  auto zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  if (!platform::isValidUtf8(std::string(text))) {
    LM_LOG_ERROR("KeyChain Item value is not UTF-8 text");
    return std::nullopt;
  }
  return platform::toBytes(text);
}

std::optional<std::string> readItem(const platform::KeychainQuery& query) {
  platform::KeychainMatch match = platform::Keychain::shared().copyMatching(query);
  // A missing item is the expected answer before the first sign-in, not an
  // error.
  if (match.status == platform::Keychain::kItemNotFound) {
    LM_LOG_INFO("KeyChain Item query Error: {}", match.status);
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

bool addOrUpdate(const platform::KeychainQuery& read, platform::KeychainItem item,
                 const std::function<bool()>& update) {
  if (readItem(read)) return update();
  return logOutcome(platform::Keychain::shared().add(item), "Add KeyChain Item Success",
                    "Add KeyChain Item Error");
}

bool updateItem(const platform::KeychainQuery& identity, const platform::KeychainItem& changes) {
  platform::Keychain& keychain = platform::Keychain::shared();
  platform::KeychainMatch found = keychain.copyMatching(identity);
  if (found.status != platform::Keychain::kSuccess || !found.attributes) return false;
  platform::KeychainQuery search;
  search.attributes = *found.attributes;
  return logOutcome(keychain.update(search, changes), "Update KeyChain Item Success",
                    "Update KeyChain Item Error");
}

bool removeItem(const platform::KeychainQuery& query) {
  // One message for every item, as the account SDK has always logged it.
  return logOutcome(platform::Keychain::shared().remove(query), "delete UUID from KeyChain success",
                    "delete UUID from KeyChain Error");
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
  static auto& util = *new KPKeyChainUtil([] {
    KPKeyChainUtil u("CATOKEN");
    u.setKeyChainAccessGroup("com.quenby.passport.catoken");
    return u;
  }());
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
  auto data = keychainutil::valueData(text);
  if (!data) return false;
  platform::KeychainItem item;
  item.attributes = readQuery().attributes;
  item.data = std::move(*data);
  return keychainutil::addOrUpdate(readQuery(), std::move(item), [&] { return updateInKeyChain(text); });
}

bool KPKeyChainUtil::updateInKeyChain(std::string_view text) const {
  auto data = keychainutil::valueData(text);
  if (!data) return false;
  platform::KeychainItem changes;
  changes.attributes.description = keyString_;
  changes.attributes.generic = getKeyData();
  changes.attributes.service = keyString_;
  changes.data = std::move(*data);
  return keychainutil::updateItem(identityQuery(), changes);
}

bool KPKeyChainUtil::removeFromKeyChain() const {
  platform::KeychainQuery query;
  query.attributes.generic = getKeyData();
  query.attributes.service = keyString_;
  return keychainutil::removeItem(query);
}

}  // namespace lumora
