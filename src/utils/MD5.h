// MD5 digests of byte buffers and of texts (their bytes as given, UTF-8).
// Large buffers are fed to the digest in 1 MiB slices. Stateless, any thread;
// these never fail short of the process running out of memory.
#pragma once

#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace lumora {

// 32 lower-case hexadecimal digits.
std::string MD5String(const platform::Bytes& data);
std::string MD5String(std::string_view text);
// The 16 raw digest bytes.
platform::Bytes MD5Data(const platform::Bytes& data);
platform::Bytes MD5Data(std::string_view text);

}  // namespace lumora
