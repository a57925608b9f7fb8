#include "stats/KoASMJPVCategory.h"

#include <utility>

namespace lumora {

void KoASMJPVCategory::addIndex(const std::string& name) {
  if (!name.empty()) arrIndex.push_back(name);
}

void KoASMJPVCategory::addValue(std::vector<std::int64_t> positions) {
  if (!positions.empty()) arrValues.push_back(std::move(positions));
}

std::optional<platform::Json> KoASMJPVCategory::getSource() const {
  if (arrIndex.empty() || arrValues.empty()) return std::nullopt;
  std::string index = arrIndex.front();
  for (std::size_t i = 1; i < arrIndex.size(); ++i) index += "," + arrIndex[i];
  platform::Json values = platform::Json::array();
  for (const auto& positions : arrValues) {
    std::string text;
    bool first = true;
    for (std::int64_t position : positions) {
      // Negative entries are skipped; whether a "," goes before an entry
      // depends on its place in the list, not on what was written.
      if (position >= 0) text += (first ? "" : ",") + std::to_string(position + 1);
      first = false;
    }
    values.push_back(std::move(text));
  }
  return platform::Json{{"category", kCategory}, {"index", index}, {"values", values}};
}

}  // namespace lumora
