#include "account/KPNonceUtil.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "utils/AESCrypt.h"
#include "platform/dispatch/Clock.h"
#include "platform/Random.h"

namespace lumora {
namespace {

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
  std::uint32_t random = 0;
  platform::Bytes bytes = platform::randomBytes(sizeof random);
  std::memcpy(&random, bytes.data(), sizeof random);
  return nonceWithRandom(random, platform::Clock::current()->secondsSince1970());
}

}  // namespace lumora
