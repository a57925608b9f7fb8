// The RC4 key streams of the block storage node, each under the id of
// what uses it (an open upload's file meta, or a download's key). Every
// block of an upload or a download restarts the same key stream, so it is
// made once and each block only combines its bytes with it. An upload's
// stream is made ahead: a maker thread starts on it as soon as the upload
// is declared. One thread makes a stream at a time, step by step: a thread
// that catches up with the maker waits for its step, or makes the next
// step itself when nobody is making (as when no stream was made ahead), so
// a block never waits for another stream.
//
// Bounded: the newest `kept` streams are held (one block's length each); an
// upload's stream goes at its commit or drop, any stream when newer ones
// push it out (its next block then makes it again). A stream given out
// stays whole while its holder uses it.
//
// Ownership: owned by the KssNode; owns its maker thread (stopped and
// joined by the destructor). Threading: every call is safe from any thread;
// a Stream is shared by the threads that hold it. Failures: a key the
// cipher refuses gives a stream whose ensure() is false.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "server/services/FileCrypto.h"

namespace localcloud {

class KeyStreams {
 public:
  static constexpr std::size_t kKept = 8;

  // The first `length` bytes of one key's RC4 stream, made in order by
  // whoever needs them first.
  class Stream {
   public:
    Stream(std::string_view key, std::size_t length);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // True once bytes [0, end) are made (made now when nobody is making,
    // else waited for step by step); false when `end` passes the length or
    // the cipher failed.
    bool ensure(std::size_t end);
    // The stream; only its first ensure()d bytes are meaningful.
    std::string_view bytes() const { return std::string_view(bytes_.get(), length_); }
    std::size_t length() const { return length_; }
    const std::string& key() const { return key_; }

   private:
    friend class KeyStreams;
    // Makes up to `step` more bytes, after the step another thread is
    // making, if any; false when none are left to make or the cipher failed.
    bool makeMore(std::size_t step);
    // Under `lock` (on state_), with nobody making: makes the next step,
    // the lock released while the cipher runs.
    void makeStep(std::unique_lock<std::mutex>& lock, std::size_t step);

    const std::string key_;
    const std::size_t length_;
    std::mutex state_;
    std::condition_variable progressed_;
    bool making_ = false;         // guarded by state_
    crypto::Rc4Stream rc4_;       // used by the thread making only
    std::unique_ptr<char[]> bytes_;
    std::atomic<std::size_t> made_{0};  // written under state_
    std::atomic<bool> failed_{false};
  };

  explicit KeyStreams(std::size_t kept = kKept);
  ~KeyStreams();
  KeyStreams(const KeyStreams&) = delete;
  KeyStreams& operator=(const KeyStreams&) = delete;

  // Starts making the stream of `id` (raw `key`, `length` bytes: its
  // longest block) ahead of its blocks.
  void prepare(const std::string& id, std::string_view key, std::size_t length);
  // The stream of `id` under `key` of `length` bytes at least: the one held,
  // else a new one (kept for the next blocks).
  std::shared_ptr<Stream> streamFor(const std::string& id, std::string_view key, std::size_t length);
  // Forgets the stream of `id` (its holders keep theirs).
  void drop(const std::string& id);
  // How many streams are held.
  std::size_t size() const;

 private:
  std::shared_ptr<Stream> keep(const std::string& id, std::string_view key, std::size_t length);
  void make();

  const std::size_t kept_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::list<std::pair<std::string, std::shared_ptr<Stream>>> streams_;  // newest first
  std::deque<std::weak_ptr<Stream>> queue_;                              // for the maker, oldest first
  bool stopping_ = false;
  std::thread maker_;
};

}  // namespace localcloud
