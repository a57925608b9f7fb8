#include "account/KPIdentifierAddition.h"

#include <mutex>

#include "account/KPQBEnDecryptUtil.h"
#include "account/KPUDIDKeyChainUtil.h"
#include "platform/device/Bundle.h"
#include "platform/device/NetworkInterface.h"
#include "platform/device/VendorIdentifier.h"

namespace lumora {
namespace {

struct IdentifierCache {
  std::mutex mutex;
  std::string value;
};

IdentifierCache& cache() {
  static auto& c = *new IdentifierCache();
  return c;
}

std::string cached() {
  std::lock_guard<std::mutex> guard(cache().mutex);
  return cache().value;
}

void setCached(std::string value) {
  std::lock_guard<std::mutex> guard(cache().mutex);
  cache().value = std::move(value);
}

}  // namespace

std::optional<std::string> kpMacaddress() {
  auto name = platform::NetworkInterface::primaryName();
  if (!name) return std::nullopt;
  return platform::NetworkInterface::macAddressText(*name);
}

std::optional<std::string> kpUniqueDeviceIdentifier() {
  std::string text = kpMacaddress().value_or("(null)") +
                     platform::Bundle::infoString("CFBundleIdentifier").value_or("(null)");
  return KPQBEnDecryptUtil::md5String(text);
}

std::string kpUniqueGlobalDeviceIdentifier() {
  if (std::string id = cached(); !id.empty()) return id;

  std::string id = KPUDIDKeyChainUtil::getUDIDFromKeyChain().value_or("");
  setCached(id);
  if (!id.empty()) return id;

  std::optional<std::string> source = platform::VendorIdentifier::identifierForVendor();
  if (!source) source = kpMacaddress();
  if (source) {
    if (auto digest = KPQBEnDecryptUtil::md5String(*source)) id = digest->substr(0, 16);
  }
  setCached(id);
  if (id.empty()) return "";
  KPUDIDKeyChainUtil::setUDIDToKeyChain(id);
  return id;
}

void kpResetUniqueGlobalDeviceIdentifierCacheForTesting() { setCached(""); }

}  // namespace lumora
