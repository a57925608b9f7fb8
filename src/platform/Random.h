// Cryptographically secure random bytes: the one random source of the client
// (identifiers, nonces, cipher vectors, multipart boundaries).
// Stateless; any thread. Never fails: should OpenSSL's generator be
// unusable, the bytes come from the system's random device instead.
#pragma once

#include <cstddef>

#include "platform/Bytes.h"

namespace platform {

Bytes randomBytes(std::size_t count);

}  // namespace platform
