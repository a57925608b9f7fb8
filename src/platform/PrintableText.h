// Text of any origin made safe to print on a terminal or to write as one
// line of a log: file names above all, which are the user's and may hold
// anything but "/" and NUL. Every control character (C0, DEL and the C1
// controls U+0080 to U+009F), every bidirectional control (the embeddings
// and overrides U+202A to U+202E, the isolates U+2066 to U+2069) and every
// byte that is not part of well-formed UTF-8 is shown escaped, so that no
// name can move the cursor, set the terminal's title, ring its bell, split
// a line or show itself, or the text after it, in another order than its
// own ("rtl\u202egpj.exe" shown as "rtlexe.jpg"); a backslash is shown
// doubled, so that an escape is never taken for the name's own text. All
// other characters, non-ASCII letters and right-to-left scripts too, stay
// as they are.
//
// Stateless; any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// "\n", "\r", "\t" and "\\" for those; "\x1b" for another control byte or
// a byte outside well-formed UTF-8; "\u0085" for a C1 control and "\u202e"
// for a bidirectional control.
std::string printableText(std::string_view text);
inline std::string printablePath(const std::filesystem::path& path) {
  return printableText(std::string_view(path.native()));
}

// JSON text (as nlohmann's dump writes it, which escapes only the C0
// controls, quotes and backslashes) with the C1 and bidirectional controls
// written as JSON's own escapes ("\u0085", "\u202e"): the same JSON, which
// reads back to the same values, safe as one line of a log or on a
// terminal. Such characters stand only inside strings of valid JSON. Text
// that is not UTF-8 should have been replaced in the dump (its `replace`
// handler); other bytes are kept as they are.
std::string printableJsonText(std::string_view json);

}  // namespace platform
