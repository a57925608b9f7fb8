#include "platform/storage/IdentifierFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <system_error>

#include "platform/storage/OwnFile.h"

namespace platform {
namespace {

std::mutex& identifierMutex() {
  static std::mutex m;
  return m;
}

// The most an identifier's file is read to: one short line.
constexpr std::uint64_t kIdentifierFileLimit = 4096;

// Read as a file of its own: a symbolic link, a pipe or a folder at the
// name is no identifier, never read through nor waited on.
std::optional<std::string> readIdentifier(
    const std::filesystem::path& file,
    const std::function<std::optional<std::string>(const std::string&)>& accept) {
  const std::optional<std::string> text = readOwnFile(file, kIdentifierFileLimit);
  if (!text) return std::nullopt;
  return accept(text->substr(0, text->find('\n')));
}

std::function<void()>& linkFallbackForTesting() {
  static std::function<void()> whileLinked;
  return whileLinked;
}

// Writes `text` to a private temporary file and moves it in as `file`
// without replacing anything; false when `file` already exists or anything
// fails. Where the file system cannot rename without replacing, the file is
// linked in and its temporary name removed: for that moment it has two
// names, and a process reading it meanwhile reads this value.
bool publish(const std::filesystem::path& file, const std::string& text) {
  std::string temp = file.string() + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  std::string line = text + "\n";
  bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                 ::fsync(fd) == 0;
  ::close(fd);
  const std::function<void()>& whileLinked = linkFallbackForTesting();
  bool renamed = false;
  if (whileLinked) {
    errno = EINVAL;
  } else {
    renamed = written && ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0;
  }
  const bool linked =
      written && !renamed && (errno == EINVAL || errno == ENOSYS) && ::link(temp.c_str(), file.c_str()) == 0;
  if (linked && whileLinked) whileLinked();
  if (!renamed) ::unlink(temp.c_str());
  return renamed || linked;
}

}  // namespace

void setIdentifierLinkFallbackForTesting(std::function<void()> whileLinked) {
  linkFallbackForTesting() = std::move(whileLinked);
}

std::optional<std::string> readOrCreateIdentifier(
    const std::filesystem::path& file,
    const std::function<std::optional<std::string>(const std::string& line)>& accept,
    const std::function<std::string()>& make) {
  std::lock_guard<std::mutex> guard(identifierMutex());
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  struct stat seen {};
  const bool there = ::lstat(file.c_str(), &seen) == 0;
  if (auto existing = readIdentifier(file, accept)) return existing;
  std::string fresh = make();
  // Not an identifier: whatever was there is replaced, its name goes (a
  // link's, never what it leads to). Only what was read goes: one that
  // another process published meanwhile, at a name found empty or cleared
  // by it, is taken below.
  struct stat now {};
  if (there && ::lstat(file.c_str(), &now) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino) {
    std::filesystem::remove(file, ec);
  }
  if (publish(file, fresh)) return fresh;
  // Another process published first (or the move failed): take what is there.
  return readIdentifier(file, accept);
}

}  // namespace platform
