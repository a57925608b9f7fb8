// The category of the session items, "kostat_session".
// Plain object; one thread at a time. Failures: none.
#pragma once

#include "stats/KoASMJCustomCategory.h"

namespace lumora {

class KoASMJTimeCategory final : public KoASMJCustomCategory {
 public:
  KoASMJTimeCategory() : KoASMJCustomCategory("kostat_session") {}
};

}  // namespace lumora
