// The hand-over between the threads that log and the file logger's writer
// thread: a bounded ring of slots. A logging thread takes the next ticket
// (one atomic add), fills its slot (the finished line, formatted on the
// logging thread) and publishes it; the one writer takes the slots in
// ticket order. No lock is taken on the way; a full ring makes the logging
// thread wait for the writer, so memory stays bounded.
//
// Ownership: owned by the file logger. Threading: push() from any number of
// threads, pop side (front/release) from one writer thread only.
// Failures: none.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/common.h>

#include "platform/dispatch/Clock.h"

namespace lumora {

class LogLineQueue {
 public:
  enum class Kind : std::uint8_t { Line, Roll, Stop };

  struct Slot {
    std::atomic<std::uint32_t> sequence{0};
    Kind kind = Kind::Line;
    platform::Clock::TimePoint time;
    spdlog::memory_buf_t text;
    std::function<void(const std::vector<std::string>&)> completion;  // Roll only
  };

  explicit LogLineQueue(std::size_t capacity = 4096);  // a power of two
  LogLineQueue(const LogLineQueue&) = delete;
  LogLineQueue& operator=(const LogLineQueue&) = delete;

  // Takes a ticket, waits until its slot is free, lets `fill` write the slot
  // and publishes it. Returns the ticket.
  template <class Fill>
  std::uint64_t push(Fill&& fill) {
    std::uint64_t ticket = tail_.fetch_add(1, std::memory_order_acq_rel);
    Slot& slot = slots_[ticket & mask_];
    waitFor(slot, static_cast<std::uint32_t>(ticket));
    fill(slot);
    publish(slot, static_cast<std::uint32_t>(ticket + 1));
    return ticket;
  }

  // Writer side: the slot of the next ticket once it is published (waiting
  // when `wait`, else nullptr when it is not there yet).
  Slot* front(bool wait);
  // Frees the front slot and moves on.
  void release();
  // Tickets taken so far, and the next one the writer will take.
  std::uint64_t taken() const { return tail_.load(std::memory_order_acquire); }
  std::uint64_t head() const { return head_; }

 private:
  static void waitFor(Slot& slot, std::uint32_t expected);
  // Stores `sequence` and wakes whoever waits for the slot.
  static void publish(Slot& slot, std::uint32_t sequence);

  const std::size_t capacity_;
  const std::size_t mask_;
  std::unique_ptr<Slot[]> slots_;
  alignas(64) std::atomic<std::uint64_t> tail_{0};
  alignas(64) std::uint64_t head_ = 0;  // writer only
};

}  // namespace lumora
