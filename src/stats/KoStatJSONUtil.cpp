#include "stats/KoStatJSONUtil.h"

#include "platform/JsonParse.h"

namespace lumora {

std::optional<std::string> KoStatJSONUtil::tranToJsonWithObject(const platform::Json& object) {
  if (!object.is_array() && !object.is_object()) return std::nullopt;
  std::string text = object.dump(-1, ' ', false, platform::Json::error_handler_t::replace);
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<platform::Json> KoStatJSONUtil::tranToObjectWithJson(std::string_view text) {
  // Replies nested past the bound are refused before anything copies them.
  platform::Json value = platform::parseJson(text);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace lumora
