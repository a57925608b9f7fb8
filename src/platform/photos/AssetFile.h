// An asset's own file as the library reads it, and what a failed read says
// of the asset. Only the file system's answer at its path decides that the
// asset is gone: ENOENT or ENOTDIR (the file, or a folder or link on its way,
// moved, removed or unmounted). Every other refusal (no permission, an I/O
// error) leaves the asset in the library, unreadable, and so does a file
// that does not read as the photo or video its name says (damaged): such an
// asset is told by its file's path within the library's folder and the
// reason, and is tried again the next time it is read. So is a folder of the
// library that cannot be read (its listing refused or failed): the assets
// known in it stay, and the ones it may hold besides cannot be seen.
//
// Errors: the gone asset is kPhotosErrorNotFound, an unreadable or damaged
// one kPhotosErrorInvalidResource, an unreadable folder
// kPhotosErrorFileSystem; all carry the file's (or folder's) path under
// kAssetFilePathKey, and the file system's answer (POSIX) as their
// underlying error when there is one. Names in their messages are printable
// (PrintableText.h).
//
// Tests stand in for refusals that a process running as root never meets
// (a file or folder of mode 000, a failing disk) with
// setFileFaultForTesting: the answer it gives for a path is taken as the
// file system's, at the open of an asset's file, at a look at it, at the
// listing of a folder of the library, and at the read of an open file.
//
// Any thread.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/photos/Types.h"

namespace platform::photos {

// User-info keys of the errors below: the asset's file, and what failed.
inline constexpr const char* kAssetFilePathKey = "NSFilePath";
inline constexpr const char* kAssetFileFailureKey = "AssetFileFailure";

// Whether an errno says the file is no longer at its path.
bool isGoneFileCode(int code);

// How a file or folder of the library is named to the user: its path
// within the library's folder ("2023 Trip/IMG_0001.JPG", as camera names
// repeat from folder to folder), printable; a path outside the folder, and
// the folder itself, whole.
std::string libraryPathText(const std::filesystem::path& path);

// The error of an asset whose file a read found `code` for: gone for
// ENOENT and ENOTDIR, else unreadable ("2023 Trip/IMG_0060.JPG: cannot be
// read: permission denied").
Error assetFileReadError(int code, const std::filesystem::path& file);
// An asset whose file reads but is not the photo or video its name says
// ("IMG_0060.JPG is damaged: it does not read as a photo").
Error assetFileDamagedError(const std::filesystem::path& file, MediaType type);
// A folder of the library that a look found `code` for, at its listing or
// at its files ('the folder "2023 Trip" cannot be read: permission denied').
Error libraryFolderReadError(int code, const std::filesystem::path& folder);
// An asset whose file changed while it was read (it ended before the size
// it had): it is read again, whole, the next time.
Error assetFileChangedError(const std::filesystem::path& file);
bool isAssetFileGoneError(const Error& error);
// What an error above (or one it wraps) says of the asset's file (or, for
// Unlisted, of a folder of the library).
struct AssetFileFailure {
  enum class Kind { Gone, Unreadable, Damaged, Changed, Unlisted };
  Kind kind;
  std::filesystem::path file;
  int code = 0;  // the file system's answer (Gone, Unreadable, Unlisted)
};
std::optional<AssetFileFailure> assetFileFailureOf(const Error& error);
// `error` as what befell the asset of `file` (the cloud's refusal of its
// upload): the file is kept under kAssetFilePathKey, its domain, code and
// text stay. An error that names an asset's file already is left as it is.
Error errorOfAssetFile(const Error& error, const std::filesystem::path& file);
// The asset's file (or library folder) an error names, or one it wraps.
std::optional<std::filesystem::path> assetFileOf(const Error& error);
// The system's text for an errno, as a reason within a sentence
// ("permission denied").
std::string fileRefusalText(int code);

// The file system's answer for the path: 0 when it leads to a plain file,
// else the errno of stat (EINVAL for something that is no plain file).
int assetFileAnswer(const std::filesystem::path& file);
// Opens the asset's file for reading: the descriptor (the caller's to
// close), with its status as opened at `opened` when given, or the file
// system's refusal as a POSIX error with its errno.
Result<int> openAssetFile(const std::filesystem::path& file, struct stat* opened = nullptr);
// Whether the file open at `fd` was written since its status was
// `opened` (its size or its time of change differs): what was read of it
// may be part old, part new.
bool assetFileChangedSince(int fd, const struct stat& opened);
// How a path is met: its file opened to be read, or looked at (stat'ed,
// or listed for a folder), or its file open and its status taken, about
// to be read (a test that changes the file there changes it while it is
// read).
enum class FileAccess { Open, Look, Read };
// The refusal a test set for the path, else 0.
int injectedFileFault(const std::filesystem::path& path, FileAccess access);

// Test seam: `fault` answers, for a path and how it is met, the errno that
// meets it, or 0 for the file system's own answer; nullptr ends it.
using FileFaultAnswer = std::function<int(const std::filesystem::path&, FileAccess)>;
void setFileFaultForTesting(FileFaultAnswer fault);

}  // namespace platform::photos
