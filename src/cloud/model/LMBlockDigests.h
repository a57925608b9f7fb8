// The digests the gallery service asks for with an upload: the SHA-1 of the
// whole file and, for every 4 MiB block, its SHA-1, MD5 and length. Files
// are read one block at a time (never whole) into three block buffers; the
// whole-file SHA-1 runs on the caller's thread while up to three blocks get
// their own SHA-1 and MD5, each on a helper queue of its own, so a file is
// digested in about the time its whole-file SHA-1 and reading take (a file
// of one block in about the time of its MD5: its block's SHA-1 is the
// file's).
//
// Stateless functions; any thread (each call owns its helpers and buffer).
// Failure: a file that cannot be opened or read in full is an Error of the
// POSIX domain with errno.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

inline constexpr std::int64_t kLMBlockSize = 4194304;  // 4 MiB

struct LMBlockDigests {
  std::string sha1;       // whole file, 40 lower-case hexadecimal digits
  platform::Json blockInfos = platform::Json::array();  // [{"sha1", "md5", "size"}], in file order
  std::int64_t size = 0;  // bytes digested
};

// `meanwhile` (when given) runs on the caller's thread while the helpers
// digest; `data` must not change until the call returns.
LMBlockDigests digestBlocksOfData(const platform::Bytes& data, const std::function<void()>& meanwhile = nullptr);
// Reads `size` bytes of the file (its size when it was measured); a file
// that turns out shorter is an error.
platform::Result<LMBlockDigests> digestBlocksOfFile(const std::filesystem::path& file, std::int64_t size);
// The same for a file opened already, read from where it stands (the
// caller's to close); `name` tells it in errors.
platform::Result<LMBlockDigests> digestBlocksOfOpenFile(int fd, const std::string& name, std::int64_t size);
// Digests a file that another writer is still writing, as the bytes come: on
// reaching the end (or before the file exists) the reader calls `more`,
// which waits a little for the writer and answers false once nothing more
// will come (answering true once more after the writer ends, so the last
// bytes are read). The digests cover the file as it finally stands.
platform::Result<LMBlockDigests> digestBlocksOfGrowingFile(const std::filesystem::path& file,
                                                           const std::function<bool()>& more);

}  // namespace lumora
