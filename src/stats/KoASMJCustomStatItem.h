// One item of a custom or basic category: {"key", "type", "value"} plus
// "params" when the point had a non-empty params object. Nothing without
// a key or a value (absent or empty).
// Plain object; one thread at a time. Failures: none.
#pragma once

#include <optional>
#include <string>

#include "stats/KoASendMessageJsonBase.h"

namespace lumora {

class KoASMJCustomStatItem final : public KoASendMessageJsonBase {
 public:
  // `type` is one of "property", "numeric", "event", "count".
  KoASMJCustomStatItem(std::optional<std::string> key, std::string type,
                       std::optional<std::string> value, std::optional<platform::Json> param);

  std::optional<platform::Json> getSource() const override;

  std::optional<std::string> strKey;
  std::string strType;
  std::optional<std::string> strValue;
  std::optional<platform::Json> dicParam;
};

}  // namespace lumora
