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

}  // namespace platform
