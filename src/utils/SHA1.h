// SHA-1 digests of byte buffers, fed to the digest in 1 MiB slices. Used for
// the per-block checks of file transfers and the request signatures.
// Stateless, any thread; these never fail short of running out of memory.
#pragma once

#include <string>

#include "platform/Bytes.h"

namespace lumora {

// 40 lower-case hexadecimal digits.
std::string sha1String(const platform::Bytes& data);
// The 20 raw digest bytes (the form the request signatures encode).
platform::Bytes sha1Data(const platform::Bytes& data);

}  // namespace lumora
