#include "cloud/kss/LMKssKeyStream.h"

#include <algorithm>

#include "platform/SerialQueue.h"

namespace lumora {
namespace {

// The helper's step, and the least a body makes when it catches up.
constexpr std::size_t kHelperStep = 256 * 1024;
constexpr std::size_t kCatchUpStep = 64 * 1024;
// The key stream is the cipher applied to zeros.
constexpr std::size_t kZeroCount = 64 * 1024;
const std::uint8_t kZeros[kZeroCount] = {};

platform::SerialQueue& helperQueue() {
  static auto* queue = new platform::SerialQueue("lumora.kss.keystream");
  return *queue;
}

}  // namespace

std::shared_ptr<LMKssKeyStream> LMKssKeyStream::start(const platform::Bytes& key, std::size_t length) {
  auto stream = std::make_shared<LMKssKeyStream>(Token{}, key, length);
  helperQueue().async([weak = std::weak_ptr<LMKssKeyStream>(stream)] {
    while (auto held = weak.lock()) {
      if (!held->makeMore(kHelperStep)) break;
    }
  });
  // The first bytes are made here while the helper wakes up.
  stream->makeMore(kHelperStep);
  return stream;
}

LMKssKeyStream::LMKssKeyStream(Token, const platform::Bytes& key, std::size_t length)
    : length_(length), rc4_(key) {
  if (!rc4_.ok()) failed_ = true;
}

bool LMKssKeyStream::makeMore(std::size_t step) {
  std::lock_guard<std::mutex> guard(making_);
  const std::size_t from = made_.load(std::memory_order_relaxed);
  if (failed_ || from >= length_) return false;
  if (!bytes_) bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(length_);
  const std::size_t end = from + std::min(step, length_ - from);
  for (std::size_t at = from; at < end; at += kZeroCount) {
    if (!rc4_.apply(kZeros, bytes_.get() + at, std::min(kZeroCount, end - at))) {
      failed_ = true;
      return false;
    }
  }
  made_.store(end, std::memory_order_release);
  return end < length_;
}

bool LMKssKeyStream::apply(std::size_t position, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
  if (position > length_ || size > length_ - position) return false;
  if (size == 0) return !failed_;
  const std::size_t end = position + size;
  for (std::size_t made; (made = made_.load(std::memory_order_acquire)) < end;) {
    if (failed_) return false;
    makeMore(std::max(end - made, kCatchUpStep));
  }
  if (failed_) return false;
  const std::uint8_t* key = bytes_.get() + position;
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ key[i]);
  return true;
}

}  // namespace lumora
