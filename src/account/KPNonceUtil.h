// The nonce of CA-encrypted account requests: a cryptographically random
// 32-bit value and the current time (platform::Clock) as "%d%d", in Base64.
// Stateless, any thread, never fails.
#pragma once

#include <cstdint>
#include <string>

namespace lumora {

class KPNonceUtil {
 public:
  KPNonceUtil() = delete;

  // A fresh nonce from the secure random source and the current time.
  static std::string generateNonce();
  // The nonce for a given random value and time: the value printed as a
  // signed 32-bit number, then the seconds since 1970 truncated toward zero
  // (held to the signed 32-bit range), the text Base64 encoded.
  static std::string nonceWithRandom(std::uint32_t randomValue, double secondsSince1970);
};

}  // namespace lumora
