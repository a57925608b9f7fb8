// Digests, Base64, random values, request signatures and the cloud's AES
// form of the local cloud, written over OpenSSL. Stateless free functions,
// safe from any thread. Bad input yields std::nullopt; the only throw is
// std::runtime_error from the random values when the system's random
// source fails (no token could be trusted then).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace localcloud::crypto {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::string_view bytes);
// Strict decoding: length a multiple of 4, only alphabet characters, padding
// only at the end. Anything else gives nullopt.
std::optional<std::string> base64Decode(std::string_view text);
// URL-safe Base64 without padding; used for opaque tokens.
std::string base64UrlEncode(std::string_view bytes);

// Lower-case hexadecimal digits of the bytes.
std::string hexEncode(std::string_view bytes);
// The bytes spelled by pairs of hexadecimal digits (either case); nullopt
// for an odd length or a character that is no hexadecimal digit.
std::optional<std::string> hexDecode(std::string_view text);

// SHA-1 of the bytes, its 20 raw bytes in standard Base64 (28 characters).
std::string sha1Base64(std::string_view text);
// MD5 of the bytes as 32 upper-case hexadecimal digits.
std::string md5HexUpper(std::string_view text);
// HMAC-SHA1 of data under key, in standard Base64.
std::string hmacSha1Base64(std::string_view key, std::string_view data);

// Cryptographically random bytes, digits and a positive 63-bit integer.
std::string randomBytes(std::size_t count);
std::string randomDigits(std::size_t count);
std::int64_t randomPositiveInt64();
// A fresh opaque token: `byteCount` random bytes in URL-safe Base64.
std::string randomToken(std::size_t byteCount = 24);
// True for a text that could be such a token: 1 to 64 letters, digits, "-"
// and "_" (what names a token's file or row safely).
bool isToken(std::string_view text);

// Equality in time independent of where the texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

// The account and cloud request signature: the upper-case method (when not
// empty), the URL path (when not empty), one "name=value" per parameter in
// ascending byte order of the names, and the security key, joined by "&";
// then SHA-1 and Base64. Returns nullopt for an empty security key.
std::optional<std::string> requestSignature(
    std::string_view method, std::string_view path,
    const std::map<std::string, std::string>& params, std::string_view security);

// The client sign of the service-token step: the signature above with no
// method, no path and the single parameter nonce = the decimal nonce.
std::string clientSign(std::int64_t nonce, std::string_view security);

// The cloud's AES form: AES-128-CBC with PKCS#7 padding and the fixed IV
// "7351902846153072", keyed by the Base64 text of a 16-byte key (a login's
// security key). Encryption gives the Base64 text of the ciphertext.
inline constexpr std::string_view kAesIv = "7351902846153072";
// nullopt when the key is not the Base64 text of 16 bytes.
std::optional<std::string> aesEncryptBase64(std::string_view plain, std::string_view keyBase64);
// nullopt when the key is not the Base64 text of 16 bytes, the text is not
// strict Base64, or the bytes do not decrypt (length, padding).
std::optional<std::string> aesDecryptBase64(std::string_view cipherBase64,
                                            std::string_view keyBase64);

// The CA form of the account service's CA login: "1:<IV>:<data>", the IV
// 16 fresh random bytes in URL-safe Base64 ("-" and "_", "=" padding kept),
// the data AES-128-CBC with PKCS#7 padding in standard Base64, keyed by the
// Base64 text of a 16-byte key (a CA security key).
inline constexpr std::string_view kRandomIvVersion = "1";
// nullopt when the key is not the Base64 text of 16 bytes.
std::optional<std::string> randomIvEncrypt(std::string_view plain, std::string_view keyBase64);
// nullopt for a text that is not three ":"-separated fields of version "1",
// an IV that is not 16 bytes (missing "=" padding is accepted), a key that
// is not 16 bytes, or data that does not decrypt.
std::optional<std::string> randomIvDecrypt(std::string_view form, std::string_view keyBase64);

}  // namespace localcloud::crypto
