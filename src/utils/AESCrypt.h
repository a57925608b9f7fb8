// Byte-buffer and text coding operations of the cloud SDK: AES under the fixed
// initialisation vector "7351902846153072", Base64 (the wire form of binary
// values), prefix and suffix tests and RC4 with a text or byte key.
//
// All functions are stateless and may run on any thread at once. Failures
// yield nullopt, never partial data: a key of the wrong length (AES), an
// empty key (RC4), bad padding or corrupt cipher text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

// The initialisation vector of every fixed-vector AES operation.
inline constexpr std::string_view kFixedAESIV = "7351902846153072";

// AES-128-CBC with PKCS#7 padding under the first 16 key bytes; nullopt when
// the key is shorter than 16 bytes or the cipher fails.
std::optional<platform::Bytes> AES128EncryptWithDataKey(const platform::Bytes& data,
                                                        const platform::Bytes& key);
std::optional<platform::Bytes> AES128DecryptWithDataKey(const platform::Bytes& data,
                                                        const platform::Bytes& key);

// AES-CBC with PKCS#7 padding under the whole key: 16, 24 or 32 bytes select
// AES-128, -192 or -256; any other length yields nullopt.
std::optional<platform::Bytes> encryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key);
std::optional<platform::Bytes> decryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key);

// Lenient Base64 decoding: characters outside the alphabet are skipped, the
// first "=" ends the text, an unpadded last group is dropped. Text that is not
// pure ASCII decodes to empty data.
platform::Bytes dataWithBase64EncodedString(std::string_view text);

// Standard Base64 ("=" padded) on one line.
std::string base64Encoding(const platform::Bytes& data);
// Standard Base64 with a "\n" after each group of four characters that brings
// the current line to `lineLength` characters or more; 0 means one line.
std::string base64EncodingWithLineLength(const platform::Bytes& data, std::size_t lineLength);

// True when `data` begins (ends) with the `length` bytes at `bytes`; false for
// a null pointer, a zero length or data shorter than `length`.
bool hasPrefixBytes(const platform::Bytes& data, const void* bytes, std::size_t length);
bool hasSuffixBytes(const platform::Bytes& data, const void* bytes, std::size_t length);

// RC4 over the data under the key text's bytes (which must be valid UTF-8) or
// under key bytes. Encryption and decryption are the same transform; nullopt
// for an empty or invalid key or when the RC4 cipher is unavailable.
std::optional<platform::Bytes> RC4EncryptWithKey(const platform::Bytes& data, std::string_view key);
std::optional<platform::Bytes> RC4DecryptWithKey(const platform::Bytes& data, std::string_view key);
std::optional<platform::Bytes> RC4EncryptWithDataKey(const platform::Bytes& data,
                                                     const platform::Bytes& key);
std::optional<platform::Bytes> RC4DecryptWithDataKey(const platform::Bytes& data,
                                                     const platform::Bytes& key);

// Text forms keyed by the Base64 text of the key (the session's security key).
//
// The text's bytes encrypted with encryptAESWithKey under the decoded key,
// then Base64 encoded; nullopt when encryption fails (no key, wrong length).
std::optional<std::string> AES128EncryptWithKey(std::string_view text, std::string_view base64Key);
// The text Base64-decoded and decrypted with AES128DecryptWithDataKey (first
// 16 key bytes). A failed decryption yields the empty string; decrypted bytes
// that are not valid UTF-8 yield nullopt. Only 16-byte keys round-trip with
// AES128EncryptWithKey, which uses the whole key.
std::optional<std::string> AES128DecryptWithKey(std::string_view base64Text,
                                                std::string_view base64Key);

}  // namespace lumora
