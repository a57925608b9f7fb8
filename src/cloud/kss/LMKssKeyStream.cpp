#include "cloud/kss/LMKssKeyStream.h"

#include <algorithm>

#include "platform/dispatch/SerialQueue.h"

namespace lumora {
namespace {

// The helper's step, and the least a body makes when it catches up: what
// a body waits for at most.
constexpr std::size_t kStep = 64 * 1024;
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
      if (!held->makeMore(kStep)) break;
    }
  });
  // The first bytes are made here while the helper wakes up.
  stream->makeMore(kStep);
  return stream;
}

LMKssKeyStream::LMKssKeyStream(Token, const platform::Bytes& key, std::size_t length)
    : length_(length), rc4_(key) {
  if (!rc4_.ok()) failed_ = true;
}

bool LMKssKeyStream::makeMore(std::size_t step) {
  std::unique_lock<std::mutex> lock(state_);
  progressed_.wait(lock, [this] { return !making_; });
  if (failed_ || made_ >= length_) return false;
  makeStep(lock, step);
  return !failed_ && made_ < length_;
}

bool LMKssKeyStream::ensure(std::size_t end) {
  if (made_.load(std::memory_order_acquire) >= end) return !failed_;
  std::unique_lock<std::mutex> lock(state_);
  while (!failed_ && made_ < end) {
    // Whoever is making publishes each step: waiting for it never takes
    // longer than one step, while queueing for a lock the helper retakes
    // at once could take until the whole stream was made.
    if (making_) progressed_.wait(lock);
    else makeStep(lock, std::max(end - made_, kStep));
  }
  return !failed_;
}

void LMKssKeyStream::makeStep(std::unique_lock<std::mutex>& lock, std::size_t step) {
  const std::size_t from = made_;
  const std::size_t end = from + std::min(step, length_ - from);
  if (!bytes_) bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(length_);
  making_ = true;
  lock.unlock();
  bool ok = true;
  for (std::size_t at = from; ok && at < end; at += kZeroCount) {
    ok = rc4_.apply(kZeros, bytes_.get() + at, std::min(kZeroCount, end - at));
  }
  lock.lock();
  making_ = false;
  if (ok) made_.store(end, std::memory_order_release);
  else failed_ = true;
  progressed_.notify_all();
}

bool LMKssKeyStream::apply(std::size_t position, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
  if (position > length_ || size > length_ - position) return false;
  if (size == 0) return !failed_;
  if (!ensure(position + size)) return false;
  const std::uint8_t* key = bytes_.get() + position;
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ key[i]);
  return true;
}

}  // namespace lumora
