// The category of the first-run and upgrade points, "kostat_basic".
// Plain object; one thread at a time. Failures: none.
#pragma once

#include "stats/KoASMJCustomCategory.h"

namespace lumora {

class KoASMJBasicCategory final : public KoASMJCustomCategory {
 public:
  KoASMJBasicCategory() : KoASMJCustomCategory("kostat_basic") {}
};

}  // namespace lumora
