// Cryptographically secure random bytes: the one random source of the client
// (identifiers, nonces, cipher vectors, multipart boundaries).
// Stateless; any thread. Never fails: should OpenSSL's generator be
// unusable, the bytes come from the system's random device instead.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Bytes.h"

namespace platform {

Bytes randomBytes(std::size_t count);

// A random (version 4) UUID as upper-case text
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
std::string randomUUIDString();

}  // namespace platform
