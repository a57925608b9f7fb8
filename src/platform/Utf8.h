// Character boundaries of UTF-8 text, for code that must cut or check text
// without allocating (crash capture, fixed-size tables). Stateless; any
// thread; async-signal-safe.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// Length (1 to 4) of the well-formed UTF-8 character that starts at
// text[at], or 0 when the bytes there are none (or `at` is past the end).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);
// The largest length up to `limit` that cuts `text` between characters: a
// character that would be cut at `limit` is left out whole.
std::size_t utf8CharacterBoundary(std::string_view text, std::size_t limit);

}  // namespace platform
