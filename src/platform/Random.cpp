#include "platform/Random.h"

#include <openssl/rand.h>

#include <climits>
#include <random>

namespace platform {

Bytes randomBytes(std::size_t count) {
  Bytes bytes(count);
  if (count == 0) return bytes;
  if (count <= INT_MAX && RAND_bytes(bytes.data(), static_cast<int>(count)) == 1) return bytes;
  // OpenSSL's generator failing to seed is next to impossible; the system's
  // random device is still a secure source on Linux.
  std::random_device device;
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(device());
  return bytes;
}

std::string randomUUIDString() {
  Bytes b = randomBytes(16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string hex = upperCased(hexString(b));
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
         "-" + hex.substr(20);
}

}  // namespace platform
