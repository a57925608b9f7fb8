#include "stats/KoStatUrlCoder.h"

#include "platform/http/Url.h"
#include "utils/AESCrypt.h"
#include "utils/MD5.h"

namespace lumora {
namespace {

bool isBlank(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

bool inAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

std::string KoStatUrlCoder::urlEncode(std::string_view text) {
  return platform::http::percentEncoded(text);
}

std::optional<std::string> KoStatUrlCoder::urlDecode(std::string_view text) {
  auto decoded = platform::http::percentDecoded(text);
  if (!decoded || !platform::isValidUtf8(*decoded)) return std::nullopt;
  return decoded;
}

std::optional<std::string> KoStatUrlCoder::encodeBase64WithString(std::string_view text) {
  return encodeBase64WithData(platform::toBytes(text));
}

std::optional<std::string> KoStatUrlCoder::encodeBase64WithData(const platform::Bytes& data) {
  if (data.empty()) return std::nullopt;
  return base64Encoding(data);
}

std::optional<platform::Bytes> KoStatUrlCoder::decodeBase64WithString(std::string_view text) {
  std::string compact;
  std::size_t padding = 0;
  for (char c : text) {
    if (isBlank(c)) continue;
    if (c == '=') {
      ++padding;
    } else if (!inAlphabet(c) || padding > 0) {
      return std::nullopt;  // a foreign character, or data after the padding
    }
    compact.push_back(c);
  }
  if (padding > 2 || compact.size() % 4 == 1) return std::nullopt;
  while (compact.size() % 4 != 0) compact.push_back('=');
  return dataWithBase64EncodedString(compact);
}

std::optional<std::string> KoStatUrlCoder::md5String(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return platform::upperCased(MD5String(text));
}

std::optional<std::string> KoStatUrlCoder::md5String16(std::string_view text) {
  auto digest = md5String(text);
  if (!digest) return std::nullopt;
  return digest->substr(8, 16);
}

}  // namespace lumora
