// Text encodings of the request layer: the platform's numeric encoding
// constants, their IANA charset names, and conversion between UTF-8 (the
// text form used everywhere inside the client) and the bytes of an encoding,
// through ICU converters.
//
// Stateless free functions, safe on any thread. Conversions are strict: a
// byte sequence or character that the encoding cannot represent yields
// nullopt, never a lossy substitute.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

using LMStringEncoding = std::uint32_t;

// The platform's encoding numbers (the values the serializers store).
inline constexpr LMStringEncoding kLMASCIIStringEncoding = 1;
inline constexpr LMStringEncoding kLMUTF8StringEncoding = 4;
inline constexpr LMStringEncoding kLMISOLatin1StringEncoding = 5;
inline constexpr LMStringEncoding kLMWindowsCP1252StringEncoding = 12;
inline constexpr LMStringEncoding kLMUTF16StringEncoding = 10;

// "utf-8", "us-ascii", "iso-8859-1", "windows-1252", "utf-16"; nullopt for a
// number this client does not know.
std::optional<std::string> LMIANACharsetName(LMStringEncoding encoding);
// The encoding of an IANA charset name (any case, ICU aliases included),
// or nullopt when the name is unknown.
std::optional<LMStringEncoding> LMStringEncodingFromIANAName(std::string_view name);

// `bytes` read as text in `encoding`, returned as UTF-8.
std::optional<std::string> LMDecodeText(const platform::Bytes& bytes, LMStringEncoding encoding);
// UTF-8 `text` written in `encoding`.
std::optional<platform::Bytes> LMEncodeText(std::string_view text, LMStringEncoding encoding);

}  // namespace lumora
