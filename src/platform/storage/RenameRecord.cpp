#include "platform/storage/RenameRecord.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "platform/storage/OwnFile.h"
#include "platform/storage/SharedFileCopies.h"
#include "platform/storage/StoreStage.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// A record is a few names a file: anything larger is no record of ours.
constexpr std::uint64_t kRecordLimit = 16 << 20;

// Whether `relative` is a name below the home: not empty, not absolute, no
// step up.
bool below(const fs::path& relative) {
  if (relative.empty() || relative.is_absolute() || relative.filename().empty()) return false;
  for (const fs::path& part : relative) {
    if (part == ".." || part == ".") return false;
  }
  return true;
}

// The entries of the record's bytes `bytes` (names relative to `root`);
// nullopt when they are no record.
std::optional<std::vector<RenameRecord::Entry>> parsed(const fs::path& root, const std::string& bytes) {
  std::vector<RenameRecord::Entry> entries;
  for (std::size_t at = 0; at < bytes.size();) {
    const char kind = bytes[at++];
    const std::size_t targetEnd = bytes.find('\0', at);
    if ((kind != 's' && kind != 'f') || targetEnd == std::string::npos) return std::nullopt;
    const std::size_t copyEnd = bytes.find('\0', targetEnd + 1);
    if (copyEnd == std::string::npos) return std::nullopt;
    const fs::path target = bytes.substr(at, targetEnd - at);
    const fs::path copy = bytes.substr(targetEnd + 1, copyEnd - targetEnd - 1);
    // A copy lies beside its file under a leftover's name.
    if (!below(target) || !below(copy) || copy.parent_path() != target.parent_path() ||
        copy.filename().native().front() != '.') {
      return std::nullopt;
    }
    entries.push_back({root / target, root / copy, kind == 's'});
    at = copyEnd + 1;
  }
  return entries;
}

Status syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return posixError(errno, "Cannot open " + folder.string());
  const bool synced = ::fsync(fd) == 0;
  const int failure = errno;
  ::close(fd);
  if (!synced) return posixError(failure, "Cannot write " + folder.string());
  return Status::success();
}

}  // namespace

Status RenameRecord::write(const fs::path& root, const std::vector<Entry>& entries) {
  std::string bytes;
  for (const Entry& entry : entries) {
    bytes += entry.store ? 's' : 'f';
    bytes += entry.target.lexically_relative(root).native();
    bytes += '\0';
    bytes += entry.copy.lexically_relative(root).native();
    bytes += '\0';
  }
  const fs::path record = root / kFileName;
  char temporary[PATH_MAX];
  const int fd = makeCopyBeside(record.c_str(), -1, 0600, O_WRONLY, temporary);
  if (fd < 0) return posixError(errno, "Cannot write " + record.string());
  bool written = writeWhole(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
  int failure = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    failure = errno;
  }
  if (written && ::rename(temporary, record.c_str()) != 0) {
    written = false;
    failure = errno;
  }
  if (!written) {
    ::unlink(temporary);
    return posixError(failure, "Cannot write " + record.string());
  }
  return syncFolder(root);
}

Status RenameRecord::remove(const fs::path& root) {
  const fs::path record = root / kFileName;
  if (::unlink(record.c_str()) != 0 && errno != ENOENT) return posixError(errno, "Cannot remove " + record.string());
  return Status::success();
}

Status RenameRecord::take(const Entry& entry) {
  if (entry.store) {
    // Its journal files here are the other home's store's, or were this
    // home's and hold nothing the copy does not.
    for (const char* suffix : kStoreJournalSuffixes) {
      const fs::path journal = storeFileNamed(entry.target, suffix);
      struct stat found {};
      if (::lstat(journal.c_str(), &found) != 0 || !S_ISREG(found.st_mode)) continue;
      if (::unlink(journal.c_str()) != 0 && errno != ENOENT) {
        return posixError(errno, "Cannot replace " + entry.target.string());
      }
      SharedFileCopies::stepTaken(SharedFileCopies::Step::Removed, journal);
    }
  }
  if (::rename(entry.copy.c_str(), entry.target.c_str()) != 0) {
    return posixError(errno, "Cannot replace " + entry.target.string());
  }
  SharedFileCopies::stepTaken(SharedFileCopies::Step::Renamed, entry.target);
  return Status::success();
}

Status RenameRecord::complete(const fs::path& root) {
  const fs::path record = root / kFileName;
  OwnFileProblem problem = OwnFileProblem::None;
  const std::optional<std::string> bytes = readOwnFile(record, kRecordLimit, &problem);
  if (!bytes) {
    if (problem == OwnFileProblem::Missing) return Status::success();
    // Something else at the record's name is no record of ours.
    if (problem == OwnFileProblem::NotRegular || problem == OwnFileProblem::TooLarge) return Status::success();
    return posixError(errno, "Cannot read " + record.string());
  }
  if (const auto entries = parsed(root, *bytes)) {
    for (const Entry& entry : *entries) {
      struct stat copy {};
      // Renamed already when its copy is gone.
      if (::lstat(entry.copy.c_str(), &copy) != 0 || !S_ISREG(copy.st_mode)) continue;
      if (Status taken = take(entry); !taken.ok()) return taken;
    }
  }
  return remove(root);
}

}  // namespace platform
