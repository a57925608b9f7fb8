// Where a transfer puts the bytes it receives, piece by piece: memory (the
// default of a data transfer) or a stream of the caller's own (a file, a
// decrypting check). An output stream that keeps its bytes in memory hands
// them over through dataWrittenToMemory().
//
// Ownership: shared between the transfer that writes and the caller that set
// it up. Threading: written from one thread at a time (the transfer's); the
// caller reads it only once the transfer has ended. Failure: a write that
// cannot take every byte fails with the stream's error, and the stream is
// spent; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/Bytes.h"
#include "platform/Result.h"

namespace platform {

class OutputStream {
 public:
  virtual ~OutputStream() = default;

  // Takes all `size` bytes, or fails.
  virtual Status write(const std::uint8_t* data, std::size_t size) = 0;
  // No more bytes follow. Further calls do nothing.
  virtual void close() {}
  // The bytes written, for a stream that keeps them in memory (moved out:
  // a second call finds none); nullopt for any other stream.
  virtual std::optional<Bytes> dataWrittenToMemory() { return std::nullopt; }
};

// Keeps every byte written in one growing buffer.
class MemoryOutputStream final : public OutputStream {
 public:
  Status write(const std::uint8_t* data, std::size_t size) override {
    bytes_.insert(bytes_.end(), data, data + size);
    return Status::success();
  }
  std::optional<Bytes> dataWrittenToMemory() override {
    if (taken_) return std::nullopt;
    taken_ = true;
    return std::move(bytes_);
  }

 private:
  Bytes bytes_;
  bool taken_ = false;
};

}  // namespace platform
