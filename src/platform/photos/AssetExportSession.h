// Writes a video of the library to a file of its own (the phone's movie
// export session). The export streams the source into the output in 8 MiB
// steps in the kernel (no copy of the movie in memory) and can be cancelled
// between steps; a cancelled or failed export leaves no output file.
//
// Ownership: shared; a running export keeps its session alive.
// Threading: every member may be called from any thread; exports run on one
// process-wide export queue, and the completion runs there.
// Failure: status() Failed with error() in kPhotosErrorDomain (no output
// address or type, a type not supported, an output file already there, a
// source or output that cannot be read or written).
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace platform::photos {

inline constexpr const char* kAssetExportPresetHighestQuality = "AVAssetExportPresetHighestQuality";

// Container types, as the platform names them.
inline constexpr const char* kFileTypeQuickTimeMovie = "com.apple.quicktime-movie";
inline constexpr const char* kFileTypeMPEG4 = "public.mpeg-4";
inline constexpr const char* kFileTypeAppleM4V = "com.apple.m4v-video";
inline constexpr const char* kFileType3GPP = "public.3gpp";
inline constexpr const char* kFileType3GPP2 = "public.3gpp2";

enum class ExportStatus { Unknown = 0, Waiting = 1, Exporting = 2, Completed = 3, Failed = 4, Cancelled = 5 };

// What the session reads: an edited movie (a composition), or the movie
// file itself (a URL asset).
enum class AssetSourceKind { Composition, URLAsset };

class AssetExportSession : public std::enable_shared_from_this<AssetExportSession> {
 public:
  AssetExportSession(AssetSourceKind kind, std::filesystem::path source, std::string presetName);

  AssetSourceKind sourceKind() const { return kind_; }
  const std::filesystem::path& sourceURL() const { return source_; }
  const std::string& presetName() const { return preset_; }
  std::vector<std::string> supportedFileTypes() const;

  void setOutputURL(std::filesystem::path url);
  void setOutputFileType(std::string type);

  // Starts the export; `completion` runs once it has ended (any status).
  void exportAsynchronously(std::function<void()> completion);
  // Ends a waiting or running export as Cancelled.
  void cancelExport();

  ExportStatus status() const { return status_.load(); }
  std::optional<Error> error() const;
  // 0 to 1.
  float progress() const { return progress_.load(); }

 private:
  void run();
  void finish(ExportStatus status, std::optional<Error> error);

  const AssetSourceKind kind_;
  const std::filesystem::path source_;
  const std::string preset_;
  mutable std::mutex mutex_;
  std::filesystem::path output_;
  std::string outputType_;
  std::optional<Error> error_;
  std::function<void()> completion_;
  std::atomic<ExportStatus> status_{ExportStatus::Unknown};
  std::atomic<float> progress_{0};
  std::atomic<bool> cancelled_{false};
};

}  // namespace platform::photos
