// The URL escaping of KoStatUrlCoder under the name callers of the kit also
// use. Stateless; any thread.
#pragma once

#include "stats/KoStatUrlCoder.h"

namespace lumora {

class KoStatUrlUtil {
 public:
  KoStatUrlUtil() = delete;

  static std::string urlEncode(std::string_view text) { return KoStatUrlCoder::urlEncode(text); }
  static std::optional<std::string> urlDecode(std::string_view text) {
    return KoStatUrlCoder::urlDecode(text);
  }
};

}  // namespace lumora
