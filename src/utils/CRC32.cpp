#include "utils/CRC32.h"

#include <zlib.h>

namespace lumora {

std::int32_t crc32(const platform::Bytes& data) {
  const auto common = static_cast<std::uint32_t>(::crc32_z(0L, data.data(), data.size()));
  return static_cast<std::int32_t>(~common);
}

}  // namespace lumora
