// The body of one block upload, encrypted as it goes out: the plain block
// combined piece by piece, while the transfer reads it, with the file's key
// stream (RC4 under the file's key, restarted for the block; made once per
// file, LMKssKeyStream), so the encryption overlaps the sending and no
// encrypted copy of the block is ever held.
//
// Ownership: source() shares the plain block and the key stream among the
// readings it opens (one per try). Threading: a reading is used by one
// transfer at a time. Failures: a key stream that fails or is shorter than
// the block stops the send with the wrong-block error (LMKssDescription.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cloud/kss/LMKssKeyStream.h"
#include "platform/Bytes.h"
#include "platform/Result.h"
#include "platform/http/Request.h"

namespace lumora {

class LMKssEncryptedBody final : public platform::http::BodyStream {
 public:
  // A body of the block's length; every opening reads it from the start.
  static platform::http::BodySource source(std::shared_ptr<const platform::Bytes> plain,
                                           std::shared_ptr<LMKssKeyStream> keyStream);

  LMKssEncryptedBody(std::shared_ptr<const platform::Bytes> plain, std::shared_ptr<LMKssKeyStream> keyStream);
  platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override;

 private:
  std::shared_ptr<const platform::Bytes> plain_;
  std::shared_ptr<LMKssKeyStream> keyStream_;
  std::size_t position_ = 0;
};

}  // namespace lumora
