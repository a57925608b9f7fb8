#include "platform/VendorIdentifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#include <openssl/rand.h>

#include "platform/AppHome.h"
#include "platform/Bytes.h"

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

std::optional<std::string> newUuidText() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) return std::nullopt;
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return std::string(text);
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
  auto fresh = newUuidText();
  if (!fresh) return std::nullopt;
  if (publish(file, *fresh)) return fresh;
  // Another process published first (or the link failed): take what is there.
  return readIdentifier(file);
}

}  // namespace platform
