// The URL escaping of KoPushUrlCoder under the name the push kit's callers
// use (the counters query of the server-side interface).
// Stateless; any thread.
#pragma once

#include "stats/KoStatUrlUtil.h"

namespace lumora {

using KoPushUrlUtil = KoStatUrlUtil;

}  // namespace lumora
