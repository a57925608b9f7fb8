#include "stats/KoASMJPackage.h"

#include <typeinfo>
#include <utility>

namespace lumora {

void KoASMJPackage::setTsWithStart(double start, double end) {
  nStart = start;
  nEnd = end;
}

void KoASMJPackage::addCategory(std::shared_ptr<KoASendMessageJsonBase> category) {
  if (category) arrContent.push_back(std::move(category));
}

std::shared_ptr<KoASMJCustomCategory> KoASMJPackage::getCustomCategory(
    const std::optional<std::string>& name) {
  std::string wanted = name && !name->empty() ? *name : KoASMJCustomCategory::kDefaultName;
  for (auto it = arrContent.rbegin(); it != arrContent.rend(); ++it) {
    // Custom categories only: the basic and session ones share the type's
    // base but are not custom.
    const KoASendMessageJsonBase& category = **it;
    if (typeid(category) != typeid(KoASMJCustomCategory)) continue;
    auto custom = std::static_pointer_cast<KoASMJCustomCategory>(*it);
    if (custom->strCategory == wanted) return custom;
  }
  auto created = std::make_shared<KoASMJCustomCategory>(wanted);
  arrContent.push_back(created);
  return created;
}

std::optional<platform::Json> KoASMJPackage::getSource() const {
  if (arrContent.empty()) return std::nullopt;
  platform::Json content = platform::Json::array();
  for (const auto& category : arrContent) {
    auto source = category->getSource();
    if (isNonEmptyObject(source)) content.push_back(std::move(*source));
  }
  return platform::Json{{"content", content}, {"startTS", millisecondsText(nStart)}, {"endTS", millisecondsText(nEnd)}};
}

}  // namespace lumora
