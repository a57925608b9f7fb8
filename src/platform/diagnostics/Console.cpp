#include "platform/diagnostics/Console.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {

void consoleLog(std::string_view line) {
  static std::mutex mutex;
  std::string text(line);
  text += '\n';
  std::lock_guard<std::mutex> lock(mutex);
  std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace platform
