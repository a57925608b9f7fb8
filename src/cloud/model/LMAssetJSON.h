// The reading and writing rules that the album and image records share for
// their cloud JSON: a key is used only when its value has the expected kind
// (texts non-empty, lists and dictionaries with an entry, dates above 0), and
// dates travel as whole milliseconds since 1970. Stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/Error.h"

namespace lumora::assetjson {

// A number (booleans count, as the platform's JSON numbers do), as a 64-bit
// integer (a fraction truncated); nullopt for anything else.
std::optional<std::int64_t> integerAt(const platform::Json& object, const char* key);
std::optional<double> realAt(const platform::Json& object, const char* key);
// A non-empty text.
std::optional<std::string> textAt(const platform::Json& object, const char* key);
// A non-empty list or dictionary, as found.
std::optional<platform::Json> listAt(const platform::Json& object, const char* key);
std::optional<platform::Json> dictionaryAt(const platform::Json& object, const char* key);
// Milliseconds above 0 (and within the clock's range) as a time.
std::optional<platform::Clock::TimePoint> dateAt(const platform::Json& object, const char* key);
// A time as whole milliseconds since 1970, truncated toward zero.
std::int64_t milliseconds(platform::Clock::TimePoint time);

}  // namespace lumora::assetjson
