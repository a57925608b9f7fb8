#include "account/KPAESCoder.h"

#include "utils/AESCrypt.h"

namespace lumora {

std::optional<std::string> KPAESCoder::encryptString(std::optional<std::string_view> text) const {
  if (!text) return std::nullopt;
  return AES128EncryptWithKey(*text, key_);
}

std::optional<std::string> KPAESCoder::decryptString(std::optional<std::string_view> text) const {
  if (!text) return std::nullopt;
  return AES128DecryptWithKey(*text, key_);
}

}  // namespace lumora
