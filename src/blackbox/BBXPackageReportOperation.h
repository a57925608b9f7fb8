// Packs one report directory into an upload package: a multipart file in
// the store's "prepared" folder named <boundary>.multipartmime, holding the
// report's API key (the running app's when the report's metadata has none)
// and identifier (each only when present) and every plain file of the
// directory gzip-compressed to a ".gz" file beside it (leftover ".gz" files
// are skipped and made again; links, folders, pipes and devices are never
// opened). A file larger than capture ever writes, gone meanwhile, or one
// the system will not let the app read (another user's, say) is left out,
// named in the log, and so are the lines of a record file that no reader
// takes, and a record file with none left: one bad file never keeps the
// rest of a report from going. A file that cannot be opened or read now for
// a reason that may pass (too many open files, say), or a part whose
// compressed copy cannot be made or read back now, leaves no package: the
// report is kept whole for a later try. On the report's last try (set by
// the caller) such a file is left out too, named, and the rest goes. A
// package is never made without a file of the report: when nothing of it
// can be read now the report waits for a later try, whichever try it is;
// when nothing of it can ever be sent, nothingToSend() says so.
// The package is written under a hidden name (".<boundary>.partial") and
// renamed when whole, so that an interrupted run leaves no torn package to
// be sent. The entries themselves stay; the caller removes the directory
// once a package is there.
//
// Ownership: holds the report (shared) and a copy of the store's paths.
// Threading: run with start() on the caller's thread. Failure: an entry that
// cannot be read now or does not compress whole (but on the last try), or a
// package file that cannot be written whole, leaves no package (the file is
// removed and finalPath() stays empty), so the report directory is kept; a
// cancelled operation also leaves none.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "blackbox/BBXFileManager.h"
#include "blackbox/BBXInternalReport.h"
#include "platform/Result.h"
#include "platform/dispatch/Operation.h"

namespace lumora {

class BBXPackageReportOperation : public platform::Operation {
 public:
  // gzwrite's shape over an opaque zlib file: the bytes taken.
  using GzWrite = std::function<int(void* file, const void* data, unsigned length)>;

  BBXPackageReportOperation(std::shared_ptr<BBXInternalReport> report, BBXFileManager fileManager,
                            std::optional<std::string> fallbackAPIKey = std::nullopt);

  // The entry compressed to "<path>.gz"; nullopt (logged, the partial file
  // removed) when it could not be read, written whole or closed.
  std::optional<std::string> compressFile(const std::string& path) const;
  // What of the entry goes into the package: nullopt (logged) when it is
  // left out; an error when it cannot be read now.
  static platform::Result<std::optional<std::string>> contentsToSend(const std::string& path);
  // On the last try what cannot be read or packed now is left out rather
  // than keeping the report back.
  void setLastTry(bool lastTry) { lastTry_ = lastTry; }

  std::string reportPath() const;
  std::string destinationDirectory() const;
  std::string packagedPathWithName(const std::string& name) const;
  // Where the package is written until it is whole.
  std::string partialPathWithName(const std::string& name) const;
  const std::optional<std::string>& finalPath() const { return finalPath_; }
  // No package was made because no file of the report can ever be sent
  // (each is refused, gone, no plain file, too large, or holds no record).
  bool nothingToSend() const { return nothingToSend_; }

  // Replaces the compressed writes (tests); null restores gzwrite.
  static void setGzWriteForTesting(GzWrite write);

 protected:
  void main() override;

 private:
  // `contents` compressed to "<path>.gz", as compressFile.
  std::optional<std::string> compressContents(const std::string& path, const std::string& contents) const;

  std::shared_ptr<BBXInternalReport> report_;
  BBXFileManager fileManager_;
  std::optional<std::string> fallbackAPIKey_;
  std::optional<std::string> finalPath_;
  bool lastTry_ = false;
  bool nothingToSend_ = false;
};

}  // namespace lumora
