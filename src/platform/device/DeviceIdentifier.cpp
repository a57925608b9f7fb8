#include "platform/device/DeviceIdentifier.h"

#include <cstdlib>
#include <mutex>

#include "platform/Bytes.h"
#include "platform/storage/IdentifierFile.h"
#include "platform/Random.h"

namespace platform {
namespace {

constexpr const char* kFileName = "OpenUDID";
constexpr std::size_t kDigits = 40;

struct Setting {
  std::mutex mutex;
  std::optional<std::filesystem::path> directory;
};

Setting& setting() {
  static auto& s = *new Setting();
  return s;
}

std::optional<std::filesystem::path> fromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<std::string> acceptLine(const std::string& line) {
  if (line.size() != kDigits) return std::nullopt;
  for (char c : line) {
    if (hexDigitValue(c) < 0) return std::nullopt;
  }
  return lowerCased(line);
}

}  // namespace

std::filesystem::path DeviceIdentifier::sharedDirectory() {
  {
    std::lock_guard<std::mutex> guard(setting().mutex);
    if (setting().directory) return *setting().directory;
  }
  if (auto shared = fromEnv("LUMORA_SHARED_HOME")) return *shared;
  if (auto data = fromEnv("XDG_DATA_HOME")) return *data / "lumora-shared";
  return fromEnv("HOME").value_or("/tmp") / ".local" / "share" / "lumora-shared";
}

void DeviceIdentifier::setSharedDirectory(std::optional<std::filesystem::path> directory) {
  std::lock_guard<std::mutex> guard(setting().mutex);
  setting().directory = std::move(directory);
}

std::optional<std::string> DeviceIdentifier::value() {
  return readOrCreateIdentifier(sharedDirectory() / kFileName, acceptLine,
                                [] { return hexString(randomBytes(kDigits / 2)); });
}

}  // namespace platform
