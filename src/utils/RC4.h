// RC4 stream cipher for the block transfer of files, through OpenSSL's legacy
// provider (loaded once per process into a private library context, safe
// against concurrent first calls).
//
// Stateless apart from that one-time load; any thread may call at once.
// Failures yield nullopt: an empty key, or a legacy provider that cannot be
// loaded on this machine.
#pragma once

#include <optional>

#include "platform/Bytes.h"

namespace lumora {

// The data XORed with the RC4 key stream of `key` (one byte or more): a new
// buffer of the same length. Encryption and decryption are the same call.
std::optional<platform::Bytes> rc4DataWithKey(const platform::Bytes& data,
                                              const platform::Bytes& key);

}  // namespace lumora
