#include "stats/KoASMJRoot.h"

#include "stats/KoStatJSONUtil.h"

namespace lumora {

void KoASMJRoot::addPackage(const KoASMJPackage* package) {
  if (package == nullptr) return;
  auto source = package->getSource();
  if (isNonEmptyObject(source)) arrLists.push_back(std::move(*source));
}

std::optional<platform::Json> KoASMJRoot::getSource() const {
  if (arrLists.empty()) return std::nullopt;
  auto text = KoStatJSONUtil::tranToJsonWithObject(platform::Json(arrLists));
  if (!text) return std::nullopt;
  return platform::Json{{"stat_value", *text}};
}

}  // namespace lumora
