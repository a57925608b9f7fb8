// Formats in the phone platform's style, as the string tables write them:
// "%@" takes a text, "%d", "%i", "%ld", "%li", "%lld", "%lli", "%u", "%lu"
// an integer, "%f" and "%.2f" a number, "%%" a percent sign. An argument of
// the wrong kind is converted (a number to its text, a text to 0); missing
// arguments write nothing, extra ones are ignored.
//
// Threading: any thread. Nothing fails.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace platform::ui {

using FormatArgument = std::variant<std::string, std::int64_t, double>;

std::string stringWithFormat(const std::string& format, const std::vector<FormatArgument>& arguments);

// The conversions of a format in order ("@", "ld", ".2f"), for checking that
// translations take the same arguments.
std::vector<std::string> formatSpecifiers(const std::string& format);

}  // namespace platform::ui
