// The root of the document: {"stat_value": the compact JSON text of the
// day packages, in the order added}. Nothing without a package.
// Plain object; one thread at a time. Failures: none.
#pragma once

#include <vector>

#include "stats/KoASMJPackage.h"
#include "stats/KoASendMessageJsonBase.h"

namespace lumora {

class KoASMJRoot final : public KoASendMessageJsonBase {
 public:
  // Appends the package's source when it is a non-empty object; a null
  // package is ignored.
  void addPackage(const KoASMJPackage* package);

  std::optional<platform::Json> getSource() const override;

  std::vector<platform::Json> arrLists;
};

}  // namespace lumora
