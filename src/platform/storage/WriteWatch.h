// Whether files were written while something read them: the kernel's
// notices of writes (inotify) to each file watched, whatever name the
// write went through (a file with a second name is one file), and besides
// them the file's status at its name (another file put there, its size or
// time changed), which tells it where there are no notices to have.
//
// Ownership: the notices' descriptor, closed with the object. Threading:
// one thread.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <vector>

namespace platform {

class WriteWatch {
 public:
  WriteWatch();
  ~WriteWatch();
  WriteWatch(const WriteWatch&) = delete;
  WriteWatch& operator=(const WriteWatch&) = delete;

  // Watches the file at `path` from now on (a link is not followed).
  void watch(const std::filesystem::path& path);
  // Whether any file watched was written since its watch began; the
  // watches end.
  bool written();

 private:
  struct Watched {
    std::filesystem::path path;
    struct stat info {};
    int descriptor = -1;
  };

  int notices_ = -1;
  std::vector<Watched> watched_;
};

}  // namespace platform
