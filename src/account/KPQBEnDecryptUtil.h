// Digests in the text forms the account service and the device identifiers
// expect. Class operations only; stateless, any thread. A text digest of an
// empty text yields nullopt; nothing else fails.
//
// The text digests read the text as a zero-terminated string: bytes from the
// first zero byte on are not digested.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

class KPQBEnDecryptUtil {
 public:
  KPQBEnDecryptUtil() = delete;

  // MD5 of the text as 32 upper-case hexadecimal digits.
  static std::optional<std::string> md5String(std::string_view text);
  // SHA-1 of the bytes as 40 lower-case hexadecimal digits (empty bytes give
  // the digest of no input).
  static std::string SHA1For(const platform::Bytes& data);
  // SHA-1 of the text as 40 lower-case hexadecimal digits.
  static std::optional<std::string> SHA1ForString(std::string_view text);
  // The 20 raw SHA-1 bytes of the text in standard Base64: 28 characters
  // ending in one "=". The digest of request signatures.
  static std::optional<std::string> buildSHA1AndBase64(std::string_view text);
};

}  // namespace lumora
