// The file system's refusals that a test running as root never meets (a
// photo or a folder of mode 000, a failing disk), and changes to a file in
// the midst of its read, made at the photo library's reads for as long as
// a FileFault lives.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>

#include "platform/photos/AssetFile.h"

namespace testsupport {

class FileFault {
 public:
  using Answer = platform::photos::FileFaultAnswer;
  using Access = platform::photos::FileAccess;

  explicit FileFault(Answer answer) { platform::photos::setFileFaultForTesting(std::move(answer)); }
  ~FileFault() { platform::photos::setFileFaultForTesting(nullptr); }
  FileFault(const FileFault&) = delete;
  FileFault& operator=(const FileFault&) = delete;

  // `code` for `place` and everything under it.
  static Answer under(std::filesystem::path place, int code) {
    return [place = std::move(place), code](const std::filesystem::path& path, Access) {
      const auto relative = path.lexically_relative(place);
      return !relative.empty() && *relative.begin() != ".." ? code : 0;
    };
  }

  // `code` for `file` from its `from`-th open to be read on (1 the first):
  // the reads before it went well; a look at it goes well.
  static Answer fromOpen(std::filesystem::path file, int from, int code) {
    auto opens = std::make_shared<std::atomic<int>>(0);
    return [file = std::move(file), from, code, opens](const std::filesystem::path& path, Access access) {
      return access == Access::Open && path == file && ++*opens >= from ? code : 0;
    };
  }

  // Runs `change` on `file` as it is met the `nth` time (1 the first) in
  // the way `access` says: at an open, before it is opened; at a read, once
  // it is open and its status taken (a change while it is read).
  static Answer changedAt(std::filesystem::path file, Access access, int nth,
                          std::function<void(const std::filesystem::path&)> change) {
    auto met = std::make_shared<std::atomic<int>>(0);
    return [file = std::move(file), access, nth, change = std::move(change), met](const std::filesystem::path& path,
                                                                                  Access at) {
      if (at == access && path == file && ++*met == nth) change(file);
      return 0;
    };
  }
};

}  // namespace testsupport
