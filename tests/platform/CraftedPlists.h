// Property-list files written byte by byte, the way a damaged or hostile file
// could look: things libplist itself would crash on if it were handed them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Bytes.h"

namespace testsupport {

// A binary property list of the given objects (one-byte offsets and
// references), the first object at the top.
inline platform::Bytes binaryPlist(const std::vector<platform::Bytes>& objects) {
  platform::Bytes out = platform::toBytes("bplist00");
  std::vector<std::uint8_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(static_cast<std::uint8_t>(out.size()));
    out.insert(out.end(), object.begin(), object.end());
  }
  const std::size_t table = out.size();
  out.insert(out.end(), offsets.begin(), offsets.end());
  platform::Bytes trailer(32, 0);
  trailer[6] = 1;
  trailer[7] = 1;
  trailer[23] = static_cast<std::uint8_t>(objects.size());
  trailer[31] = static_cast<std::uint8_t>(table);
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

inline platform::Bytes asciiObject(const std::string& text) {
  platform::Bytes object{static_cast<std::uint8_t>(0x50 | text.size())};
  object.insert(object.end(), text.begin(), text.end());
  return object;
}

// UTF-16 "a", NUL, "b".
inline platform::Bytes utf16WithNulObject() { return {0x63, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62}; }

// Files no reader may follow into a crash, each with what is wrong with it.
inline std::vector<std::pair<std::string, platform::Bytes>> unreadablePlists() {
  return {
      {"UTF-16 value holding a NUL", binaryPlist({{0xD1, 1, 2}, asciiObject("key"), utf16WithNulObject()})},
      {"UTF-16 key holding a NUL", binaryPlist({{0xD1, 1, 2}, utf16WithNulObject(), asciiObject("x")})},
      {"ASCII value holding a NUL", binaryPlist({{0xD1, 1, 2}, asciiObject("key"), asciiObject(std::string("a\0b", 3))})},
      {"array holding itself", binaryPlist({{0xD1, 1, 2}, asciiObject("key"), {0xA1, 2}})},
      {"reference past the objects", binaryPlist({{0xD1, 1, 7}, asciiObject("key")})},
      {"XML string with a NUL reference",
       platform::toBytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>"
                         "<string>a&#x00;b</string></dict></plist>")},
  };
}

}  // namespace testsupport
