#include "platform/device/VendorIdentifier.h"

#include <cctype>

#include "platform/storage/AppHome.h"
#include "platform/Bytes.h"
#include "platform/storage/IdentifierFile.h"
#include "platform/Random.h"

namespace platform {
namespace {

constexpr const char* kVendorFileName = "identifierForVendor";

bool isUuidText(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> VendorIdentifier::identifierForVendor() {
  return readOrCreateIdentifier(
      AppHome::root() / "Library" / kVendorFileName,
      [](const std::string& line) -> std::optional<std::string> {
        if (!isUuidText(line)) return std::nullopt;
        return upperCased(line);
      },
      randomUUIDString);
}

}  // namespace platform
