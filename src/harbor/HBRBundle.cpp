#include "harbor/HBRBundle.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "harbor/HBRHost.h"
#include "platform/device/Bundle.h"
#include "platform/device/ClassRegistry.h"
#include "utils/SHA1.h"

namespace lumora {
namespace {

std::optional<bool> boolValue(const std::optional<nlohmann::json>& value) {
  if (!value) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) return value->get<double>() != 0;
  if (value->is_string()) {
    // A property list's string reads as true when it starts with Y, y, T, t
    // or a non-zero digit.
    std::string text = value->get<std::string>();
    if (text.empty()) return false;
    char first = text[0];
    return first == 'Y' || first == 'y' || first == 'T' || first == 't' ||
           (first >= '1' && first <= '9');
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> HBRSanitizedBundleIdentifier() {
  auto identifier = platform::Bundle::infoString("CFBundleIdentifier");
  if (identifier) std::replace(identifier->begin(), identifier->end(), '/', '_');
  return identifier;
}

std::optional<std::string> HBRBundleBuildVersion() {
  return platform::Bundle::infoString("CFBundleVersion");
}

std::optional<std::string> HBRBundleDisplayVersion() {
  return platform::Bundle::infoString("CFBundleShortVersionString");
}

std::optional<std::string> HBRBundleDisplayName() {
  if (auto name = platform::Bundle::infoString("CFBundleDisplayName")) return name;
  if (auto name = platform::Bundle::infoString("CFBundleName")) return name;
  return HBRBundleBuildVersion();
}

bool HBRAppStoreReceiptExists() {
  if (HBRHostOSVersionCode() < 70000) return false;
  std::string path = platform::Bundle::appStoreReceiptPath();
  std::error_code error;
  return !path.empty() && std::filesystem::exists(path, error);
}

bool HBRIsSignedForDistribution() {
  // Every class of this program lies in the main bundle.
  if (!platform::ClassRegistry::lookUp("Blackbox")) return false;
  return boolValue(platform::Bundle::infoValue("BlackboxSignedForDistribution")).value_or(false);
}

int HBRInstallSource() {
  if (HBRAppStoreReceiptExists()) return 4;
  if (HBRIsSignedForDistribution()) return 3;
  return 1;
}

bool HBRShouldCollectDeviceIdentifiers() {
  auto harbor = platform::Bundle::infoValue("Harbor");
  if (harbor && harbor->is_object()) {
    auto it = harbor->find("ReportIdentifiers");
    if (it != harbor->end()) {
      if (auto value = boolValue(*it)) return *value;
    }
  }
  return boolValue(platform::Bundle::infoValue("BlackboxCollectDeviceIdentifiers")).value_or(true);
}

void HBRHexEncodeBytes(const std::uint8_t* bytes, std::size_t length, char* out) {
  if (out == nullptr) return;
  static const char kDigits[] = "0123456789abcdef";
  std::memset(out, 0, length * 2 + 1);
  if (bytes == nullptr) return;
  for (std::size_t i = 0; i < length; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
}

std::string HBRHexStringFromData(const platform::Bytes& data) {
  std::vector<char> buffer(data.size() * 2 + 1);
  HBRHexEncodeBytes(data.data(), data.size(), buffer.data());
  return std::string(buffer.data());
}

std::string HBRSHA1HexStringFromBytes(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr) length = 0;
  return sha1String(platform::Bytes(bytes, bytes + length));
}

std::string HBRSHA1HexStringFromData(const platform::Bytes& data) { return sha1String(data); }

void HBREnumerateDataByteRanges(const platform::Bytes& data, const HBRByteRangeBlock& block) {
  bool stop = false;
  block(data.data(), 0, data.size(), stop);
}

}  // namespace lumora
