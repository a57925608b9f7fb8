// Byte buffers and the text helpers the whole client shares. Strings are
// UTF-8 throughout; utf16Length counts what the phone platform counts as
// characters; case and blank helpers look at ASCII only (protocol texts:
// header names, schemes, methods, hex digits). Plain values and stateless
// functions: any thread, nothing fails (invalid UTF-8 is reported by
// isValidUtf8, never rejected elsewhere).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values
// past U+10FFFF).
bool isValidUtf8(std::string_view text);
// The text as well-formed UTF-8, for a name or text that must travel as
// such (in JSON): its well-formed characters as they are, and every other
// byte as the Latin-1 character of its value ("caf\xe9" becomes "café"),
// as names that older cameras, memory cards and zip files write read. The
// same bytes always give the same text; well-formed UTF-8 comes back
// unchanged.
std::string toValidUtf8(std::string_view text);

// Number of UTF-16 code units of a UTF-8 text; invalid sequences count one
// unit per byte.
std::size_t utf16Length(std::string_view text);
// The UTF-16 code units of a UTF-8 text; an invalid byte is one unit
// U+FFFD, so the count agrees with utf16Length.
std::u16string utf16Units(std::string_view text);
// The longest start of the text, in whole characters, of at most `units`
// UTF-16 code units (a character outside the basic plane is never split).
std::string_view utf16Prefix(std::string_view text, std::size_t units);

// Lower-case hexadecimal of the bytes.
std::string hexString(const std::uint8_t* data, std::size_t size);
inline std::string hexString(const Bytes& bytes) { return hexString(bytes.data(), bytes.size()); }
// The value of one hexadecimal digit (either case), -1 for any other byte.
int hexDigitValue(char c);
// The bytes spelled by the text's pairs of hexadecimal digits (either case),
// from the start: one byte per two characters, a trailing odd character
// ignored (so a text of fewer than two characters gives no bytes). nullopt
// when a pair holds anything but a hexadecimal digit.
std::optional<Bytes> hexData(std::string_view text);

// The text with ASCII upper-case letters made lower-case, and the reverse.
std::string lowerCased(std::string_view text);
std::string upperCased(std::string_view text);
// True when a and b are equal ignoring ASCII case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// The text without leading and trailing blanks and tabs.
std::string_view trimBlanks(std::string_view text);
// True when the optional text is there and not empty.
inline bool hasText(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace platform
