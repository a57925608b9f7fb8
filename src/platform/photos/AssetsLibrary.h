// The older interface to the photo library (system versions below 8.0): the
// same library as PhotoLibrary, seen as groups and assets named by URLs,
// whose bytes are read through each asset's default representation, and
// whose answers arrive in result and failure blocks.
//
// Groups: the camera roll is the saved-photos group (kGroupSavedPhotos), the
// user albums are album groups (kGroupAlbum), the synced events event groups
// (kGroupEvent, not editable); other smart albums are not shown.
// A group's persistent id is its album's local identifier and its URL
// "assets-library://group/?id=<id>". An asset's URL is
// "assets-library://asset/asset.<EXT>?id=<local identifier>&ext=<EXT>".
//
// Ownership: an AssetsLibrary is a cheap handle on the shared photo library;
// the values it hands out are copies. Threading: every member may be called
// from any thread; blocks run on the handle's own queue, never on the
// caller's thread, so a caller may wait for them. Failure: without access
// every call fails with kAssetsLibraryErrorAccessDenied in
// kAssetsLibraryErrorDomain; a URL that names nothing answers none.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/JsonValues.h"
#include "platform/Result.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/photos/PhotoLibrary.h"

namespace platform::photos {

inline constexpr const char* kAssetsLibraryErrorDomain = "ALAssetsLibraryErrorDomain";
inline constexpr std::int64_t kAssetsLibraryErrorWriteFailed = -3304;
inline constexpr std::int64_t kAssetsLibraryErrorAccessDenied = -3311;

// Group types, combined as a bit set in enumerations.
inline constexpr std::uint32_t kGroupAlbum = 2;
inline constexpr std::uint32_t kGroupEvent = 4;
inline constexpr std::uint32_t kGroupSavedPhotos = 16;

// The asset types of the older interface.
inline constexpr const char* kAssetTypePhoto = "ALAssetTypePhoto";
inline constexpr const char* kAssetTypeVideo = "ALAssetTypeVideo";
inline constexpr const char* kAssetTypeUnknown = "ALAssetTypeUnknown";

// The asset orientations of the older interface (the same numbering as
// platform::ImageOrientation).
enum class AssetOrientation { Up = 0, Down = 1, Left = 2, Right = 3, UpMirrored = 4, DownMirrored = 5,
                              LeftMirrored = 6, RightMirrored = 7 };

enum class AssetsFilter { AllAssets, AllPhotos, AllVideos };

// An asset's main file.
class AssetRepresentation {
 public:
  explicit AssetRepresentation(std::filesystem::path file);
  std::string filename() const;
  std::int64_t size() const;
  // Up to `length` bytes from `offset` into `buffer` (resized to what was
  // read); an error when the file cannot be read.
  Result<std::size_t> getBytes(std::int64_t offset, std::size_t length, Bytes& buffer) const;
  // The image properties ({TIFF}, {Exif}, {GPS}) of a photo; empty for a
  // video or a file without them.
  Json metadata() const;
  // Pixels as stored.
  std::int64_t width() const { return width_; }
  std::int64_t height() const { return height_; }
  AssetOrientation orientation() const { return orientation_; }

 private:
  std::filesystem::path file_;
  std::int64_t width_ = 0;
  std::int64_t height_ = 0;
  AssetOrientation orientation_ = AssetOrientation::Up;
};

struct LibraryAsset {
  std::string url;
  std::string type;  // kAssetTypePhoto, kAssetTypeVideo or kAssetTypeUnknown
  Clock::TimePoint date;
  double duration = 0;  // seconds; 0 for photos
  std::optional<Location> location;
  std::filesystem::path file;  // behind the default representation

  std::optional<AssetRepresentation> defaultRepresentation() const;
  friend bool operator==(const LibraryAsset&, const LibraryAsset&) = default;
};

struct AssetsGroup {
  std::string persistentID;
  std::string name;
  std::uint32_t type = kGroupAlbum;
  std::string url;
  bool editable = false;
  AssetsFilter filter = AssetsFilter::AllAssets;

  void setAssetsFilter(AssetsFilter assetsFilter) { filter = assetsFilter; }
  friend bool operator==(const AssetsGroup&, const AssetsGroup&) = default;
};

class AssetsLibrary {
 public:
  // Posted on the default notification centre after the library changed.
  static constexpr const char* kChangedNotification = "ALAssetsLibraryChangedNotification";

  // The same status as the newer interface's.
  static AuthorizationStatus authorizationStatus();
  // The URL of an asset, and back (nullopt for any other text).
  static std::string urlOfAsset(const Asset& asset);
  static std::optional<std::string> localIdentifierOfAssetURL(const std::string& url);

  AssetsLibrary();
  ~AssetsLibrary();
  AssetsLibrary(const AssetsLibrary&) = delete;
  AssetsLibrary& operator=(const AssetsLibrary&) = delete;

  using Failure = std::function<void(const Error& error)>;
  // Each group of the types, then none at the end.
  void enumerateGroupsWithTypes(std::uint32_t types, std::function<void(std::optional<AssetsGroup>)> result,
                                Failure failure);
  // Each asset of the group its filter lets through (in the library's
  // order), then none at the end.
  void enumerateAssets(const AssetsGroup& group, std::function<void(std::optional<LibraryAsset>)> result);
  std::int64_t numberOfAssets(const AssetsGroup& group);
  void assetForURL(const std::string& url, std::function<void(std::optional<LibraryAsset>)> result,
                   Failure failure);
  void groupForURL(const std::string& url, std::function<void(std::optional<AssetsGroup>)> result,
                   Failure failure);
  // None when an album of that name exists already.
  void addAssetsGroupAlbumWithName(const std::string& name, std::function<void(std::optional<AssetsGroup>)> result,
                                   Failure failure);
  // The new asset's URL, or the error.
  using WriteCompletion = std::function<void(std::optional<std::string> url, std::optional<Error> error)>;
  void writeImageDataToSavedPhotosAlbum(const Bytes& data, WriteCompletion completion);
  void writeVideoAtPathToSavedPhotosAlbum(const std::filesystem::path& path, WriteCompletion completion);
  // Synchronous, as on the phone: whether the asset is now in the group.
  bool addAsset(const AssetsGroup& group, const LibraryAsset& asset);

 private:
  std::optional<Error> refusal() const;
  // Hands the refusal to `failure` (when set): true when access is refused.
  bool refused(const Failure& failure) const;
  void write(const std::filesystem::path& file, bool video, WriteCompletion completion);

  std::shared_ptr<PhotoLibrary> library_;
  std::shared_ptr<ChangeObserver> relay_;
  SerialQueue queue_{"platform.photos.assets"};
};

}  // namespace platform::photos
