// The RC4 key streams of the block storage node's open uploads, made ahead
// of their blocks. Every block of an upload restarts the same key stream,
// so it is made once per upload: a maker thread starts on it as soon as the
// upload is declared, and a block's receiving thread only combines what it
// receives with it. A receiving thread that catches up with the maker (or
// finds no stream made ahead) makes the next bytes itself, so a block never
// waits for another upload's stream.
//
// Bounded: the newest `kept` uploads' streams are held (one block's length
// each); an upload's stream goes at its commit or drop, or when newer ones
// push it out (a block of it then makes the stream again). A stream given
// out stays whole while its holder uses it.
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

#include "server/FileCrypto.h"

namespace localcloud {

class UploadKeyStreams {
 public:
  static constexpr std::size_t kKept = 8;

  // The first `length` bytes of one key's RC4 stream, made in order by
  // whoever needs them first.
  class Stream {
   public:
    Stream(std::string_view key, std::size_t length);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // True once bytes [0, end) are made (made now when they are not yet);
    // false when `end` passes the length or the cipher failed.
    bool ensure(std::size_t end);
    // The stream; only its first ensure()d bytes are meaningful.
    std::string_view bytes() const { return std::string_view(bytes_.get(), length_); }
    std::size_t length() const { return length_; }
    const std::string& key() const { return key_; }

   private:
    friend class UploadKeyStreams;
    // Makes up to `step` more bytes; false when none are left to make or
    // the cipher failed.
    bool makeMore(std::size_t step);

    const std::string key_;
    const std::size_t length_;
    std::mutex making_;
    crypto::Rc4Stream rc4_;
    std::unique_ptr<char[]> bytes_;
    std::atomic<std::size_t> made_{0};
    std::atomic<bool> failed_{false};
  };

  explicit UploadKeyStreams(std::size_t kept = kKept);
  ~UploadKeyStreams();
  UploadKeyStreams(const UploadKeyStreams&) = delete;
  UploadKeyStreams& operator=(const UploadKeyStreams&) = delete;

  // Starts making the stream of the upload `fileMeta` (raw `key`, `length`
  // bytes: its longest block) ahead of its blocks.
  void prepare(const std::string& fileMeta, std::string_view key, std::size_t length);
  // The upload's stream under `key` of `length` bytes at least: the one
  // made ahead, else a new one (kept for the upload's next blocks).
  std::shared_ptr<Stream> streamFor(const std::string& fileMeta, std::string_view key, std::size_t length);
  // Forgets the upload's stream (its holders keep theirs).
  void drop(const std::string& fileMeta);
  // How many streams are held.
  std::size_t size() const;

 private:
  std::shared_ptr<Stream> keep(const std::string& fileMeta, std::string_view key, std::size_t length);
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
