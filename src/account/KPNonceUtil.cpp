#include "account/KPNonceUtil.h"

#include <openssl/rand.h>

#include <cmath>
#include <limits>
#include <random>

#include "cloud/utils/AESCrypt.h"
#include "platform/Clock.h"

namespace lumora {
namespace {

std::uint32_t secureRandom32() {
  std::uint32_t value = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) == 1) return value;
  // OpenSSL's generator failing to seed is next to impossible; the system's
  // random device is still a secure source on Linux.
  std::random_device device;
  return static_cast<std::uint32_t>(device());
}

std::int32_t truncatedSeconds(double seconds) {
  // Out-of-range conversions are undefined in C++, so clamp first (the phone
  // platform's conversion saturates the same way).
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  if (std::isnan(seconds)) return 0;
  if (seconds <= kMin) return std::numeric_limits<std::int32_t>::min();
  if (seconds >= kMax) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(seconds);
}

}  // namespace

std::string KPNonceUtil::nonceWithRandom(std::uint32_t randomValue, double secondsSince1970) {
  const std::string text = std::to_string(static_cast<std::int32_t>(randomValue)) +
                           std::to_string(truncatedSeconds(secondsSince1970));
  return base64Encoding(platform::toBytes(text));
}

std::string KPNonceUtil::generateNonce() {
  return nonceWithRandom(secureRandom32(), platform::Clock::current()->secondsSince1970());
}

}  // namespace lumora
