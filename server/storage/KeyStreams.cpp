#include "server/storage/KeyStreams.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace localcloud {

namespace {

// The maker's step, and the least a receiving thread makes when it is ahead
// of the maker: what a receiving thread waits for at most.
constexpr std::size_t kStep = 64 * 1024;

}  // namespace

KeyStreams::Stream::Stream(std::string_view key, std::size_t length)
    : key_(key), length_(length), rc4_(key) {
  if (!rc4_.ok()) failed_ = true;
}

bool KeyStreams::Stream::makeMore(std::size_t step) {
  std::unique_lock lock(state_);
  progressed_.wait(lock, [this] { return !making_; });
  if (failed_ || made_ >= length_) return false;
  makeStep(lock, step);
  return !failed_ && made_ < length_;
}

bool KeyStreams::Stream::ensure(std::size_t end) {
  if (end > length_) return false;
  if (made_.load(std::memory_order_acquire) >= end) return !failed_;
  std::unique_lock lock(state_);
  while (!failed_ && made_ < end) {
    // Each step is published as it ends: a thread that waits for the maker
    // waits one step at most, where queueing for a lock that the maker
    // takes again at once could last until the whole stream was made.
    if (making_) progressed_.wait(lock);
    else makeStep(lock, std::max(end - made_, kStep));
  }
  return !failed_;
}

void KeyStreams::Stream::makeStep(std::unique_lock<std::mutex>& lock, std::size_t step) {
  const std::size_t from = made_;
  const std::size_t count = std::min(step, length_ - from);
  // Allocated by the first maker, off the thread that declared the upload.
  if (!bytes_) bytes_ = std::make_unique_for_overwrite<char[]>(length_);
  making_ = true;
  lock.unlock();
  // The stream is the cipher run over zeros.
  std::memset(bytes_.get() + from, 0, count);
  const bool ok = rc4_.applyInPlace(bytes_.get() + from, count);
  lock.lock();
  making_ = false;
  if (ok) made_.store(from + count, std::memory_order_release);
  else failed_ = true;
  progressed_.notify_all();
}

KeyStreams::KeyStreams(std::size_t kept) : kept_(std::max<std::size_t>(kept, 1)) {
  try {
    maker_ = std::thread([this] { make(); });
  } catch (const std::system_error&) {
    // No thread to be had: blocks make their streams as they come.
  }
}

KeyStreams::~KeyStreams() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (maker_.joinable()) maker_.join();
}

std::shared_ptr<KeyStreams::Stream> KeyStreams::keep(const std::string& id, std::string_view key,
                                                     std::size_t length) {
  auto stream = std::make_shared<Stream>(key, length);
  std::erase_if(streams_, [&id](const auto& entry) { return entry.first == id; });
  streams_.emplace_front(id, stream);
  if (streams_.size() > kept_) streams_.pop_back();
  return stream;
}

void KeyStreams::prepare(const std::string& id, std::string_view key, std::size_t length) {
  {
    std::lock_guard lock(mutex_);
    auto stream = keep(id, key, length);
    if (!maker_.joinable()) return;
    queue_.push_back(stream);
    // Streams pushed out before the maker reached them are passed over.
    while (queue_.size() > kept_) queue_.pop_front();
  }
  wake_.notify_one();
}

std::shared_ptr<KeyStreams::Stream> KeyStreams::streamFor(const std::string& id, std::string_view key,
                                                          std::size_t length) {
  std::lock_guard lock(mutex_);
  auto found = std::find_if(streams_.begin(), streams_.end(),
                            [&id](const auto& entry) { return entry.first == id; });
  if (found != streams_.end() && found->second->key() == key && found->second->length() >= length) {
    streams_.splice(streams_.begin(), streams_, found);  // the newest used
    return found->second;
  }
  return keep(id, key, length);
}

void KeyStreams::drop(const std::string& id) {
  std::lock_guard lock(mutex_);
  std::erase_if(streams_, [&id](const auto& entry) { return entry.first == id; });
}

std::size_t KeyStreams::size() const {
  std::lock_guard lock(mutex_);
  return streams_.size();
}

void KeyStreams::make() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::weak_ptr<Stream> next = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    // A stream nobody holds any more is left unmade.
    while (auto stream = next.lock()) {
      if (!stream->makeMore(kStep)) break;
      std::lock_guard check(mutex_);
      if (stopping_) break;
    }
    lock.lock();
  }
}

}  // namespace localcloud
