// The RC4 key stream of one file's block key over one block's length. Every
// block of a file restarts the key stream, so it is made once per file and
// each block's body only combines its bytes with it. It is made ahead: a
// helper queue starts on it as soon as the key is known, while the block is
// read and its transfer set up. One thread makes at a time, in steps; a
// body that catches up with the helper waits for the helper's next step, or
// makes the next step itself when nobody is making, so it is never held up
// for longer than one step.
//
// Ownership: shared by the transfer (an upload or a download) and the
// bodies or block streams it opens; the helper holds it only weakly and
// stops once nobody else does. Threading: apply() may be
// called from any thread (concurrent callers share the making). Failures: a
// key the cipher refuses, or a span past the length, makes apply() false.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <condition_variable>
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
  // Makes the next step of up to `step` bytes (after the step another
  // thread is making, if any); false once nothing is left to make.
  bool makeMore(std::size_t step);
  // Waits until bytes [0, end) are made, making them when nobody else is.
  bool ensure(std::size_t end);
  // Under `lock` (on state_), with nobody making: makes the next step, with
  // the lock released while the cipher runs.
  void makeStep(std::unique_lock<std::mutex>& lock, std::size_t step);

  const std::size_t length_;
  std::mutex state_;
  std::condition_variable progressed_;
  bool making_ = false;       // guarded by state_
  RC4Stream rc4_;             // used by the thread making only
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::atomic<std::size_t> made_{0};  // written under state_
  std::atomic<bool> failed_{false};
};

}  // namespace lumora
