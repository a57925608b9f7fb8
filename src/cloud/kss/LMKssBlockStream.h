// The output stream of one block download: decrypts the block's bytes as
// they arrive (RC4 under the file's key, the key stream restarted for the
// block: the file's one LMKssKeyStream, made once for all its blocks) into
// a buffer of the block's size, and takes their SHA-1 on the way, so a block is checked as soon as its last byte is in. More bytes than
// the block's size stop the transfer at once.
//
// Ownership: shared by the download that sets it on its transfer and the
// transfer that writes it. Threading: written by the transfer (on the
// network thread), read by the download once the transfer has ended.
// Failures: the wrong-block error (LMKssDescription.h) for a body longer or
// shorter than the block, a digest that does not match, or a cipher that
// fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cloud/kss/LMKssKeyStream.h"
#include "platform/Bytes.h"
#include "platform/OutputStream.h"
#include "platform/Result.h"
#include "utils/DigestContext.h"

namespace lumora {

class LMKssBlockStream final : public platform::OutputStream {
 public:
  // `keyStream` covers at least `size` bytes. `buffer` is reused for the
  // block when it is large enough (a block buffer handed back by takeBuffer
  // or takeVerifiedBlock).
  LMKssBlockStream(std::shared_ptr<LMKssKeyStream> keyStream, std::uint64_t size,
                   platform::Bytes buffer = {});

  platform::Status write(const std::uint8_t* data, std::size_t size) override;

  // Bytes taken so far.
  std::uint64_t received() const { return received_; }
  // The plain block when all its bytes came and their SHA-1, as lower-case
  // hexadecimal, is exactly `sha1`; the wrong-block error otherwise. Once.
  platform::Result<platform::Bytes> takeVerifiedBlock(const std::string& sha1);
  // The buffer, for another block (after a failed check).
  platform::Bytes takeBuffer() { return std::move(plain_); }

 private:
  std::shared_ptr<LMKssKeyStream> keyStream_;
  DigestContext digest_{DigestKind::SHA1};
  platform::Bytes plain_;
  std::uint64_t size_;
  std::uint64_t received_ = 0;
  bool failed_ = false;
};

}  // namespace lumora
