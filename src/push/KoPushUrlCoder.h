// The push kit's string coding: URL escaping, Base64 and MD5 digests, the
// same as the statistics kit's (one implementation). Stateless; any thread.
#pragma once

#include "stats/KoStatUrlCoder.h"

namespace lumora {

using KoPushUrlCoder = KoStatUrlCoder;

}  // namespace lumora
