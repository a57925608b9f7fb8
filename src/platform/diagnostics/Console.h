// The device console (the system log developers read): plain text lines,
// apart from the SDK's own log sink. Here they go to standard error, or to
// the sink the app sets (a command-line tool keeps them off the terminal).
//
// Threading: any thread; each line is written whole. Nothing fails.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

void consoleLog(std::string_view line);
// Where console lines go from now on; nullptr: standard error again.
void setConsoleSink(std::function<void(std::string_view line)> sink);

}  // namespace platform
