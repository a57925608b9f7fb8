// The device console (the system log developers read): plain text lines,
// apart from the SDK's own log sink. Here they go to standard error.
//
// Threading: any thread; each line is written whole. Nothing fails.
#pragma once

#include <string_view>

namespace platform {

void consoleLog(std::string_view line);

}  // namespace platform
