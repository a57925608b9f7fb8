// The account SDK's AES forms beyond the cloud SDK's (utils/AESCrypt.h,
// whose Base64 and AES these build on): AES with an explicit vector, URL-safe
// Base64 and the random-vector text form of CA request bodies.
//
// Stateless, any thread. Every failure yields nullopt: a key that is not 16,
// 24 or 32 bytes, a vector that is not 16 bytes, bad padding, an unparsable
// form, a version other than "1" or plain bytes that are not UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

// AES-CBC with PKCS#7 padding under the whole key (16, 24 or 32 bytes) and
// the given 16-byte vector.
std::optional<platform::Bytes> encryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key,
                                                 const platform::Bytes& iv);
std::optional<platform::Bytes> decryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key,
                                                 const platform::Bytes& iv);

// Standard Base64 with "/" written as "_" and "+" as "-"; "=" padding stays.
std::string base64UrlSafeEncoding(const platform::Bytes& data);
// The inverse; missing "=" padding is restored before decoding.
platform::Bytes initWithBase64UrlSafeEncodedString(std::string_view text);

// The text's bytes encrypted under a fresh random vector and the key (Base64
// text), in the version-1 form "1:<vector>:<data>".
std::optional<std::string> AES128RandomIVEncryptWithKey(std::string_view text,
                                                        std::string_view base64Key);
// The plain text of a version-1 form.
std::optional<std::string> AES128RandomIVDecryptWithKey(std::string_view form,
                                                        std::string_view base64Key);

}  // namespace lumora
