// What log lines may show of values that can carry secrets. Tokens, keys,
// passwords and cookie values never go into a log line at any level: a URL
// is logged without its query and fragment (which may carry tokens or an
// authorization code), and JSON (a decoded reply) with its http(s) URLs cut
// the same way and the value of every member whose name looks like a secret
// ("token", "key", "password", "secret", "security", "sign", "cookie",
// "ticket", any case) replaced by "(hidden)", at any depth. Stateless; any
// thread; never throws.
#pragma once

#include <string>
#include <string_view>

#include "platform/Error.h"

namespace lumora {

std::string LMLoggableURL(std::string_view url);
platform::Json LMLoggableJSON(const platform::Json& value);

}  // namespace lumora
