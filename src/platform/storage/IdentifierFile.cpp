#include "platform/storage/IdentifierFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <system_error>

namespace platform {
namespace {

std::mutex& identifierMutex() {
  static std::mutex m;
  return m;
}

std::optional<std::string> readIdentifier(
    const std::filesystem::path& file,
    const std::function<std::optional<std::string>(const std::string&)>& accept) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string text;
  std::getline(in, text);
  return accept(text);
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

std::optional<std::string> readOrCreateIdentifier(
    const std::filesystem::path& file,
    const std::function<std::optional<std::string>(const std::string& line)>& accept,
    const std::function<std::string()>& make) {
  std::lock_guard<std::mutex> guard(identifierMutex());
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (auto existing = readIdentifier(file, accept)) return existing;
  // Missing or not an identifier: make one. A file that is there but
  // unreadable as an identifier is replaced.
  if (std::filesystem::exists(file, ec)) std::filesystem::remove(file, ec);
  std::string fresh = make();
  if (publish(file, fresh)) return fresh;
  // Another process published first (or the link failed): take what is there.
  return readIdentifier(file, accept);
}

}  // namespace platform
