// Shared digest engine of MD5.h and SHA1.h: OpenSSL EVP digests fed in slices
// of at most 1 MiB, so a large buffer (a file block, a mapped file) is read
// slice by slice. Stateless, any thread. Aborts only if OpenSSL lacks the
// digest, which a working installation never does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Bytes.h"

namespace lumora {

enum class DigestKind { MD5, SHA1 };

platform::Bytes digestOf(DigestKind kind, const std::uint8_t* data, std::size_t size);

}  // namespace lumora
