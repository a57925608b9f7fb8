#include "account/KPUDIDKeyChainUtil.h"

#include <mutex>

#include "account/KPKeyChainUtil.h"

namespace lumora {
namespace {

constexpr const char* kUDIDItem = "UUID";

struct GroupSlot {
  std::mutex mutex;
  std::optional<std::string> group;
};

GroupSlot& groupSlot() {
  static auto& slot = *new GroupSlot();
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
  auto data = keychainutil::valueData(udid);
  if (!data) return false;
  platform::KeychainItem item;
  item.attributes = readQuery().attributes;
  item.attributes.account = "";
  item.attributes.label = "";
  item.data = std::move(*data);
  return keychainutil::addOrUpdate(readQuery(), std::move(item), [&] { return updateUDIDInKeyChain(udid); });
}

bool KPUDIDKeyChainUtil::updateUDIDInKeyChain(std::string_view udid) {
  auto data = keychainutil::valueData(udid);
  if (!data) return false;
  platform::KeychainItem changes;
  changes.attributes.description = kUDIDItem;
  changes.attributes.generic = platform::toBytes(kUDIDItem);
  changes.data = std::move(*data);
  return keychainutil::updateItem(identityQuery(true), changes);
}

bool KPUDIDKeyChainUtil::removeUDIDFromKeyChain() {
  return keychainutil::removeItem(identityQuery(false));
}

}  // namespace lumora
