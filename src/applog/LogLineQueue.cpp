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
    std::uint32_t seen = slot.sequence.load(std::memory_order_seq_cst);
    if (seen == expected) return;
    slot.sequence.wait(seen, std::memory_order_seq_cst);
  }
}

// The library's notify wakes nobody when it reads no waiter on the slot. A
// waiter counts itself (a sequentially consistent add), then reads the
// slot; the store here must be sequentially consistent as well, or the
// processor may read the count before the store is seen, find none, while
// the waiter reads the old value and sleeps on a slot already published:
// the writer then slept until some signal woke it, and a flush waiting for
// its line hung with it.
void LogLineQueue::publish(Slot& slot, std::uint32_t sequence) {
  slot.sequence.store(sequence, std::memory_order_seq_cst);
  slot.sequence.notify_all();
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
  publish(slot, static_cast<std::uint32_t>(head_ + capacity_));
  ++head_;
}

}  // namespace lumora
