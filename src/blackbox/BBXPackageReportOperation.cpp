#include "blackbox/BBXPackageReportOperation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXFile.h"
#include "harbor/HBRMultipartMimeStreamEncoder.h"
#include "platform/FileOutputStream.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

constexpr std::size_t kBBXGzipChunk = 64 * 1024;
constexpr const char* kBBXPackageExtension = ".multipartmime";
constexpr const char* kBBXPartialPackageExtension = ".partial";
constexpr const char* kBBXGzipMimeType = "application/x-gzip";

std::mutex& bbxGzWriteMutex() {
  static std::mutex mutex;
  return mutex;
}

BBXPackageReportOperation::GzWrite& bbxGzWriteSlot() {
  static auto& write = *new BBXPackageReportOperation::GzWrite();
  return write;
}

int bbxGzWrite(gzFile file, const void* data, unsigned length) {
  BBXPackageReportOperation::GzWrite hook;
  {
    std::lock_guard lock(bbxGzWriteMutex());
    hook = bbxGzWriteSlot();
  }
  return hook ? hook(file, data, length) : gzwrite(file, data, length);
}

// "signal.bbxrecord.gz" -> "signal": the name less its last two extensions.
std::string bbxFieldNameForCompressedName(std::string name) {
  for (int i = 0; i < 2; ++i) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) break;
    name.erase(dot);
  }
  return name;
}

}  // namespace

BBXPackageReportOperation::BBXPackageReportOperation(std::shared_ptr<BBXInternalReport> report,
                                                     BBXFileManager fileManager,
                                                     std::optional<std::string> fallbackAPIKey)
    : report_(std::move(report)), fileManager_(std::move(fileManager)), fallbackAPIKey_(std::move(fallbackAPIKey)) {}

void BBXPackageReportOperation::setGzWriteForTesting(GzWrite write) {
  std::lock_guard lock(bbxGzWriteMutex());
  bbxGzWriteSlot() = std::move(write);
}

std::string BBXPackageReportOperation::reportPath() const { return report_ ? report_->path() : std::string(); }

std::string BBXPackageReportOperation::destinationDirectory() const { return fileManager_.preparedPath(); }

std::string BBXPackageReportOperation::packagedPathWithName(const std::string& name) const {
  return (std::filesystem::path(destinationDirectory()) / (name + kBBXPackageExtension)).string();
}

std::string BBXPackageReportOperation::partialPathWithName(const std::string& name) const {
  return (std::filesystem::path(destinationDirectory()) / ("." + name + kBBXPartialPackageExtension)).string();
}

std::optional<std::string> BBXPackageReportOperation::compressFile(const std::string& path) const {
  auto contents = BBXFileReadBounded(path.c_str(), kBBXMaxRecordFileBytes);
  if (!contents) {
    BBXSDKLog("Error: Failed to read a report file for compression\n");
    return std::nullopt;
  }
  return compressContents(path, *contents);
}

platform::Result<std::optional<std::string>> BBXPackageReportOperation::contentsToSend(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  BBXFileReadProblem problem = BBXFileReadProblem::None;
  auto contents = BBXFileReadBounded(path.c_str(), kBBXMaxRecordFileBytes, &problem);
  if (!contents) {
    const int code = errno;
    // A failed open or read that may pass (too many open files, say): the
    // report waits for a later try rather than going without the file.
    if (problem == BBXFileReadProblem::Unreadable) {
      platform::consoleLog("[Blackbox:Crash:Reports] Unable to read " + name + " now: " + std::strerror(code));
      return platform::posixError(code, "Unable to read the report file " + name);
    }
    // One that stays (no permission) would hold the report back for ever.
    platform::consoleLog("[Blackbox:Crash:Reports] Leaving out " + name + ": " +
                         (problem == BBXFileReadProblem::TooLarge ? std::string("larger than capture ever writes")
                          : problem == BBXFileReadProblem::Refused ? std::string(std::strerror(code))
                                                                    : std::string("it is gone or no plain file")));
    return std::optional<std::string>();
  }
  if (name.find(".bbxrecord") == std::string::npos) return contents;
  // A line no reader takes (a torn write, damage) would have the service
  // refuse the whole package: the record goes without it.
  std::size_t dropped = 0;
  std::string readable = BBXFileReadableLines(*contents, &dropped);
  if (dropped == 0) return contents;
  platform::consoleLog("[Blackbox:Crash:Reports] Leaving out " + std::to_string(dropped) + " line(s) of " + name +
                       " that are no record");
  if (readable.empty()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(readable));
}

std::optional<std::string> BBXPackageReportOperation::compressContents(const std::string& path,
                                                                      const std::string& contents) const {
  const std::string target = path + ".gz";
  // A new file of our own: whatever lies at that name (a leftover, a link
  // planted there) goes first, and the open follows no link.
  unlink(target.c_str());
  const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  gzFile file = fd >= 0 ? gzdopen(fd, "w") : nullptr;
  if (!file) {
    if (fd >= 0) close(fd);
    BBXSDKLog("Error: Failed to open the compressed file\n");
    return std::nullopt;
  }
  bool whole = true;
  for (std::size_t offset = 0; offset < contents.size(); offset += kBBXGzipChunk) {
    unsigned length = static_cast<unsigned>(std::min(kBBXGzipChunk, contents.size() - offset));
    if (bbxGzWrite(file, contents.data() + offset, length) != static_cast<int>(length)) {
      BBXSDKLog("Error: Failed to write all compressed bytes\n");
      whole = false;
      break;
    }
  }
  if (gzclose(file) != Z_OK && whole) {
    BBXSDKLog("Error: Failed to finish the compressed file\n");
    whole = false;
  }
  // A truncated part would be sent for the whole report: none is kept.
  if (!whole) {
    std::error_code ignored;
    std::filesystem::remove(target, ignored);
    return std::nullopt;
  }
  return target;
}

