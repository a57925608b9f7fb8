#include "applog/LogLineQueue.h"

#include <thread>

namespace lumora {
namespace {
// Spins before sleeping: a writer or a logger is usually only a moment away.
constexpr int kSpins = 64;
// A slot that once held a very long line gives its memory back.
constexpr std::size_t kShrinkAbove = 64 * 1024;
}  // namespace

LogLineQueue::LogLineQueue(std::size_t capacity)
    : capacity_(capacity), mask_(capacity - 1), slots_(std::make_unique<Slot[]>(capacity)) {
  for (std::size_t i = 0; i < capacity_; ++i) {
    slots_[i].sequence.store(static_cast<std::uint32_t>(i), std::memory_order_relaxed);
  }
}

void LogLineQueue::waitFor(Slot& slot, std::uint32_t expected) {
  for (int spin = 0; spin < kSpins; ++spin) {
    if (slot.sequence.load(std::memory_order_acquire) == expected) return;
    std::this_thread::yield();
  }
  while (true) {
    std::uint32_t seen = slot.sequence.load(std::memory_order_acquire);
    if (seen == expected) return;
    slot.sequence.wait(seen, std::memory_order_acquire);
  }
}

LogLineQueue::Slot* LogLineQueue::front(bool wait) {
  Slot& slot = slots_[head_ & mask_];
  auto ready = static_cast<std::uint32_t>(head_ + 1);
  if (slot.sequence.load(std::memory_order_acquire) == ready) return &slot;
  if (!wait) return nullptr;
  waitFor(slot, ready);
  return &slot;
}

void LogLineQueue::release() {
  Slot& slot = slots_[head_ & mask_];
  slot.completion = nullptr;
  if (slot.text.capacity() > kShrinkAbove) slot.text = spdlog::memory_buf_t();
  slot.text.clear();
  slot.sequence.store(static_cast<std::uint32_t>(head_ + capacity_), std::memory_order_release);
  slot.sequence.notify_all();
  ++head_;
}

}  // namespace lumora
