// Reading JSON text that comes from outside (cloud replies, stored records):
// the text is refused before it is parsed when its arrays and objects nest
// deeper than a fixed bound, so no later copy, comparison or dump of the
// tree (each of which recurses once per level) can run the stack out.
// Stateless; any thread; never throws.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/Error.h"

namespace platform {

// The deepest nesting of arrays and objects a reply may have; the local
// cloud refuses client JSON past the same depth.
inline constexpr std::size_t kMaxJsonDepth = 64;

// Whether the arrays and objects of `text` nest deeper than `maxDepth`
// (brackets inside strings do not count). Linear; looks at nothing else.
bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth = kMaxJsonDepth);

// `text` parsed; a discarded value (is_discarded()) when it is no JSON or
// nests deeper than `maxDepth`.
Json parseJson(std::string_view text, std::size_t maxDepth = kMaxJsonDepth);

}  // namespace platform
