// Packs one analytics log file into a gzip member: reads `in` to its end in
// 5 KiB pieces and writes the compressed bytes to `out` (zlib's deflate,
// found by name in the process at each call; default level, gzip wrapper,
// memory level 4). Neither stream is opened or closed here.
// Stateless; any thread, each call with streams of its own.
// Failure: -1 (zlib missing, a read or write error, a compression error),
// 0 on success; after a failure `out` holds a partial member.
#pragma once

#include <cstdio>

namespace lumora {

int BBXAnalyticsCompressFile(std::FILE* in, std::FILE* out);

}  // namespace lumora
