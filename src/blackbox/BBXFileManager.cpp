#include "blackbox/BBXFileManager.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "blackbox/BBXInternalReport.h"
#include "harbor/HBRBundle.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/AppHome.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

std::string bbxJoin(const std::string& directory, const std::string& name) { return (fs::path(directory) / name).string(); }

// Renames without replacing: an existing destination, even an empty
// directory that rename(2) would take over, makes the move fail.
std::error_code bbxRenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return {errno, std::generic_category()};
  // A file system without the flag: look first.
  std::error_code error;
  if (fs::exists(fs::symlink_status(to, error))) return std::make_error_code(std::errc::file_exists);
  fs::rename(from, to, error);
  return error;
}

// Removes a link in the place of `path` (the link itself, logged); false
// when one is there and stays.
bool bbxRemoveLinkInPlaceOf(const fs::path& path) {
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(path, error))) {
    platform::consoleLog("[FileManager] Removing a link in the place of " + path.string());
  }
  return platform::AppHome::removeLinkInPlaceOf(path);
}

}  // namespace

BBXFileManager::BBXFileManager()
    : rootPath_((platform::AppHome::caches() / "com.blackbox.data" / pathNamespace()).string()) {}

std::string BBXFileManager::pathNamespace() { return HBRSanitizedBundleIdentifier().value_or(""); }

std::string BBXFileManager::structurePath() const { return bbxJoin(rootPath_, "v3"); }
std::string BBXFileManager::activePath() const { return bbxJoin(structurePath(), "active"); }
std::string BBXFileManager::pendingPath() const { return bbxJoin(structurePath(), "pending"); }
std::string BBXFileManager::processingPath() const { return bbxJoin(structurePath(), "processing"); }
std::string BBXFileManager::preparedPath() const { return bbxJoin(structurePath(), "prepared"); }
std::string BBXFileManager::refusedPath() const { return bbxJoin(structurePath(), "refused"); }

std::vector<std::string> BBXFileManager::activePathContents() const { return contentsOfDirectory(activePath()); }
std::vector<std::string> BBXFileManager::processingPathContents() const {
  return contentsOfDirectory(processingPath());
}
std::vector<std::string> BBXFileManager::preparedPathContents() const { return contentsOfDirectory(preparedPath()); }

bool BBXFileManager::createDirectoryAtPath(const std::string& path) const {
  // A link in the directory's place is no folder of the store: it goes (the
  // link, never what it points to), so that nothing is written through it.
  if (!bbxRemoveLinkInPlaceOf(path)) {
    platform::consoleLog("[FileManager] Unable to create directory " + path + ": a link stays in its place");
    return false;
  }
  std::error_code error;
  // The app home's creation mask keeps it the user's own.
  fs::create_directories(path, error);
  if (error) {
    platform::consoleLog("[FileManager] Unable to create directory " + error.message());
    return false;
  }
  return true;
}

bool BBXFileManager::removeItemAtPath(const std::string& path) const {
  std::error_code error;
  const auto removed = fs::remove_all(path, error);
  if (!error && removed == 0) error = std::make_error_code(std::errc::no_such_file_or_directory);
  if (error) {
    platform::consoleLog("[FileManager] Failed to remove file '" + path + "' : " + error.message());
    return false;
  }
  return true;
}

bool BBXFileManager::removeContentsOfDirectoryAtPath(const std::string& path) const {
  bool success = true;
  enumerateFilesInDirectory(path, [&](const std::string& entry, const std::string&) {
    if (!removeItemAtPath(entry)) success = false;
  });
  return success;
}

bool BBXFileManager::moveItemAtPath(const std::string& path, const std::string& directory) const {
  if (path.empty() || directory.empty()) {
    platform::consoleLog("[FileManager] Failed to move file, inputs invalid");
    return false;
  }
  const std::string destination = bbxJoin(directory, fs::path(path).filename().string());
  if (const std::error_code error = bbxRenameNoReplace(path, destination)) {
    platform::consoleLog("[FileManager] Failed to move file: " + error.message());
    return false;
  }
  return true;
}

bool BBXFileManager::moveItemsFromDirectory(const std::string& from, const std::string& to) const {
  for (const std::string& entry : contentsOfDirectory(from)) {
    if (!moveItemAtPath(entry, to)) return false;
  }
  return true;
}

void BBXFileManager::enumerateFilesInDirectory(const std::string& directory, const FileBlock& block) const {
  if (!block) return;
  for (const std::string& entry : contentsOfDirectory(directory)) {
    const std::string extension = fs::path(entry).extension().string();
    block(entry, extension.empty() ? extension : extension.substr(1));
  }
}

std::vector<std::string> BBXFileManager::contentsOfDirectory(const std::string& directory) const {
  return listDirectory(directory).value_or(std::vector<std::string>{});
}

std::optional<std::vector<std::string>> BBXFileManager::listDirectory(const std::string& directory) const {
  std::vector<std::string> names;
  std::error_code error;
  fs::directory_iterator it(directory, error);
  for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name.front() == '.') continue;
    // The store holds no links: one found is removed (the link, never what
    // it points to) and never listed, so nothing is read or written through
    // it.
    std::error_code statusError;
    if (it->is_symlink(statusError)) {
      platform::consoleLog("[FileManager] Removing a link in the store: " + it->path().string());
      fs::remove(it->path(), statusError);
      continue;
    }
    names.push_back(std::move(name));
  }
  // A directory that is not there holds nothing.
  if (error && error != std::errc::no_such_file_or_directory) {
    platform::consoleLog("[FileManager] Unable to list " + directory + ": " + error.message());
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name = bbxJoin(directory, name);
  return names;
}

