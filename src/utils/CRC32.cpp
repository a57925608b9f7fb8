#include "utils/CRC32.h"

#include <array>

namespace lumora {
namespace {

const std::array<std::uint32_t, 256>& crcTable() {
  // Function-local static: built once, thread-safe on first use.
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t k = 0; k < 256; ++k) {
      std::uint32_t value = k;
      for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
      t[k] = value;
    }
    return t;
  }();
  return table;
}

}  // namespace

std::int32_t crc32(const platform::Bytes& data) {
  const auto& table = crcTable();
  std::uint32_t reg = 0xFFFFFFFFu;
  for (std::uint8_t b : data) reg = table[(reg ^ b) & 0xFF] ^ (reg >> 8);
  return static_cast<std::int32_t>(reg);
}

}  // namespace lumora
