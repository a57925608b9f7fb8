// The CRC-32/JAMCRC checksum: reflected polynomial 0xEDB88320, register
// started at 0xFFFFFFFF, no final complement (the complement of the common
// CRC-32, which zlib computes for it). Any thread. Cannot fail.
#pragma once

#include <cstdint>

#include "platform/Bytes.h"

namespace lumora {

// The register as a signed 32-bit value; empty data gives -1.
std::int32_t crc32(const platform::Bytes& data);

}  // namespace lumora
