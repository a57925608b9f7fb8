#include "utils/MD5.h"

#include "utils/Digest.h"

namespace lumora {

platform::Bytes MD5Data(const platform::Bytes& data) {
  return digestOf(DigestKind::MD5, data.data(), data.size());
}

platform::Bytes MD5Data(std::string_view text) {
  return digestOf(DigestKind::MD5, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string MD5String(const platform::Bytes& data) { return platform::hexString(MD5Data(data)); }

std::string MD5String(std::string_view text) { return platform::hexString(MD5Data(text)); }

}  // namespace lumora
