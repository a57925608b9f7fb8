#include "utils/LMLogRedaction.h"

#include <array>

#include "platform/Bytes.h"
#include "platform/PrintableText.h"

namespace lumora {
namespace {

bool looksSecret(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kParts = {
      "token", "key",    "password", "passwd", "pwd",           "secret",
      "security", "sign", "cookie",  "ticket", "authorization", "credential"};
  const std::string lower = platform::lowerCased(name);
  if (lower == "hash") return true;
  for (std::string_view part : kParts) {
    if (lower.find(part) != std::string::npos) return true;
  }
  return false;
}

bool looksLikeURL(std::string_view text) {
  if (text.starts_with('/')) return true;
  const std::string scheme = platform::lowerCased(text.substr(0, 8));
  return scheme.starts_with("http://") || scheme.starts_with("https://");
}

}  // namespace

std::string LMLoggableURL(std::string_view url) {
  return std::string(url.substr(0, url.find_first_of("?#")));
}

std::string LMLoggableLink(std::string_view url) {
  std::string shown = LMLoggableURL(url);
  const std::size_t scheme = shown.find("://");
  const std::size_t slash = shown.rfind('/');
  if (scheme != std::string::npos && slash != std::string::npos && slash > scheme + 2) {
    shown = shown.substr(0, slash + 1) + kLMLogHidden;
  }
  return shown;
}

platform::Json LMLoggableJSON(const platform::Json& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    return looksLikeURL(text) ? platform::Json(LMLoggableURL(text)) : value;
  }
  if (value.is_array()) {
    platform::Json out = platform::Json::array();
    for (const auto& element : value) out.push_back(LMLoggableJSON(element));
    return out;
  }
  if (!value.is_object()) return value;
  platform::Json out = platform::Json::object();
  for (auto it = value.begin(); it != value.end(); ++it) {
    out[it.key()] = looksSecret(it.key()) ? platform::Json(kLMLogHidden) : LMLoggableJSON(it.value());
  }
  return out;
}

std::string LMLoggableJSONText(const platform::Json& value) {
  return platform::printableJsonText(
      LMLoggableJSON(value).dump(-1, ' ', false, platform::Json::error_handler_t::replace));
}

}  // namespace lumora
