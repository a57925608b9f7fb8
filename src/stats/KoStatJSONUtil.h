// Compact JSON texts of the statistics kit: the writer's own output with no
// whitespace between tokens; whitespace inside keys and values is kept.
// Stateless; any thread. Failures: nullopt, never an exception.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace lumora {

class KoStatJSONUtil {
 public:
  KoStatJSONUtil() = delete;

  // The compact text of an array or object; nullopt for anything else and
  // for an empty text. Bytes that are not UTF-8 are written as U+FFFD.
  static std::optional<std::string> tranToJsonWithObject(const platform::Json& object);
  // The JSON value of a text; nullopt when it does not parse.
  static std::optional<platform::Json> tranToObjectWithJson(std::string_view text);
};

}  // namespace lumora
