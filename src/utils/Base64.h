// The Base64 engine under the public forms in AESCrypt.h, for code that
// writes Base64 into a buffer of its own (the AES text forms stream cipher
// text straight into their result). Standard alphabet, "=" padding, no line
// breaks. Stateless, any thread, cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora {

// Characters that `size` bytes encode to: 4 per started group of 3.
constexpr std::size_t base64EncodedLength(std::size_t size) { return (size + 2) / 3 * 4; }

// Writes base64EncodedLength(size) characters to `out`.
void base64Encode(const std::uint8_t* data, std::size_t size, char* out);

}  // namespace lumora
