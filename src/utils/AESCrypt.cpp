#include "utils/AESCrypt.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "utils/AESCBC.h"
#include "utils/RC4.h"

namespace lumora {
namespace {

std::span<const std::uint8_t> fixedIV() {
  return {reinterpret_cast<const std::uint8_t*>(kFixedAESIV.data()), kFixedAESIV.size()};
}

// The AES-128 forms read exactly 16 key bytes, so shorter keys are refused
// before anything is read.
std::optional<std::span<const std::uint8_t>> first16(const platform::Bytes& key) {
  if (key.size() < 16) return std::nullopt;
  return std::span<const std::uint8_t>(key.data(), 16);
}

}  // namespace

std::optional<platform::Bytes> AES128EncryptWithDataKey(const platform::Bytes& data,
                                                        const platform::Bytes& key) {
  auto k = first16(key);
  if (!k) return std::nullopt;
  return aesCBCEncrypt(data, *k, fixedIV());
}

std::optional<platform::Bytes> AES128DecryptWithDataKey(const platform::Bytes& data,
                                                        const platform::Bytes& key) {
  auto k = first16(key);
  if (!k) return std::nullopt;
  return aesCBCDecrypt(data, *k, fixedIV());
}

std::optional<platform::Bytes> encryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key) {
  return aesCBCEncrypt(data, key, fixedIV());
}

std::optional<platform::Bytes> decryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key) {
  return aesCBCDecrypt(data, key, fixedIV());
}

bool hasPrefixBytes(const platform::Bytes& data, const void* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0 || data.size() < length) return false;
  return std::memcmp(data.data(), bytes, length) == 0;
}

bool hasSuffixBytes(const platform::Bytes& data, const void* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0 || data.size() < length) return false;
  return std::memcmp(data.data() + (data.size() - length), bytes, length) == 0;
}

std::optional<platform::Bytes> RC4EncryptWithKey(const platform::Bytes& data, std::string_view key) {
  if (!platform::isValidUtf8(key)) return std::nullopt;
  return rc4DataWithKey(data, platform::toBytes(key));
}

std::optional<platform::Bytes> RC4DecryptWithKey(const platform::Bytes& data, std::string_view key) {
  return RC4EncryptWithKey(data, key);
}

std::optional<platform::Bytes> RC4EncryptWithDataKey(const platform::Bytes& data,
                                                     const platform::Bytes& key) {
  return rc4DataWithKey(data, key);
}

std::optional<platform::Bytes> RC4DecryptWithDataKey(const platform::Bytes& data,
                                                     const platform::Bytes& key) {
  return rc4DataWithKey(data, key);
}

std::optional<std::string> AES128EncryptWithKey(std::string_view text, std::string_view base64Key) {
  const platform::Bytes key = dataWithBase64EncodedString(base64Key);
  return aesCBCEncryptToBase64(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
      key, fixedIV());
}

std::optional<std::string> AES128DecryptWithKey(std::string_view base64Text,
                                                std::string_view base64Key) {
  const platform::Bytes key = dataWithBase64EncodedString(base64Key);
  auto k = first16(key);
  if (!k) return std::string();
  auto text = aesCBCDecryptToString(dataWithBase64EncodedString(base64Text), *k, fixedIV());
  if (!text) return std::string();
  if (!platform::isValidUtf8(*text)) return std::nullopt;
  return text;
}

}  // namespace lumora
