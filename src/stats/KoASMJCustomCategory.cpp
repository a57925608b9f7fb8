#include "stats/KoASMJCustomCategory.h"

namespace lumora {

void KoASMJCustomCategory::addItem(const KoASendMessageJsonBase& item) {
  auto source = item.getSource();
  if (isNonEmptyObject(source)) arrValues.push_back(std::move(*source));
}

std::optional<platform::Json> KoASMJCustomCategory::getSource() const {
  if (arrValues.empty()) return std::nullopt;
  return platform::Json{{"category", strCategory}, {"values", arrValues}};
}

}  // namespace lumora
