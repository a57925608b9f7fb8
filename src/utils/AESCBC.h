// The one AES engine of the client: AES in CBC mode with PKCS#7 padding over
// OpenSSL's EVP interface. Every AES form of the cloud and account SDKs (fixed
// vector or explicit vector, byte or text) runs through these calls.
//
// Stateless and safe to call from any thread at once. Failures (a key that is
// not 16, 24 or 32 bytes, a vector that is not 16 bytes, bad padding, cipher
// text that is not whole blocks) yield nullopt, never partial output.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

// Encrypts `data`; the key length picks AES-128, -192 or -256. The result is
// 16 x (floor(n / 16) + 1) bytes for n input bytes.
std::optional<platform::Bytes> aesCBCEncrypt(std::span<const std::uint8_t> data,
                                             std::span<const std::uint8_t> key,
                                             std::span<const std::uint8_t> iv);

// The inverse: the plain bytes with the padding removed.
std::optional<platform::Bytes> aesCBCDecrypt(std::span<const std::uint8_t> data,
                                             std::span<const std::uint8_t> key,
                                             std::span<const std::uint8_t> iv);

// aesCBCEncrypt with the cipher text written straight as standard Base64
// ("=" padded, one line) after `prefix`, without an intermediate buffer.
std::optional<std::string> aesCBCEncryptToBase64(std::span<const std::uint8_t> data,
                                                 std::span<const std::uint8_t> key,
                                                 std::span<const std::uint8_t> iv,
                                                 std::string_view prefix = {});

// aesCBCDecrypt with the plain bytes returned as a string (not checked for
// UTF-8).
std::optional<std::string> aesCBCDecryptToString(std::span<const std::uint8_t> data,
                                                 std::span<const std::uint8_t> key,
                                                 std::span<const std::uint8_t> iv);

}  // namespace lumora
