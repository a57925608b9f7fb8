// One session item: {"start", "end"} (millisecond texts) plus every entry
// of its params, or "env" (the network type when the document is built)
// when it has none. Nothing without a start or an end.
// Plain object; one thread at a time. Failures: none.
#pragma once

#include <optional>

#include "stats/KoASendMessageJsonBase.h"

namespace lumora {

class KoASMJTimeStatItem final : public KoASendMessageJsonBase {
 public:
  // Seconds since 1970.
  KoASMJTimeStatItem(std::optional<double> start, std::optional<double> end)
      : nStart(start), nEnd(end) {}

  // Merges the object's entries into the params.
  void addParam(const platform::Json& params);

  std::optional<platform::Json> getSource() const override;

  std::optional<double> nStart;
  std::optional<double> nEnd;
  platform::Json dicParam = platform::Json::object();
};

}  // namespace lumora
