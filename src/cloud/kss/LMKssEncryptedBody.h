// The body of one block upload, encrypted as it goes out: RC4 under the
// file's key (the key stream restarted for the block) applied to the plain
// block piece by piece while the transfer reads it, so the encryption
// overlaps the sending and no encrypted copy of the block is ever held.
//
// Ownership: source() shares the plain block among the readings it opens
// (one per try). Threading: a reading is used by one transfer at a time.
// Failures: a cipher that cannot be made or fails stops the send with the
// wrong-block error (LMKssDescription.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Bytes.h"
#include "platform/Result.h"
#include "platform/http/Request.h"
#include "utils/RC4.h"

namespace lumora {

class LMKssEncryptedBody final : public platform::http::BodyStream {
 public:
  // A body of the block's length; every opening reads it from the start.
  static platform::http::BodySource source(std::shared_ptr<const platform::Bytes> plain, const platform::Bytes& key);

  LMKssEncryptedBody(std::shared_ptr<const platform::Bytes> plain, const platform::Bytes& key);
  platform::Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override;

 private:
  std::shared_ptr<const platform::Bytes> plain_;
  RC4Stream cipher_;
  std::size_t position_ = 0;
};

}  // namespace lumora
