#include "stats/KoASMJTimeStatItem.h"

#include "stats/KoStatCoreParam.h"

namespace lumora {

void KoASMJTimeStatItem::addParam(const platform::Json& params) {
  if (!params.is_object()) return;
  for (const auto& [key, value] : params.items()) dicParam[key] = value;
}

std::optional<platform::Json> KoASMJTimeStatItem::getSource() const {
  if (!nStart || !nEnd) return std::nullopt;
  platform::Json source{{"start", millisecondsText(*nStart)}, {"end", millisecondsText(*nEnd)}};
  if (dicParam.empty()) {
    source["env"] = KoStatCoreParam::getNetType();
  } else {
    for (const auto& [key, value] : dicParam.items()) source[key] = value;
  }
  return source;
}

}  // namespace lumora
