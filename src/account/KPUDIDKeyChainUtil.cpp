#include "account/KPUDIDKeyChainUtil.h"

#include <mutex>

#include "account/KPKeyChainUtil.h"
#include "cloud/utils/LMLogUtil.h"

namespace lumora {
namespace {

constexpr const char* kUDIDItem = "UUID";

struct GroupSlot {
  std::mutex mutex;
  std::optional<std::string> group;
};

GroupSlot& groupSlot() {
  static GroupSlot slot;
  return slot;
}

std::optional<std::string> groupIfSet() {
  auto group = KPUDIDKeyChainUtil::keyChainAccessGroup();
  if (group && !group->empty()) return group;
  return std::nullopt;
}

platform::KeychainQuery readQuery() {
  platform::KeychainQuery query;
  query.attributes.description = kUDIDItem;
  query.attributes.generic = platform::toBytes(kUDIDItem);
  query.attributes.accessGroup = groupIfSet();
  query.caseInsensitive = true;
  return query;
}

platform::KeychainQuery identityQuery(bool caseInsensitive) {
  platform::KeychainQuery query;
  query.attributes.generic = platform::toBytes(kUDIDItem);
  query.caseInsensitive = caseInsensitive;
  return query;
}

bool validText(const platform::Bytes& data) {
  if (platform::isValidUtf8(platform::toString(data))) return true;
  LM_LOG_ERROR("KeyChain Item value is not UTF-8 text");
  return false;
}

}  // namespace

void KPUDIDKeyChainUtil::setKeyChainAccessGroup(std::optional<std::string> group) {
  std::lock_guard<std::mutex> guard(groupSlot().mutex);
  groupSlot().group = std::move(group);
}

std::optional<std::string> KPUDIDKeyChainUtil::keyChainAccessGroup() {
  std::lock_guard<std::mutex> guard(groupSlot().mutex);
  return groupSlot().group;
}

std::optional<std::string> KPUDIDKeyChainUtil::getUDIDFromKeyChain() {
  return keychainutil::readItem(readQuery());
}

bool KPUDIDKeyChainUtil::setUDIDToKeyChain(std::string_view udid) {
  platform::Bytes data = keychainutil::valueData(udid);
  if (!validText(data)) return false;
  if (!getUDIDFromKeyChain()) {
    platform::KeychainItem item;
    item.attributes = readQuery().attributes;
    item.attributes.account = "";
    item.attributes.label = "";
    item.data = std::move(data);
    return keychainutil::logAdd(platform::Keychain::shared().add(item));
  }
  return updateUDIDInKeyChain(udid);
}

bool KPUDIDKeyChainUtil::updateUDIDInKeyChain(std::string_view udid) {
  platform::Bytes data = keychainutil::valueData(udid);
  if (!validText(data)) return false;
  platform::Keychain& keychain = platform::Keychain::shared();
  platform::KeychainMatch found = keychain.copyMatching(identityQuery(true));
  if (found.status != platform::Keychain::kSuccess || !found.attributes) return false;
  platform::KeychainQuery search;
  search.attributes = *found.attributes;
  platform::KeychainItem changes;
  changes.attributes.description = kUDIDItem;
  changes.attributes.generic = platform::toBytes(kUDIDItem);
  changes.data = std::move(data);
  return keychainutil::logUpdate(keychain.update(search, changes));
}

bool KPUDIDKeyChainUtil::removeUDIDFromKeyChain() {
  return keychainutil::logDelete(platform::Keychain::shared().remove(identityQuery(false)));
}

}  // namespace lumora
