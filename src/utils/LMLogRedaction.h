// What log lines may show of values that can carry secrets. Tokens, keys,
// passwords and cookie values never go into a log line at any level, nor
// into the console's dumps: a URL is logged without its query and fragment
// (which may carry tokens, tickets or an authorization code), and JSON (a
// decoded reply, a form, a push outcome) with its URLs cut the same way
// (absolute http(s) ones and references from the root, "/auth/x?t=..."),
// and the value of every member whose name looks like a secret replaced by
// "(hidden)", at any depth. A name looks like a secret when it holds, in
// any case, "token", "key", "password", "passwd", "pwd", "secret",
// "security", "sign", "cookie", "ticket", "authorization" or "credential",
// or is "hash" (a password's digest). Stateless; any thread; never throws.
#pragma once

#include <string>
#include <string_view>

#include "platform/Error.h"

namespace lumora {

// What a log line shows in the place of a secret.
inline constexpr const char* kLMLogHidden = "(hidden)";

std::string LMLoggableURL(std::string_view url);
// A link that is itself the secret (a temporary download address): without
// its query, fragment and last path segment.
std::string LMLoggableLink(std::string_view url);
platform::Json LMLoggableJSON(const platform::Json& value);
// LMLoggableJSON as one line of text (invalid UTF-8 replaced, the C1 and
// bidirectional controls written as JSON escapes: platform::printableJsonText).
std::string LMLoggableJSONText(const platform::Json& value);

}  // namespace lumora
