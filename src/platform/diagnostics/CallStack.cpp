#include "platform/diagnostics/CallStack.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdint>
#include <cstring>

#include "platform/diagnostics/FixedText.h"

namespace platform {
namespace {

constexpr std::size_t kIndexWidth = 4;
constexpr std::size_t kImageWidth = 35;
constexpr std::size_t kFrameTextSize = 1024;

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

std::uint64_t asNumber(const void* address) { return reinterpret_cast<std::uintptr_t>(address); }

}  // namespace

void prepareCallStackCapture() {
  static const bool loaded = [] {
    void* frame[1];
    return backtrace(frame, 1) >= 0;
  }();
  (void)loaded;
}

int captureCallStack(void** addresses, int capacity) {
  if (capacity <= 0) return 0;
  return backtrace(addresses, capacity);
}

std::vector<void*> callStackReturnAddresses() {
  prepareCallStackCapture();
  std::vector<void*> addresses(kMaxCallStackFrames);
  addresses.resize(static_cast<std::size_t>(captureCallStack(addresses.data(), kMaxCallStackFrames)));
  return addresses;
}

std::size_t formatCallStackFrame(char* buffer, std::size_t size, int index, const void* address) {
  if (size == 0) return 0;
  FixedText text(buffer, size);
  Dl_info info{};
  bool known = dladdr(address, &info) != 0 && info.dli_fname != nullptr;
  char number[24];
  FixedText indexText(number, sizeof number);
  indexText.addDecimal(index);
  text.addPadded(number, kIndexWidth);
  text.addPadded(known && *info.dli_fname != '\0' ? baseName(info.dli_fname) : "???", kImageWidth);
  text.add(" 0x").addHex(asNumber(address), 16).add(' ');
  if (known && info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    text.add(info.dli_sname).add(" + ")
        .addDecimal(static_cast<std::int64_t>(asNumber(address) - asNumber(info.dli_saddr)));
  } else if (known && info.dli_fbase != nullptr) {
    text.add("0x").addHex(asNumber(info.dli_fbase)).add(" + ")
        .addDecimal(static_cast<std::int64_t>(asNumber(address) - asNumber(info.dli_fbase)));
  } else {
    text.add("???");
  }
  return text.length();
}

std::vector<std::string> callStackSymbols(const std::vector<void*>& addresses) {
  std::vector<std::string> symbols;
  symbols.reserve(addresses.size());
  char line[kFrameTextSize];
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    std::size_t length = formatCallStackFrame(line, sizeof line, static_cast<int>(i), addresses[i]);
    symbols.emplace_back(line, length);
  }
  return symbols;
}

}  // namespace platform
