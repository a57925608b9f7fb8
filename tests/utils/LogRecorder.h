// A log sink for tests of the cloud SDK: keeps every record it is handed.
// Thread-safe appends; read `records` once the logging threads are done.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "utils/LMLogDelegate.h"

namespace testsupport {

struct LogRecorder : lumora::LMLogDelegate {
  LogRecorder() {
    appendLogMessage = [this](const lumora::LMLogMessage& message) {
      std::lock_guard<std::mutex> guard(mutex);
      records.push_back(message);
    };
  }
  // Whether a record with exactly this text and flag was logged.
  bool contains(const std::string& text, std::uint64_t flag) {
    std::lock_guard<std::mutex> guard(mutex);
    for (const auto& record : records) {
      if (record.message() == text && record.flag() == flag) return true;
    }
    return false;
  }
  std::mutex mutex;
  std::vector<lumora::LMLogMessage> records;
};

}  // namespace testsupport
