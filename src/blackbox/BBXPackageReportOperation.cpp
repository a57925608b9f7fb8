#include "blackbox/BBXPackageReportOperation.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "blackbox/BBXAllocator.h"
#include "harbor/HBRMultipartMimeStreamEncoder.h"
#include "platform/FileOutputStream.h"
#include "platform/diagnostics/Console.h"

namespace lumora {
namespace {

constexpr std::size_t kBBXGzipChunk = 64 * 1024;
constexpr const char* kBBXPackageExtension = ".multipartmime";
constexpr const char* kBBXGzipMimeType = "application/x-gzip";

std::mutex& bbxGzWriteMutex() {
  static std::mutex mutex;
  return mutex;
}

BBXPackageReportOperation::GzWrite& bbxGzWriteSlot() {
  static BBXPackageReportOperation::GzWrite write;
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
                                                     BBXFileManager fileManager)
    : report_(std::move(report)), fileManager_(std::move(fileManager)) {}

void BBXPackageReportOperation::setGzWriteForTesting(GzWrite write) {
  std::lock_guard lock(bbxGzWriteMutex());
  bbxGzWriteSlot() = std::move(write);
}

std::string BBXPackageReportOperation::reportPath() const { return report_ ? report_->path() : std::string(); }

std::string BBXPackageReportOperation::destinationDirectory() const { return fileManager_.preparedPath(); }

std::string BBXPackageReportOperation::packagedPathWithName(const std::string& name) const {
  return (std::filesystem::path(destinationDirectory()) / (name + kBBXPackageExtension)).string();
}

std::optional<std::string> BBXPackageReportOperation::compressFile(const std::string& path) const {
  const std::string target = path + ".gz";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    BBXSDKLog("Error: Failed to read a report file for compression\n");
    return std::nullopt;
  }
  std::vector<char> contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    BBXSDKLog("Error: Failed to read a report file for compression\n");
    return std::nullopt;
  }
  gzFile file = gzopen(target.c_str(), "w");
  if (!file) {
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
  if (!report_) return;
  const std::string boundary = HBRMultipartMimeStreamEncoder::generateBoundary();
  const std::string packagePath = packagedPathWithName(boundary);
  auto stream = platform::FileOutputStream::open(packagePath);
  if (!stream) {
    platform::consoleLog("[Blackbox:Crash:Reports] Unable to open the package: " + stream.error().description());
    return;
  }
  auto encoder = HBRMultipartMimeStreamEncoder::encoderWithStream(*stream, boundary);
  if (!encoder) return;

  bool failed = false;
  encoder->encode([&](HBRMultipartMimeStreamEncoder& body) {
    if (auto key = report_->APIKey(); key && !key->empty()) body.addValue(platform::Json(*key), "api_key");
    if (!report_->identifier().empty()) body.addValue(platform::Json(report_->identifier()), "report_id");
    fileManager_.enumerateFilesInDirectory(reportPath(), [&](const std::string& path, const std::string& extension) {
      if (failed || isCancelled() || extension == "gz") return;
      auto compressed = compressFile(path);
      if (!compressed) {
        failed = true;
        return;
      }
      const std::string fileName = std::filesystem::path(*compressed).filename().string();
      body.addFile(*compressed, fileName, std::string(kBBXGzipMimeType),
                   bbxFieldNameForCompressedName(fileName));
    });
  });

  // A write the file refused leaves a torn package.
  if (!failed && (*stream)->failed()) {
    platform::consoleLog("[Blackbox:Crash:Reports] The package was not written whole");
    failed = true;
  }
  if (failed || isCancelled()) {
    fileManager_.removeItemAtPath(packagePath);
    return;
  }
  finalPath_ = packagePath;
}

}  // namespace lumora
