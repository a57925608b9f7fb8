// The digests the gallery service asks for with an upload: the SHA-1 of the
// whole file and, for every 4 MiB block, its SHA-1, MD5 and length. Files
// are read one block at a time into one buffer (never whole); each block's
// SHA-1 and MD5 run on two helper queues beside the whole-file SHA-1, so
// digesting takes about as long as the slowest of the three.
//
// Stateless functions; any thread (each call owns its helpers and buffer).
// Failure: a file that cannot be opened or read in full is an Error of the
// POSIX domain with errno.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

inline constexpr std::int64_t kLMBlockSize = 4194304;  // 4 MiB

struct LMBlockDigests {
  std::string sha1;       // whole file, 40 lower-case hexadecimal digits
  platform::Json blockInfos = platform::Json::array();  // [{"sha1", "md5", "size"}], in file order
};

LMBlockDigests digestBlocksOfData(const platform::Bytes& data);
// Reads `size` bytes of the file (its size when it was measured); a file
// that turns out shorter is an error.
platform::Result<LMBlockDigests> digestBlocksOfFile(const std::filesystem::path& file, std::int64_t size);

}  // namespace lumora
