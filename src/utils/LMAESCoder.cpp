#include "utils/LMAESCoder.h"

#include "utils/AESCrypt.h"

namespace lumora {

LMAESCoder::LMAESCoder(std::string key) : key_(std::move(key)) {}

std::optional<std::string> LMAESCoder::encryptString(std::optional<std::string_view> text) const {
  if (!text) return std::nullopt;
  return AES128EncryptWithKey(*text, key_);
}

std::optional<std::string> LMAESCoder::decryptString(std::optional<std::string_view> text) const {
  if (!text) return std::nullopt;
  return AES128DecryptWithKey(*text, key_);
}

}  // namespace lumora
