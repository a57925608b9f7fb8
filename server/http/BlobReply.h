// Serving a blob of the BlobStore as a download: the blob read piece by
// piece and passed through one RC4 key stream under the download's key, so
// that nothing but the piece in hand is in memory. A range request starts
// the key stream again and runs it up to the range's start. Where many
// replies start the same key stream afresh (the blocks of one block
// storage download), the key stream is made once (RC4 over zeros) and
// each reply combines its blob with it.
//
// Stateless; safe from any thread (each reply reads its own copy of the
// blob's file). Failures: false when the blob cannot be opened or the key
// is unusable (the reply is left untouched); a read error mid-way breaks
// the connection.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "server/storage/BlobStore.h"
#include "server/storage/KeyStreams.h"

namespace localcloud {

// Sets `res` to stream the blob `sha1` (of `size` bytes) RC4-encrypted under
// the raw key bytes `key`, as "application/octet-stream".
bool replyWithEncryptedBlob(httplib::Response& res, const BlobStore& blobs, const std::string& sha1,
                            std::uint64_t size, const std::string& key);
// The same with the key's stream (KeyStreams), which is made up to `size`
// bytes first; false also when the stream is shorter or cannot be made.
bool replyWithKeyStream(httplib::Response& res, const BlobStore& blobs, const std::string& sha1,
                        std::uint64_t size, std::shared_ptr<KeyStreams::Stream> keyStream);

}  // namespace localcloud
