// Dates as HTTP fields carry them ("Wed, 21 Oct 2026 07:28:00 GMT", and the
// older forms a server may still send). Stateless; any thread; a text that
// is no date reads as nullopt.
#pragma once

#include <optional>
#include <string_view>

#include "platform/dispatch/Clock.h"

namespace platform::http {

// The moment the text names, clamped to what a time point holds. Read by
// libcurl, which takes whatever looks like a date (cookies' "Expires" come
// in many forms).
std::optional<Clock::TimePoint> parseHttpDate(std::string_view text);

// The same for a field that must hold an HTTP date and nothing else: the
// whole text is one of the three forms ("Sun, 06 Nov 1994 08:49:37 GMT",
// "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994"), in any
// locale; a text that merely holds a date, or a date of another form
// ("2026-10-21T07:30:00Z"), is none.
std::optional<Clock::TimePoint> parseHttpFieldDate(std::string_view text);

}  // namespace platform::http
