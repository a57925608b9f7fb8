// String coding of the statistics kit: URL escaping, Base64 and MD5 digests
// (upper-case hexadecimal). Of these the kit itself uses only md5String
// (crash upload, point grouping); the rest is offered to its callers.
// Stateless; any thread. Failures are nullopt, as described per function.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

class KoStatUrlCoder {
 public:
  KoStatUrlCoder() = delete;

  // Percent-escapes the UTF-8 bytes of every character but letters, digits
  // and "-._~" (so also every character of ":/?#[]@!$&'()*+,;=").
  static std::string urlEncode(std::string_view text);
  // Every percent escape replaced; nullopt for a broken escape or a result
  // that is not UTF-8.
  static std::optional<std::string> urlDecode(std::string_view text);

  // Standard Base64 (RFC 4648, "=" padding, one line) of the text's bytes or
  // of the data; nullopt for empty input.
  static std::optional<std::string> encodeBase64WithString(std::string_view text);
  static std::optional<std::string> encodeBase64WithData(const platform::Bytes& data);
  // Standard Base64 decoding. Tab, line feed, form feed, carriage return and
  // space are skipped; any other character outside the alphabet (or "="
  // anywhere but at the end) gives nullopt. Missing padding is supplied.
  static std::optional<platform::Bytes> decodeBase64WithString(std::string_view text);

  // MD5 of the text's bytes as 32 upper-case hexadecimal digits; nullopt for
  // the empty text.
  static std::optional<std::string> md5String(std::string_view text);
  // The middle 16 of those digits (digest bytes 4 to 11).
  static std::optional<std::string> md5String16(std::string_view text);
};

}  // namespace lumora
