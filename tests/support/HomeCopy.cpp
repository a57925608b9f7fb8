#include "support/HomeCopy.h"

#include <cstring>
#include <system_error>

#include "support/TestMedia.h"

namespace testsupport {
namespace {

namespace fs = std::filesystem;

bool isStore(const fs::path& file, const platform::Bytes& bytes) {
  static const char kHeader[] = "SQLite format 3";  // and its NUL
  const std::string name = file.filename().string();
  for (const char* journal : {"-wal", "-shm", "-journal"}) {
    if (name.size() > std::strlen(journal) && name.ends_with(journal)) return true;
  }
  return bytes.size() >= sizeof kHeader && std::memcmp(bytes.data(), kHeader, sizeof kHeader) == 0;
}

}  // namespace

bool copyWithHardLinks(const fs::path& from, const fs::path& to, const std::set<std::string>& leftOut) {
  std::error_code error;
  fs::create_directories(to, error);
  if (error) return false;
  for (fs::recursive_directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(from);
    if (leftOut.count(relative.begin()->string()) != 0) {
      it.disable_recursion_pending();
      continue;
    }
    const fs::path target = to / relative;
    const fs::file_status status = it->symlink_status(error);
    if (!error) {
      if (fs::is_symlink(status)) {
        fs::copy_symlink(it->path(), target, error);
      } else if (fs::is_directory(status)) {
        fs::create_directory(target, error);
        if (!error) fs::permissions(target, status.permissions(), error);
      } else {
        fs::create_hard_link(it->path(), target, error);
      }
    }
    // A file the running app removed as it was reached is not copied.
    if (error == std::errc::no_such_file_or_directory) {
      error.clear();
      continue;
    }
    if (error) return false;
  }
  return !error;
}

// Calls `visit` with each regular file below `root` (but below the entries
// named in `leftOut`) and its path relative to `root`.
template <typename Visit>
void eachFile(const fs::path& root, const std::set<std::string>& leftOut, Visit&& visit) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(root);
    if (leftOut.count(relative.begin()->string()) != 0) {
      it.disable_recursion_pending();
      continue;
    }
    if (fs::is_regular_file(it->symlink_status(error))) visit(it->path(), relative.string());
  }
}

std::map<std::string, platform::Bytes> homeFiles(const fs::path& root, const std::set<std::string>& leftOut) {
  std::map<std::string, platform::Bytes> files;
  eachFile(root, leftOut, [&](const fs::path& path, const std::string& name) { files[name] = readFile(path); });
  return files;
}

std::map<std::string, platform::Bytes> filesOtherThanStores(const fs::path& root, const std::set<std::string>& leftOut) {
  std::map<std::string, platform::Bytes> files = homeFiles(root, leftOut);
  std::erase_if(files, [](const auto& file) { return isStore(file.first, file.second); });
  return files;
}

std::set<std::string> filesWithSecondNames(const fs::path& root, const std::set<std::string>& leftOut) {
  std::set<std::string> found;
  eachFile(root, leftOut, [&](const fs::path& path, const std::string& name) {
    std::error_code ignored;
    if (fs::hard_link_count(path, ignored) > 1) found.insert(name);
  });
  return found;
}

std::set<std::string> namesHolding(const fs::path& root, const std::string& text) {
  std::set<std::string> found;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.find(text) != std::string::npos) found.insert(it->path().lexically_relative(root).string());
  }
  return found;
}

}  // namespace testsupport
