#include "platform/ui/FontFile.h"

#include <filesystem>
#include <fstream>

#include "platform/device/Bundle.h"

namespace platform::ui {

namespace {

constexpr std::size_t kFontOffsetTableSize = 12;
constexpr std::size_t kFontTableRecordSize = 16;

std::uint32_t fontReadBig32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool fontReadAt(std::ifstream& in, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
  return in.gcount() == static_cast<std::streamsize>(size);
}

}  // namespace

std::optional<FontFile> FontFile::named(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  const std::filesystem::path folder = std::filesystem::path(Bundle::bundlePath()) / "Fonts";
  for (const char* extension : {".ttf", ".otf"}) {
    std::error_code error;
    const auto path = folder / (name + extension);
    if (std::filesystem::is_regular_file(path, error)) return FontFile(path.string());
  }
  return std::nullopt;
}

std::optional<Bytes> FontFile::copyTable(std::uint32_t tag) const {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return std::nullopt;
  std::error_code error;
  const std::uint64_t fileSize = std::filesystem::file_size(path_, error);
  if (error) return std::nullopt;
  std::uint8_t header[kFontOffsetTableSize];
  if (!fontReadAt(in, 0, header, sizeof header)) return std::nullopt;
  const std::size_t count = (std::size_t{header[4]} << 8) | header[5];
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t record[kFontTableRecordSize];
    if (!fontReadAt(in, kFontOffsetTableSize + i * kFontTableRecordSize, record, sizeof record)) return std::nullopt;
    if (fontReadBig32(record) != tag) continue;
    const std::uint64_t offset = fontReadBig32(record + 8);
    const std::uint64_t length = fontReadBig32(record + 12);
    if (offset > fileSize || length > fileSize - offset) return std::nullopt;
    Bytes table(length);
    if (length > 0 && !fontReadAt(in, offset, table.data(), table.size())) return std::nullopt;
    return table;
  }
  return std::nullopt;
}

}  // namespace platform::ui