void BBXPackageReportOperation::main() {
  finalPath_.reset();
  nothingToSend_ = false;
  if (!report_) return;
  const std::string boundary = HBRMultipartMimeStreamEncoder::generateBoundary();
  const std::string packagePath = packagedPathWithName(boundary);
  // Written under a hidden name and renamed once whole, so that an
  // interrupted run never leaves a torn package to be sent.
  const std::string partialPath = partialPathWithName(boundary);
  unlink(partialPath.c_str());
  auto stream = platform::FileOutputStream::open(partialPath);
  if (!stream) {
    platform::consoleLog("[Blackbox:Crash:Reports] Unable to open the package: " + stream.error().description());
    return;
  }
  auto encoder = HBRMultipartMimeStreamEncoder::encoderWithStream(*stream, boundary);
  if (!encoder) {
    fileManager_.removeItemAtPath(partialPath);
    return;
  }

  bool failed = false;
  std::size_t filesAdded = 0;
  bool leftOutForNow = false;  // a file that may be read at a later try
  encoder->encode([&](HBRMultipartMimeStreamEncoder& body) {
    auto key = report_->APIKey();
    if (!key || key->empty()) key = fallbackAPIKey_;
    if (key && !key->empty()) body.addValue(platform::Json(*key), "api_key");
    if (!report_->identifier().empty()) body.addValue(platform::Json(report_->identifier()), "report_id");
    // A listing that fails now (too many open files, say) would send the
    // report without its files.
    const auto entries = fileManager_.listDirectory(reportPath());
    if (!entries) {
      failed = true;
      return;
    }
    for (const std::string& path : *entries) {
      if (isCancelled()) return;
      if (std::filesystem::path(path).extension() == ".gz") continue;
      // Capture writes plain files only: a link, a folder, a pipe or a
      // device is no part of the report and is never opened.
      struct stat info {};
      if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        platform::consoleLog("[Blackbox:Crash:Reports] Skipping a report entry that is no plain file: " + path);
        continue;
      }
      // A file that can never be sent as it is stays out and the rest goes;
      // one that cannot be read or packed now leaves no package, but on the
      // last try.
      const std::string name = std::filesystem::path(path).filename().string();
      const auto leaveOutOnLastTry = [&] {
        if (!lastTry_) return false;
        platform::consoleLog("[Blackbox:Crash:Reports] Leaving out " + name +
                             ": it could not be read or packed now, on the report's last try");
        leftOutForNow = true;
        return true;
      };
      const auto contents = contentsToSend(path);
      if (!contents) {
        if (leaveOutOnLastTry()) continue;
        failed = true;
        return;
      }
      if (!*contents) continue;
      auto compressed = compressContents(path, **contents);
      if (!compressed) {
        if (leaveOutOnLastTry()) continue;
        failed = true;
        return;
      }
      // The compressed copy is read back into the package: a copy that
      // cannot be read now is no reason to send the report without it.
      const std::string fileName = std::filesystem::path(*compressed).filename().string();
      const auto added =
          body.addFile(*compressed, fileName, std::string(kBBXGzipMimeType), bbxFieldNameForCompressedName(fileName));
      if (!added) {
        platform::consoleLog("[Blackbox:Crash:Reports] Unable to add " + name +
                             " to the package now: " + added.error().description());
        if (leaveOutOnLastTry()) continue;
        failed = true;
        return;
      }
      ++filesAdded;
    }
  });
  // A package without a file of the report is never sent: the service
  // would refuse it, and the crash would be lost with it. A report of which
  // something may be read at a later try waits for it, however many tries
  // it has had; one of which nothing can ever be sent is told as such.
  if (!failed && !isCancelled() && filesAdded == 0) {
    failed = true;
    nothingToSend_ = !leftOutForNow;
    platform::consoleLog("[Blackbox:Crash:Reports] Nothing of report " + report_->identifier() +
                         (leftOutForNow ? " can be read now: it is kept for a later try"
                                        : " can be sent: no file of it can be read or holds a record"));
  }

  // A write the file refused leaves a torn package.
  (*stream)->close();
  if (!failed && (*stream)->failed()) {
    platform::consoleLog("[Blackbox:Crash:Reports] The package was not written whole");
    failed = true;
  }
  if (!failed && !isCancelled() && rename(partialPath.c_str(), packagePath.c_str()) != 0) {
    platform::consoleLog(std::string("[Blackbox:Crash:Reports] Unable to finish the package: ") + std::strerror(errno));
    failed = true;
  }
  if (failed || isCancelled()) {
    fileManager_.removeItemAtPath(partialPath);
    return;
  }
  finalPath_ = packagePath;
}

}  // namespace lumora