std::optional<std::uint64_t> BBXFileManager::fileSizeAtPath(const std::string& path) const {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    platform::consoleLog(std::string("[Client] Unable to read file size: ") + std::strerror(errno));
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

bool BBXFileManager::removeLinksAboveStructure() const {
  // The data folder first (a link there takes the root along); without a
  // bundle identifier the root is the data folder itself.
  const fs::path root(rootPath_);
  return bbxRemoveLinkInPlaceOf(root.parent_path()) && (!root.has_filename() || bbxRemoveLinkInPlaceOf(root));
}

bool BBXFileManager::prepareForNewLaunch() const {
  return removeLinksAboveStructure() && createDirectoryAtPath(structurePath()) && createDirectoryAtPath(activePath()) &&
         createDirectoryAtPath(processingPath()) && createDirectoryAtPath(preparedPath());
}

std::optional<std::string> BBXFileManager::setupNewPathForExecutionIdentifier(const std::string& identifier) const {
  if (identifier.empty() || identifier == "." || identifier == ".." || identifier.find('/') != std::string::npos) {
    platform::consoleLog("[FileManager] Unable to create directory for identifier '" + identifier + "'");
    return std::nullopt;
  }
  std::string path = bbxJoin(activePath(), identifier);
  if (!createDirectoryAtPath(path)) return std::nullopt;
  return path;
}

void BBXFileManager::removeLegacyDirectories() const {
  if (!removeLinksAboveStructure()) return;
  std::error_code error;
  if (!fs::exists(bbxJoin(rootPath_, "sendable"), error)) return;
  fs::remove_all(rootPath_, error);
  if (error) platform::consoleLog("[Blackbox:FileManager] Unable to remove legacy directory structure " + error.message());
  platform::consoleLog("[Blackbox:FileManager] Removed legacy structure at " + rootPath_);
}

bool BBXFileManager::moveItemAside(const std::string& path) const {
  const std::string refused = refusedPath();
  std::vector<std::string> kept = createDirectoryAtPath(refused) ? contentsOfDirectory(refused)
                                                                 : std::vector<std::string>{};
  // Numbered after the newest kept, so that names sort oldest first.
  std::uint64_t next = 1;
  for (const std::string& entry : kept) {
    const std::string name = fs::path(entry).filename().string();
    std::uint64_t number = 0;
    const auto parsed = std::from_chars(name.data(), name.data() + name.size(), number);
    if (parsed.ec == std::errc() && number >= next) next = number + 1;
  }
  char prefix[24];
  std::snprintf(prefix, sizeof(prefix), "%010llu-", static_cast<unsigned long long>(next));
  const std::string destination = bbxJoin(refused, prefix + fs::path(path).filename().string());
  if (const std::error_code error = bbxRenameNoReplace(path, destination)) {
    platform::consoleLog("[FileManager] Failed to move file: " + error.message());
    removeItemAtPath(path);
    return false;
  }
  kept.push_back(destination);
  std::sort(kept.begin(), kept.end());
  for (std::size_t i = 0; i + kMaxRefusedItems < kept.size(); ++i) removeItemAtPath(kept[i]);
  return true;
}

void BBXFileManager::removePartialPackages() const {
  std::error_code error;
  for (fs::directory_iterator it(preparedPath(), error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() > 1 && name.front() == '.' && it->path().extension() == ".partial") {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

void BBXFileManager::enumerateReportsInProcessingDirectory(const ReportBlock& block) const {
  if (!block) return;
  for (const std::string& path : processingPathContents()) block(BBXInternalReport::reportWithPath(path), path);
}

void BBXFileManager::enumerateFilesInActiveDirectory(const FileBlock& block) const {
  enumerateFilesInDirectory(activePath(), block);
}

void BBXFileManager::enumerateFilesInPreparedDirectory(const FileBlock& block) const {
  enumerateFilesInDirectory(preparedPath(), block);
}

bool BBXFileManager::moveProcessingContentsToPrepared() const {
  return moveItemsFromDirectory(processingPath(), preparedPath());
}

bool BBXFileManager::movePendingToProcessing() const { return moveItemsFromDirectory(pendingPath(), processingPath()); }

bool BBXFileManager::removeContentsOfProcessingPath() const { return removeContentsOfDirectoryAtPath(processingPath()); }

bool BBXFileManager::removeContentsOfPendingPath() const { return removeContentsOfDirectoryAtPath(pendingPath()); }

bool BBXFileManager::removeContentsOfAllPaths() const {
  if (!removeLinksAboveStructure()) return false;
  bool success = removeContentsOfProcessingPath();
  success = removeContentsOfPendingPath() && success;
  success = removeContentsOfDirectoryAtPath(preparedPath()) && success;
  success = removeContentsOfDirectoryAtPath(activePath()) && success;
  success = removeContentsOfDirectoryAtPath(refusedPath()) && success;
  return success;
}

}  // namespace lumora
