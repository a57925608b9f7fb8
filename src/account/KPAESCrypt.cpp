#include "account/KPAESCrypt.h"

#include <algorithm>
#include <span>

#include "account/KPAESStringDef.h"
#include "utils/AESCBC.h"
#include "utils/AESCrypt.h"
#include "platform/Random.h"

namespace lumora {

std::optional<platform::Bytes> encryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key,
                                                 const platform::Bytes& iv) {
  return aesCBCEncrypt(data, key, iv);
}

std::optional<platform::Bytes> decryptAESWithKey(const platform::Bytes& data,
                                                 const platform::Bytes& key,
                                                 const platform::Bytes& iv) {
  return aesCBCDecrypt(data, key, iv);
}

std::string base64UrlSafeEncoding(const platform::Bytes& data) {
  std::string text = base64Encoding(data);
  std::replace(text.begin(), text.end(), '/', '_');
  std::replace(text.begin(), text.end(), '+', '-');
  return text;
}

platform::Bytes initWithBase64UrlSafeEncodedString(std::string_view text) {
  std::string standard(text);
  std::replace(standard.begin(), standard.end(), '_', '/');
  std::replace(standard.begin(), standard.end(), '-', '+');
  while (standard.size() % 4 != 0) standard.push_back('=');
  return dataWithBase64EncodedString(standard);
}

std::optional<std::string> AES128RandomIVEncryptWithKey(std::string_view text,
                                                        std::string_view base64Key) {
  platform::Bytes iv = platform::randomBytes(16);
  const std::span<const std::uint8_t> plain(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  // "version:vector:" and then the cipher text, written in place.
  const std::string prefix =
      std::string(KPAESStringDef::kVersion1) + ":" + base64UrlSafeEncoding(iv) + ":";
  return aesCBCEncryptToBase64(plain, dataWithBase64EncodedString(base64Key), iv, prefix);
}

std::optional<std::string> AES128RandomIVDecryptWithKey(std::string_view form,
                                                        std::string_view base64Key) {
  auto parsed = KPAESStringDef::initWithAESString(form);
  if (!parsed || parsed->asd_version() != KPAESStringDef::kVersion1) return std::nullopt;
  auto text = aesCBCDecryptToString(dataWithBase64EncodedString(parsed->asd_data()),
                                    dataWithBase64EncodedString(base64Key),
                                    initWithBase64UrlSafeEncodedString(parsed->asd_iv()));
  if (!text || !platform::isValidUtf8(*text)) return std::nullopt;
  return text;
}

}  // namespace lumora
