#include "stats/KoASMJCustomStatItem.h"

#include <utility>

namespace lumora {

KoASMJCustomStatItem::KoASMJCustomStatItem(std::optional<std::string> key, std::string type,
                                           std::optional<std::string> value,
                                           std::optional<platform::Json> param)
    : strKey(std::move(key)), strType(std::move(type)), strValue(std::move(value)), dicParam(std::move(param)) {}

std::optional<platform::Json> KoASMJCustomStatItem::getSource() const {
  if (!strKey || strKey->empty() || !strValue || strValue->empty()) return std::nullopt;
  platform::Json source{{"key", *strKey}, {"type", strType}, {"value", *strValue}};
  if (isNonEmptyObject(dicParam)) source["params"] = *dicParam;
  return source;
}

}  // namespace lumora
