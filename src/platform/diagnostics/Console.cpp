#include "platform/diagnostics/Console.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {
namespace {

struct ConsoleState {
  std::mutex mutex;
  std::function<void(std::string_view)> sink;
};

ConsoleState& consoleState() {
  static ConsoleState* state = new ConsoleState();  // lines may come while the process exits
  return *state;
}

}  // namespace

void consoleLog(std::string_view line) {
  ConsoleState& state = consoleState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.sink) {
    state.sink(line);
    return;
  }
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void setConsoleSink(std::function<void(std::string_view line)> sink) {
  ConsoleState& state = consoleState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sink = std::move(sink);
}

}  // namespace platform
