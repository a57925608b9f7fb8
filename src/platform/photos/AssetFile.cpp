#include "platform/photos/AssetFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/PrintableText.h"
#include "platform/storage/AppHome.h"

namespace platform::photos {
namespace {

using Fault = FileFaultAnswer;

std::mutex& faultMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

// Shared, so that a fault being called while another is set stays alive.
std::shared_ptr<const Fault>& currentFault() {
  static auto* fault = new std::shared_ptr<const Fault>();
  return *fault;
}

using Kind = AssetFileFailure::Kind;

Error fileError(Kind kind, const std::string& message, const std::filesystem::path& file) {
  const std::int64_t code = kind == Kind::Gone       ? kPhotosErrorNotFound
                            : kind == Kind::Unlisted ? kPhotosErrorFileSystem
                                                     : kPhotosErrorInvalidResource;
  return Error(kPhotosErrorDomain, code,
               Json{{Error::kLocalizedDescriptionKey, message},
                    {kAssetFilePathKey, file.string()},
                    {kAssetFileFailureKey, static_cast<int>(kind)}});
}

}  // namespace

bool isGoneFileCode(int code) { return code == ENOENT || code == ENOTDIR; }

std::string fileRefusalText(int code) {
  std::string text = std::strerror(code);
  // "Permission denied" within a sentence; a name in capitals stays.
  if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z')) {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

std::string libraryPathText(const std::filesystem::path& path) {
  const std::filesystem::path within = path.lexically_relative(AppHome::media());
  if (within.empty() || within == "." || *within.begin() == "..") return printablePath(path);
  return printablePath(within);
}

Error assetFileReadError(int code, const std::filesystem::path& file) {
  const std::string name = libraryPathText(file);
  const Error answer = posixError(code, "Cannot read " + name);
  if (isGoneFileCode(code)) {
    return fileError(Kind::Gone, name + " is no longer in the library.", file).withUnderlying(answer);
  }
  return fileError(Kind::Unreadable, name + ": cannot be read: " + fileRefusalText(code), file)
      .withUnderlying(answer);
}

Error assetFileDamagedError(const std::filesystem::path& file, MediaType type) {
  return fileError(Kind::Damaged,
                   libraryPathText(file) + " is damaged: it does not read as a " +
                       (type == MediaType::Video ? "video" : "photo"),
                   file);
}

Error assetFileChangedError(const std::filesystem::path& file) {
  return fileError(Kind::Changed, libraryPathText(file) + " changed while it was read", file);
}

Error libraryFolderReadError(int code, const std::filesystem::path& folder) {
  const std::string name = libraryPathText(folder);
  return fileError(Kind::Unlisted, "the folder \"" + name + "\" cannot be read: " + fileRefusalText(code), folder)
      .withUnderlying(posixError(code, "Cannot list " + name));
}

bool isAssetFileGoneError(const Error& error) {
  if (error.domain() != kPhotosErrorDomain || error.code() != kPhotosErrorNotFound) return false;
  const auto answer = error.underlying();
  return answer && answer->domain() == kPOSIXErrorDomain && isGoneFileCode(static_cast<int>(answer->code()));
}

std::optional<AssetFileFailure> assetFileFailureOf(const Error& error) {
  for (std::optional<Error> at = error; at; at = at->underlying()) {
    const Json& info = at->userInfo();
    if (at->domain() != kPhotosErrorDomain || !info.is_object()) continue;
    const auto path = info.find(kAssetFilePathKey);
    const auto kind = info.find(kAssetFileFailureKey);
    if (path == info.end() || !path->is_string() || kind == info.end() || !kind->is_number_integer()) continue;
    const int value = kind->get<int>();
    if (value < static_cast<int>(Kind::Gone) || value > static_cast<int>(Kind::Unlisted)) continue;
    AssetFileFailure failure{static_cast<Kind>(value), path->get<std::string>()};
    if (auto answer = at->underlying(); answer && answer->domain() == kPOSIXErrorDomain) {
      failure.code = static_cast<int>(answer->code());
    }
    return failure;
  }
  return std::nullopt;
}

Error errorOfAssetFile(const Error& error, const std::filesystem::path& file) {
  if (assetFileOf(error)) return error;
  Error named = error;
  named.mutableUserInfo()[kAssetFilePathKey] = file.string();
  return named;
}

std::optional<std::filesystem::path> assetFileOf(const Error& error) {
  for (std::optional<Error> at = error; at; at = at->underlying()) {
    const Json& info = at->userInfo();
    if (!info.is_object()) continue;
    const auto path = info.find(kAssetFilePathKey);
    if (path != info.end() && path->is_string()) return std::filesystem::path(path->get<std::string>());
  }
  return std::nullopt;
}

int injectedFileFault(const std::filesystem::path& path, FileAccess access) {
  std::shared_ptr<const Fault> fault;
  {
    std::lock_guard<std::mutex> guard(faultMutex());
    fault = currentFault();
  }
  return fault && *fault ? (*fault)(path, access) : 0;
}

void setFileFaultForTesting(Fault fault) {
  auto shared = fault ? std::make_shared<const Fault>(std::move(fault)) : nullptr;
  std::lock_guard<std::mutex> guard(faultMutex());
  currentFault() = std::move(shared);
}

int assetFileAnswer(const std::filesystem::path& file) {
  if (const int fault = injectedFileFault(file, FileAccess::Look)) return fault;
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return errno;
  return S_ISREG(info.st_mode) ? 0 : EINVAL;
}

Result<int> openAssetFile(const std::filesystem::path& file, struct stat* opened) {
  int code = injectedFileFault(file, FileAccess::Open);
  if (code == 0) {
    // Non-blocking, so that a pipe under the name never holds the reader;
    // nothing but a plain file is an asset's file.
    int fd;
    while ((fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) < 0 && errno == EINTR) {
    }
    if (fd < 0) {
      code = errno;
    } else {
      struct stat info {};
      if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        if (opened != nullptr) *opened = info;
        code = injectedFileFault(file, FileAccess::Read);
        if (code == 0) return fd;
      } else {
        code = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
      }
      ::close(fd);
    }
  }
  return posixError(code, "Cannot open " + libraryPathText(file));
}

bool assetFileChangedSince(int fd, const struct stat& opened) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) return false;
  return now.st_size != opened.st_size || now.st_mtim.tv_sec != opened.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != opened.st_mtim.tv_nsec;
}

}  // namespace platform::photos
