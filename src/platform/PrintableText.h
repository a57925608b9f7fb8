// Text of any origin made safe to print on a terminal or to write as one
// line of a log: file names above all, which are the user's and may hold
// anything but "/" and NUL. Every control character (C0, DEL and the C1
// controls U+0080 to U+009F) and every byte that is not part of well-formed
// UTF-8 is shown escaped, so that no name can move the cursor, set the
// terminal's title, ring its bell or split a line; a backslash is shown
// doubled, so that an escape is never taken for the name's own text. All
// other characters, non-ASCII letters too, stay as they are.
//
// Stateless; any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// "\n", "\r", "\t" and "\\" for those; "\x1b" for another control byte or
// a byte outside well-formed UTF-8; "\u0085" for a C1 control.
std::string printableText(std::string_view text);
inline std::string printablePath(const std::filesystem::path& path) {
  return printableText(std::string_view(path.native()));
}

}  // namespace platform
