#include "applog/QBFileLoggerFomatterDefault.h"

#include <chrono>
#include <ctime>
#include <iterator>
#include <string_view>

namespace lumora {

std::string QBFileLoggerFomatterDefault::formatLogMessage(const LogMessage& message) const {
  spdlog::memory_buf_t out;
  appendLogMessage(message, out);
  return fmt::to_string(out);
}

void QBFileLoggerFomatterDefault::appendLogMessage(const LogMessage& message,
                                                   spdlog::memory_buf_t& out) const {
  // Appended piece by piece: a format string would be parsed again for
  // every line.
  auto append = [&out](std::string_view text) { out.append(text.data(), text.data() + text.size()); };
  appendTimestamp(message.timestamp, out);
  const char* letter = levelLetter(message.flag);
  append(" [");
  append(letter ? letter : "(null)");
  append("] ");
  append(message.function);
  append(" (");
  append(fileNameOf(message.file));
  const fmt::format_int line(message.line);
  append(std::string_view(line.data(), line.size()));
  append("):  ");
  append(message.message);
}

void QBFileLoggerFomatterDefault::appendTimestamp(platform::Clock::TimePoint time,
                                                  spdlog::memory_buf_t& out) {
  using namespace std::chrono;
  auto sinceEpoch = time.time_since_epoch();
  auto whole = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  auto millis = duration_cast<milliseconds>(sinceEpoch - whole).count();
  // Local time changes once a second: each thread keeps the text of the
  // second it last wrote.
  struct Second {
    std::time_t value = -1;
    char text[32] = {};
    std::size_t size = 0;
  };
  thread_local Second cached;
  std::time_t seconds = static_cast<std::time_t>(whole.count());
  if (seconds != cached.value) {
    std::tm local{};
    localtime_r(&seconds, &local);
    cached.size = std::strftime(cached.text, sizeof cached.text, "%Y/%m/%d %H:%M:%S", &local);
    cached.value = seconds;
  }
  out.append(cached.text, cached.text + cached.size);
  const char fraction[4] = {':', static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
                            static_cast<char>('0' + millis % 10)};
  out.append(fraction, fraction + 4);
}

const char* QBFileLoggerFomatterDefault::levelLetter(std::uint32_t flag) {
  switch (flag) {
    case kLogFlagError: return "E";
    case kLogFlagWarning: return "W";
    case kLogFlagInfo: return "I";
    case kLogFlagDebug: return "D";
    case kLogFlagVerbose: return "V";
    default: return nullptr;
  }
}

std::string_view QBFileLoggerFomatterDefault::fileNameOf(std::string_view path) {
  auto slash = path.find_last_of('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  auto dot = path.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0) path = path.substr(0, dot);
  return path;
}

}  // namespace lumora
