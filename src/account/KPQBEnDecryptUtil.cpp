#include "account/KPQBEnDecryptUtil.h"

#include "utils/AESCrypt.h"
#include "utils/MD5.h"
#include "utils/SHA1.h"
#include "platform/Bytes.h"

namespace lumora {
namespace {

// The bytes a zero-terminated reading of the text would see.
std::string_view untilZero(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

}  // namespace

std::optional<std::string> KPQBEnDecryptUtil::md5String(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return platform::upperCased(MD5String(untilZero(text)));
}

std::string KPQBEnDecryptUtil::SHA1For(const platform::Bytes& data) { return sha1String(data); }

std::optional<std::string> KPQBEnDecryptUtil::SHA1ForString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return sha1String(platform::toBytes(untilZero(text)));
}

std::optional<std::string> KPQBEnDecryptUtil::buildSHA1AndBase64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return base64Encoding(sha1Data(platform::toBytes(untilZero(text))));
}

}  // namespace lumora
