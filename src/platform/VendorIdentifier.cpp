#include "platform/VendorIdentifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/AppHome.h"
#include "platform/Bytes.h"
#include "platform/Random.h"

namespace platform {
namespace {

constexpr const char* kFileName = "identifierForVendor";

std::mutex& vendorMutex() {
  static std::mutex m;
  return m;
}

bool isUuidText(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

std::optional<std::string> readIdentifier(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string text;
  std::getline(in, text);
  if (!isUuidText(text)) return std::nullopt;
  return upperCased(text);
}

// Writes `text` to a private temporary file and links it in as `file`; false
// when `file` already exists or anything fails.
bool publish(const std::filesystem::path& file, const std::string& text) {
  std::string temp = file.string() + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  std::string line = text + "\n";
  bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                 ::fsync(fd) == 0;
  ::close(fd);
  bool linked = written && ::link(temp.c_str(), file.c_str()) == 0;
  ::unlink(temp.c_str());
  return linked;
}

}  // namespace

std::optional<std::string> VendorIdentifier::identifierForVendor() {
  std::lock_guard<std::mutex> guard(vendorMutex());
  std::filesystem::path dir = AppHome::root() / "Library";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::filesystem::path file = dir / kFileName;
  if (auto existing = readIdentifier(file)) return existing;
  // Missing or not a UUID: make one. A file that is there but unreadable as a
  // UUID is replaced.
  if (std::filesystem::exists(file, ec)) std::filesystem::remove(file, ec);
  std::string fresh = randomUUIDString();
  if (publish(file, fresh)) return fresh;
  // Another process published first (or the link failed): take what is there.
  return readIdentifier(file);
}

}  // namespace platform
