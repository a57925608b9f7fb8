#include "account/KPAESStringDef.h"

#include <utility>
#include <vector>

namespace lumora {

KPAESStringDef::KPAESStringDef(std::string version, std::string iv, std::string data)
    : version_(std::move(version)), iv_(std::move(iv)), data_(std::move(data)) {}

std::optional<KPAESStringDef> KPAESStringDef::initWithVersion(std::string version, std::string iv,
                                                              std::string data) {
  if (version.empty() || iv.empty() || data.empty()) return std::nullopt;
  return KPAESStringDef(std::move(version), std::move(iv), std::move(data));
}

std::optional<KPAESStringDef> KPAESStringDef::initWithAESString(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t colon = text.find(':', start);
    fields.emplace_back(text.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) break;
    if (fields.size() > 3) return std::nullopt;
    start = colon + 1;
  }
  if (fields.size() != 3) return std::nullopt;
  return initWithVersion(std::move(fields[0]), std::move(fields[1]), std::move(fields[2]));
}

std::string KPAESStringDef::description() const { return version_ + ":" + iv_ + ":" + data_; }

}  // namespace lumora
