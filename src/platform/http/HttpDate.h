// Dates as HTTP fields carry them ("Wed, 21 Oct 2026 07:28:00 GMT", and the
// older forms a server may still send), read by libcurl. Stateless; any
// thread; a text that is no date reads as nullopt.
#pragma once

#include <optional>
#include <string_view>

#include "platform/dispatch/Clock.h"

namespace platform::http {

// The moment the text names, clamped to what a time point holds.
std::optional<Clock::TimePoint> parseHttpDate(std::string_view text);

}  // namespace platform::http
