#include "stats/KoACrashNote.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/diagnostics/CallStack.h"
#include "platform/diagnostics/FatalSignalChain.h"
#include "platform/diagnostics/FixedText.h"
#include "platform/storage/OwnFile.h"
#include "stats/KoACrashUtil.h"

namespace lumora {
namespace {

constexpr const char* kFirstLine = "KOSTAT_CRASH_NOTE 1";
constexpr const char* kLastLine = "END";
constexpr std::size_t kLineSize = 2048;
constexpr std::size_t kFrameSize = 1024;
// More than the longest note: every line of the app information, the state
// and each frame at its longest.
constexpr std::uint64_t kNoteLimit = (platform::kMaxCallStackFrames + 64) * kLineSize;

struct Prepared {
  std::string path;
  std::string head;                  // the first line and the app information
  std::string typeLines[NSIG];       // "EXCEPTION_TYPE=...\n" per prepared signal
};

// The parts in use; handlers count themselves in `readers` before they load
// it. Parts that were replaced are kept among the retired ones until no
// handler runs, so a handler never reads freed memory. Neither the parts in
// use nor the retired list is ever destroyed: a handler may run while the
// process exits.
std::atomic<const Prepared*> prepared{nullptr};
std::atomic<int> readers{0};

std::mutex retiredMutex;
std::vector<std::unique_ptr<const Prepared>>& retired() {
  static auto* const parts = new std::vector<std::unique_ptr<const Prepared>>();
  return *parts;
}

// One "key=value" line, the value escaped.
std::string line(const char* key, const std::string& value) {
  char buffer[kLineSize];
  platform::FixedText text(buffer, sizeof buffer);
  text.add(key).add('=').addEscaped(value.c_str()).add('\n');
  return std::string(text.text(), text.length());
}

bool writeNumberLine(int fd, const char* key, std::int64_t value) {
  char buffer[64];
  platform::FixedText text(buffer, sizeof buffer);
  return platform::writeFromSignal(fd, text.add(key).add('=').addDecimal(value).add('\n'));
}

}  // namespace

void KoACrashNote::prepare(const std::filesystem::path& path, const KoACMAppInfo& appInfo,
                           const std::vector<int>& signals) {
  auto* parts = new Prepared();
  parts->path = path.string();
  parts->head = std::string(kFirstLine) + "\n";
  for (const auto& [key, field] : KoACMAppInfo::kFields) {
    if (const auto& value = appInfo.*field) parts->head += line(key, *value);
  }
  for (int signal : signals) {
    if (signal > 0 && signal < NSIG) {
      parts->typeLines[signal] = line(KoACMException::kTypeKey, KoACrashUtil::signalString(signal));
    }
  }
  const Prepared* previous = prepared.exchange(parts);
  std::lock_guard<std::mutex> guard(retiredMutex);
  if (previous != nullptr) retired().emplace_back(previous);
  // A handler counts itself before it loads the parts: once none is counted
  // after the exchange, none can still hold a replaced one.
  if (readers.load() == 0) retired().clear();
}

namespace {

bool writeNote(const Prepared* parts, int signal, const KoACrashNote::State& state) {
  if (parts == nullptr || signal <= 0 || signal >= NSIG || parts->typeLines[signal].empty()) return false;
  static void* frames[platform::kMaxCallStackFrames];
  int count = platform::captureCallStack(frames, platform::kMaxCallStackFrames);

  // Only a note of our own is emptied and written: a symbolic link, a pipe
  // or a folder at its name is refused (the launch after clears the name),
  // and a second name of the file keeps its bytes (the note goes into a new
  // file of this name alone).
  int fd = platform::openOwnFile(parts->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = platform::writeFromSignal(fd, parts->head.data(), parts->head.size()) &&
            writeNumberLine(fd, KoACMState::kAppActiveKey, state.active ? 1 : 0) &&
            writeNumberLine(fd, KoACMState::kLaunchNumKey, state.launchNum) &&
            writeNumberLine(fd, KoACMState::kOutOfMemoryNumKey, state.outOfMemoryNum) &&
            writeNumberLine(fd, KoACMState::kAppRunTimeKey, state.runTime) &&
            writeNumberLine(fd, KoACMState::kCrashTimeKey, state.crashTime) &&
            platform::writeFromSignal(fd, parts->typeLines[signal].data(), parts->typeLines[signal].size());
  char lineBuffer[kLineSize];
  platform::FixedText text(lineBuffer, sizeof lineBuffer);
  ok = ok && platform::writeFromSignal(fd, text.add(KoACMException::kCodesKey).add("=NULL\n"));
  char frame[kFrameSize];
  for (int i = 0; ok && i < count; ++i) {
    platform::formatCallStackFrame(frame, sizeof frame, i, frames[i]);
    text.clear();
    ok = platform::writeFromSignal(fd, text.add(KoACMException::kCallStackKey).add('=').addEscaped(frame).add('\n'));
  }
  text.clear();
  ok = ok && platform::writeFromSignal(fd, text.add(kLastLine).add('\n'));
  close(fd);
  return ok;
}

}  // namespace

bool KoACrashNote::writeFromSignal(int signal, const State& state) {
  readers.fetch_add(1);
  const bool written = writeNote(prepared.load(), signal, state);
  readers.fetch_sub(1);
  return written;
}

std::optional<KoACrashMessage> KoACrashNote::read(const std::filesystem::path& path) {
  // Read only as the handler's own file (a pipe in its place would hold the
  // launch), and no larger than a handler ever writes.
  const auto note = platform::readOwnFile(path, kNoteLimit);
  if (!note) return std::nullopt;
  std::istringstream in(*note);
  std::string current;
  if (!in || !std::getline(in, current) || current != kFirstLine) return std::nullopt;
  std::map<std::string, std::string> values;
  std::vector<std::string> frames;
  bool whole = false;
  while (std::getline(in, current)) {
    if (current == kLastLine) {
      whole = true;
      break;
    }
    std::size_t equals = current.find('=');
    if (equals == std::string::npos) return std::nullopt;
    std::string key = current.substr(0, equals);
    std::string value = platform::unescapedLine(std::string_view(current).substr(equals + 1));
    if (key == KoACMException::kCallStackKey) frames.push_back(std::move(value));
    else values[key] = std::move(value);
  }
  if (!whole) return std::nullopt;
  auto text = [&](const char* key) -> std::optional<std::string> {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
  };
  auto number = [&](const char* key) -> std::int64_t {
    std::int64_t value = 0;
    auto it = values.find(key);
    if (it != values.end()) std::from_chars(it->second.data(), it->second.data() + it->second.size(), value);
    return value;
  };
  KoACrashMessage message;
  for (const auto& [key, field] : KoACMAppInfo::kFields) message.objAppInfo.*field = text(key);
  message.objState.blnAppActive = number(KoACMState::kAppActiveKey) != 0;
  message.objState.nLaunchNum = static_cast<std::int32_t>(number(KoACMState::kLaunchNumKey));
  message.objState.nOutOfMemoryNum = static_cast<std::int32_t>(number(KoACMState::kOutOfMemoryNumKey));
  message.objState.nAppRunTime = static_cast<double>(number(KoACMState::kAppRunTimeKey));
  message.objState.nCrashTime = static_cast<double>(number(KoACMState::kCrashTimeKey));
  message.objException.strType = text(KoACMException::kTypeKey);
  message.objException.strDesc = text(KoACMException::kCodesKey);
  message.objException.arrCallStack = std::move(frames);
  return message;
}

}  // namespace lumora

