// The page-view category "kostat_pv": "index" is the distinct page names
// joined with ","; each text of "values" lists one session's page views as
// 1-based positions in that index, joined with "," (negative positions are
// left out, so [-1] gives the empty text of a session without page views).
// Nothing without an index entry or a value.
// Plain object; one thread at a time. Failures: none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stats/KoASendMessageJsonBase.h"

namespace lumora {

class KoASMJPVCategory final : public KoASendMessageJsonBase {
 public:
  static constexpr const char* kCategory = "kostat_pv";

  // Appends a non-empty page name.
  void addIndex(const std::string& name);
  // Appends a non-empty list of 0-based positions.
  void addValue(std::vector<std::int64_t> positions);

  std::optional<platform::Json> getSource() const override;

  std::vector<std::string> arrIndex;
  std::vector<std::vector<std::int64_t>> arrValues;
};

}  // namespace lumora
