#include "platform/device/Locale.h"

#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex& localeMutex() {
  static std::mutex m;
  return m;
}

std::optional<std::string>& localeSlot() {
  static auto& configured = *new std::optional<std::string>();
  return configured;
}

}  // namespace

std::string Locale::currentIdentifier() {
  {
    std::lock_guard<std::mutex> guard(localeMutex());
    if (localeSlot()) return *localeSlot();
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string text(value);
    text = text.substr(0, text.find_first_of(".@"));
    if (text.empty() || text == "C" || text == "POSIX") break;
    return text;
  }
  return "en_US";
}

void Locale::configure(const std::optional<std::string>& identifier) {
  std::lock_guard<std::mutex> guard(localeMutex());
  localeSlot() = identifier;
}

}  // namespace platform
