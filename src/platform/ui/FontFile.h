// The font files of the app bundle ("Fonts/<name>.ttf" or ".otf" in the
// bundle folder) and their tables. The sfnt table directory is read here:
// the offset table (version, table count) and one 16-byte record per table
// (tag, checksum, offset, length), integers big-endian. Only the directory
// and the table asked for are read.
//
// Ownership: a plain value holding the file's path. Threading: any thread.
// Failure: a missing file, a directory that runs past the file, or a table
// that lies outside it answer nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace platform::ui {

class FontFile {
 public:
  // The bundle's font of that name; nullopt when the bundle has none.
  static std::optional<FontFile> named(const std::string& name);
  explicit FontFile(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // The bytes of the table with `tag` (four characters, big-endian).
  std::optional<Bytes> copyTable(std::uint32_t tag) const;

 private:
  std::string path_;
};

}  // namespace platform::ui
