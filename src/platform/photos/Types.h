// Values of the photo library stand-in (the phone's Photos interface, system
// version 8 and later): authorisation, media and album kinds, and the two
// records a fetch hands out. Plain values; any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/dispatch/Clock.h"
#include "platform/media/MediaProperties.h"

namespace platform::photos {

inline constexpr const char* kPhotosErrorDomain = "PHPhotosErrorDomain";
inline constexpr std::int64_t kPhotosErrorInvalidResource = 3300;  // a file that is no (readable) photo or video
inline constexpr std::int64_t kPhotosErrorNotFound = 3301;         // an identifier that names nothing
inline constexpr std::int64_t kPhotosErrorNotEditable = 3302;      // an album that refuses the change
inline constexpr std::int64_t kPhotosErrorAccessDenied = 3311;     // the user did not allow access
inline constexpr std::int64_t kPhotosErrorFileSystem = 3303;       // the library's folder failed us

enum class AuthorizationStatus { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

enum class MediaType { Unknown = 0, Image = 1, Video = 2, Audio = 3 };

enum class CollectionType { Album = 1, SmartAlbum = 2 };

enum class CollectionSubtype {
  AlbumRegular = 2,
  AlbumSyncedEvent = 3,
  AlbumSyncedAlbum = 5,
  AlbumImported = 6,
  SmartAlbumUserLibrary = 209,  // the camera roll: every asset
  SmartAlbumScreenshots = 211,
};

enum class EditOperation { Delete = 1, RemoveContent = 2, AddContent = 3, Rename = 7 };

// One photo or video of the library, as it was when fetched.
struct Asset {
  std::string localIdentifier;  // stable for the life of the asset
  MediaType mediaType = MediaType::Unknown;
  bool isScreenshot = false;
  Clock::TimePoint creationDate;      // when taken (EXIF or movie header), else the file's time
  Clock::TimePoint modificationDate;  // the file's time
  std::int64_t pixelWidth = 0;        // as shown (EXIF orientation applied)
  std::int64_t pixelHeight = 0;
  double duration = 0;                // seconds; 0 for photos
  std::optional<Location> location;   // from EXIF GPS values
  // The library's own file. Callers read the bytes through the ImageManager.
  std::filesystem::path file;

  friend bool operator==(const Asset&, const Asset&) = default;
};

// One album: a user album, or one of the smart albums the library keeps
// itself (the camera roll, screenshots).
struct AssetCollection {
  std::string localIdentifier;
  std::string localizedTitle;
  CollectionType collectionType = CollectionType::Album;
  CollectionSubtype collectionSubtype = CollectionSubtype::AlbumRegular;

  // User albums take every edit; smart albums none.
  bool canPerformEditOperation(EditOperation) const {
    return collectionType == CollectionType::Album &&
           collectionSubtype == CollectionSubtype::AlbumRegular;
  }
  friend bool operator==(const AssetCollection&, const AssetCollection&) = default;
};

}  // namespace platform::photos
