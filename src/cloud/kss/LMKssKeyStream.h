// The RC4 key stream of one file's block key over one block's length. Every
// block of a file restarts the key stream, so it is made once per file and
// each block's body only combines its bytes with it. It is made ahead: a
// helper queue starts on it as soon as the key is known, while the block is
// read and its transfer set up; a body that catches up with the helper makes
// the next bytes itself, so it never waits on a busy helper.
//
// Ownership: shared by the upload and the bodies it opens; the helper holds
// it only weakly and stops once nobody else does. Threading: apply() may be
// called from any thread (concurrent callers share the making). Failures: a
// key the cipher refuses, or a span past the length, makes apply() false.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/Bytes.h"
#include "utils/RC4.h"

namespace lumora {

class LMKssKeyStream {
  struct Token {};

 public:
  // The stream of `key` over `length` bytes, its making started (its first
  // bytes made already).
  static std::shared_ptr<LMKssKeyStream> start(const platform::Bytes& key, std::size_t length);

  LMKssKeyStream(Token, const platform::Bytes& key, std::size_t length);
  LMKssKeyStream(const LMKssKeyStream&) = delete;
  LMKssKeyStream& operator=(const LMKssKeyStream&) = delete;

  std::size_t length() const { return length_; }
  // Writes `size` bytes of `in` combined with the stream from `position` on
  // into `out` (which may be `in`).
  bool apply(std::size_t position, const std::uint8_t* in, std::uint8_t* out, std::size_t size);

 private:
  // Makes up to `step` more bytes; false once there is nothing more to make.
  bool makeMore(std::size_t step);

  const std::size_t length_;
  std::mutex making_;
  RC4Stream rc4_;
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::atomic<std::size_t> made_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace lumora
