// A folder of the user's for one test: a temporary folder outside every app
// home (a folder of pictures linked into the photo library, say), removed
// afterwards with what it holds.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

class UserFolder {
 public:
  UserFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumora-user-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~UserFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  UserFolder(const UserFolder&) = delete;
  UserFolder& operator=(const UserFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
