#include "utils/LMLogRedaction.h"

#include <array>

#include "platform/Bytes.h"

namespace lumora {
namespace {

bool looksSecret(std::string_view name) {
  static constexpr std::array<std::string_view, 9> kParts = {
      "token", "key", "password", "passwd", "secret", "security", "sign", "cookie", "ticket"};
  const std::string lower = platform::lowerCased(name);
  for (std::string_view part : kParts) {
    if (lower.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string LMLoggableURL(std::string_view url) {
  return std::string(url.substr(0, url.find_first_of("?#")));
}

platform::Json LMLoggableJSON(const platform::Json& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    const std::string scheme = platform::lowerCased(std::string_view(text).substr(0, 8));
    if (scheme.starts_with("http://") || scheme.starts_with("https://")) return LMLoggableURL(text);
    return value;
  }
  if (value.is_array()) {
    platform::Json out = platform::Json::array();
    for (const auto& element : value) out.push_back(LMLoggableJSON(element));
    return out;
  }
  if (!value.is_object()) return value;
  platform::Json out = platform::Json::object();
  for (auto it = value.begin(); it != value.end(); ++it) {
    out[it.key()] = looksSecret(it.key()) ? platform::Json("(hidden)") : LMLoggableJSON(it.value());
  }
  return out;
}

}  // namespace lumora
