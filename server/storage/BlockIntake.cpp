#include "server/storage/BlockIntake.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <utility>

namespace localcloud {

BlockIntake::BlockIntake(BlobStore& blobs, std::string name, std::shared_ptr<KeyStreams::Stream> keyStream,
                         std::uint64_t expected, std::unique_ptr<crypto::Sha1Stream> running)
    : blobs_(blobs),
      name_(std::move(name)),
      keyStream_(std::move(keyStream)),
      expected_(expected),
      running_(std::move(running)) {
  decrypted_ = keyStream_ != nullptr && sha1_.ok();
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    runs_[i].resize(kRun);
    free_.push_back(i);
  }
  const Work works[] = {Work::Digest, Work::Running, Work::Write};
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    Stage& stage = stages_[i];
    stage.work = works[i];
    stage.active = stage.work != Work::Running || running_;
    if (!stage.active) continue;
    ++activeStages_;
    try {
      stage.thread = std::thread([this, &stage] { serve(stage); });
    } catch (const std::system_error&) {
      // A helper that cannot be had leaves its work to the receiving thread.
    }
  }
}

BlockIntake::~BlockIntake() { close(); }

bool BlockIntake::take(const char* data, std::size_t size) {
  size_ += size;
  if (size_ > expected_) return true;  // too long: refused at the end
  while (decrypted_ && size > 0) {
    if (!current_) current_ = acquire();
    const std::size_t step = std::min(size, kRun - filled_);
    const std::uint64_t position = size_ - size;
    decrypted_ = keyStream_->ensure(position + step) &&
                 crypto::applyKeyStream(keyStream_->bytes(), position, data, runs_[*current_].data() + filled_, step);
    filled_ += step;
    data += step;
    size -= step;
    if (filled_ == kRun) handOver();
  }
  return true;
}

std::optional<BlockIntake::Taken> BlockIntake::finish() {
  if (current_) handOver();
  close();
  if (!decrypted_ || !stored_) return std::nullopt;
  Taken taken{size_, sha1_.finishHex(), nullptr};
  if (running_ && running_->ok()) taken.running = std::move(running_);
  return taken;
}

std::size_t BlockIntake::acquire() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !free_.empty(); });
  const std::size_t run = free_.back();
  free_.pop_back();
  return run;
}

void BlockIntake::handOver() {
  const std::size_t run = *current_;
  const std::size_t size = filled_;
  current_.reset();
  filled_ = 0;
  if (!decrypted_) return release(run);
  {
    std::lock_guard lock(mutex_);
    pending_[run] = activeStages_;
    for (Stage& stage : stages_) {
      if (stage.thread.joinable()) stage.ready.emplace_back(run, size);
    }
  }
  changed_.notify_all();
  for (Stage& stage : stages_) {
    if (stage.active && !stage.thread.joinable()) perform(stage.work, run, size);
  }
}

void BlockIntake::serve(Stage& stage) {
  // The writer makes the staged file while the first run comes in.
  if (stage.work == Work::Write) createFile();
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return !stage.ready.empty() || closing_; });
    if (stage.ready.empty()) return;
    const auto [run, size] = stage.ready.front();
    stage.ready.pop_front();
    lock.unlock();
    perform(stage.work, run, size);
    lock.lock();
  }
}

void BlockIntake::perform(Work work, std::size_t run, std::size_t size) {
  const std::string_view bytes(runs_[run].data(), size);
  switch (work) {
    case Work::Digest:
      sha1_.update(bytes);
      break;
    case Work::Running:
      running_->update(bytes);
      break;
    case Work::Write:
      createFile();
      if (stored_) stored_ = file_->write(bytes.data(), bytes.size());
      break;
  }
  release(run);
}

void BlockIntake::createFile() {
  if (file_) return;
  file_.emplace(blobs_.create(name_));
  stored_ = file_->ok();
}

void BlockIntake::release(std::size_t run) {
  {
    std::lock_guard lock(mutex_);
    if (pending_[run] > 0 && --pending_[run] > 0) return;
    free_.push_back(run);
  }
  changed_.notify_all();
}

void BlockIntake::close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  for (Stage& stage : stages_) {
    if (stage.thread.joinable()) stage.thread.join();
  }
}

}  // namespace localcloud
