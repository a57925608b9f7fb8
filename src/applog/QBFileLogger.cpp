#include "applog/QBFileLogger.h"

#include <unistd.h>

#include "platform/SignalStack.h"
#include "platform/dispatch/ConcurrentQueue.h"

namespace lumora {

QBFileLogger::QBFileLogger() : QBFileLogger(std::make_shared<QBLogFileManagerDefault>()) {}

QBFileLogger::QBFileLogger(std::shared_ptr<QBLogFileManagerDefault> logFileManager)
    : manager_(logFileManager ? std::move(logFileManager)
                              : std::make_shared<QBLogFileManagerDefault>()),
      writer_([this] {
        platform::installAlternateSignalStack();
        run();
      }) {}

QBFileLogger::~QBFileLogger() {
  queue_.push([](LogLineQueue::Slot& slot) { slot.kind = LogLineQueue::Kind::Stop; });
  if (writer_.joinable()) writer_.join();
}

void QBFileLogger::logMessage(const LogMessage& message) {
  queue_.push([&](LogLineQueue::Slot& slot) {
    slot.kind = LogLineQueue::Kind::Line;
    slot.time = message.timestamp;
    formatter_.appendLogMessage(message, slot.text);
    if (slot.text.size() == 0 || slot.text.data()[slot.text.size() - 1] != '\n') {
      slot.text.push_back('\n');
    }
  });
}

void QBFileLogger::rollLogFile(RollCompletion completion) {
  queue_.push([&](LogLineQueue::Slot& slot) {
    slot.kind = LogLineQueue::Kind::Roll;
    slot.completion = std::move(completion);
  });
}

void QBFileLogger::flush() {
  std::uint64_t target = queue_.taken();
  if (written_.load(std::memory_order_acquire) >= target) return;
  flushWaiters_.fetch_add(1);
  {
    std::unique_lock<std::mutex> lock(flushMutex_);
    flushed_.wait(lock, [&] { return written_.load() >= target; });
  }
  flushWaiters_.fetch_sub(1, std::memory_order_acq_rel);
}

void QBFileLogger::run() {
  while (true) {
    LogLineQueue::Slot* slot = queue_.front(false);
    if (!slot) {
      // Idle: what was written goes to the file before the writer sleeps.
      publishWritten(queue_.head());
      slot = queue_.front(true);
    }
    switch (slot->kind) {
      case LogLineQueue::Kind::Line:
        writeLine(*slot);
        break;
      case LogLineQueue::Kind::Roll:
        closeFile();
        if (slot->completion) {
          platform::globalQueue().async(
              [completion = std::move(slot->completion), names = manager_->sortedLogFileNames()] {
                completion(names);
              });
        }
        break;
      case LogLineQueue::Kind::Stop:
        closeFile();
        queue_.release();
        publishWritten(queue_.head());
        return;
    }
    queue_.release();
    // Somebody waits for a synchronous line: let them go at once.
    if (flushWaiters_.load(std::memory_order_acquire) > 0) publishWritten(queue_.head());
  }
}

void QBFileLogger::writeLine(LogLineQueue::Slot& slot) {
  if (file_ && slot.time - fileBegun_ >= rollingFrequency()) closeFile();
  if (!file_) {
    // Written through the descriptor of the file just made, never opened
    // again by its name (whatever is put there meanwhile is not written).
    int fd = -1;
    if (manager_->createNewLogFile(slot.time, &fd).empty()) return;
    file_ = fdopen(fd, "a");
    if (!file_) {
      ::close(fd);
      return;
    }
    fileBegun_ = slot.time;
    fileSize_ = 0;
  }
  if (std::fwrite(slot.text.data(), 1, slot.text.size(), file_) != slot.text.size()) {
    // The line is lost; the next one begins a new file.
    closeFile();
    return;
  }
  fileSize_ += slot.text.size();
  if (fileSize_ >= maximumFileSize()) closeFile();
}

void QBFileLogger::closeFile() {
  if (!file_) return;
  std::fclose(file_);
  file_ = nullptr;
}

void QBFileLogger::publishWritten(std::uint64_t upTo) {
  if (file_ && std::fflush(file_) != 0) closeFile();
  written_.store(upTo);
  if (flushWaiters_.load() > 0) {
    std::lock_guard<std::mutex> guard(flushMutex_);
    flushed_.notify_all();
  }
}

}  // namespace lumora
