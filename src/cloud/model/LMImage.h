// One photo or video of the photo sync: a cloud image read from the gallery
// service's JSON, or a local asset exported and digested for upload.
//
// A plain value, made per use and used from one thread at a time. JSON
// reading never fails (a value of the wrong kind is skipped). Building from
// a local asset is LMAssetExporter's work: it blocks its caller until the
// library has answered and the digests are done, so call it from a worker
// queue, never the main thread. Its failures are kept in `error`, not
// thrown; the image then owns whatever temporary file it already made
// (filePath), which the upload removes. A photo, or a movie held as a plain
// file, is not copied: the upload reads the library's file
// (libraryFilePath), which nothing removes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/media/Image.h"
#include "platform/photos/AssetsLibrary.h"
#include "platform/photos/Types.h"

namespace lumora {

// Asset types (LMImage::type).
inline constexpr const char* kLMAssetTypeImage = "ALAssetTypeImage";    // a photo
inline constexpr const char* kLMAssetTypePhoto = "ALAssetTypePhoto";    // a photo (older library interface)
inline constexpr const char* kLMAssetTypeVideo = "ALAssetTypeVideo";
inline constexpr const char* kLMAssetTypeUnknown = "ALAssetTypeUnknown";

class LMImage {
 public:
  // Whether a type is a photo type ("ALAssetTypeImage" or "ALAssetTypePhoto").
  static bool isPhotoType(const std::optional<std::string>& type);

  // ---- Cloud JSON ----

  static LMImage initWithLumoraJSON(const platform::Json& json);
  // Reads "id", "status", "type" ("photo" or "video"), "tag", "groupId",
  // "fileName", "dateTaken", "dateModified", "size", "mimeType", "title",
  // "duration", "sha1", "shareId", "exifInfo", and "isUbiImage" only for a
  // photo; a missing key or one of the wrong kind leaves its field.
  void setPropertiesWithLumoraJSON(const platform::Json& json);
  // The image's cloud JSON; photos are written as type "image", and
  // "isUbiImage" is always "0". The block list is not part of it.
  platform::Json dictionaryForLumoraJSON() const;

  // ---- Local assets ----

  // nullopt for no asset and for one that is neither photo nor video; else
  // an image built by setPropertiesWithAsset (check `error`).
  static std::optional<LMImage> initWithAsset(const platform::photos::Asset* asset);
  // Below system version 8.0, an asset of the older interface: its type is
  // the asset's own, and an asset of unknown type is refused. An asset of
  // the interface the system version does not use is refused too.
  static std::optional<LMImage> initWithAsset(const platform::photos::LibraryAsset* asset);
  // The asset's identifier and dates, then LMAssetExporter::exportAsset
  // (its failure logged and kept in `error`).
  void setPropertiesWithAsset(const platform::photos::Asset& asset);
  // The URL and date of the asset, then LMAssetExporter::exportRepresentation.
  void setPropertiesWithAsset(const platform::photos::LibraryAsset& asset);
  // LMAssetExporter::cancelAll: constructions under way end with -10012.
  // Below system version 8.0 nothing is under way to break off.
  static void cancelAllAssetsRequest();
  // A failed export is logged and kept in `error`.
  void keepExportFailure(const platform::Status& exported);

  // ---- Fields ----

  std::optional<std::int64_t> serverID;       // "id"
  std::optional<std::int64_t> sync;           // "tag"
  std::optional<std::string> status;          // "custom", "deleted", "purged" ...
  std::optional<std::string> assetID;         // local asset identifier
  std::optional<std::string> fileName;        // with extension; UTF-8, as the cloud has it
  std::optional<std::int64_t> serverGroupID;  // "groupId"
  std::optional<std::string> assetGroupID;    // local album it was listed from
  std::optional<platform::Clock::TimePoint> creationDate;  // "dateTaken"
  std::optional<platform::Clock::TimePoint> modifyDate;    // "dateModified"
  std::optional<std::int64_t> size;           // bytes
  std::optional<std::string> mimeType;        // "image/<ext>" or "video/<ext>"
  std::optional<std::string> title;           // fileName without extension
  std::optional<double> duration;             // seconds (videos)
  std::optional<std::string> sha1;            // whole file, lower-case hex
  std::optional<std::string> shareID;         // "shareId"
  platform::Json exifInfo;                    // object, or null
  std::optional<bool> isUbiImage;
  std::optional<platform::Image> image;       // held for display; the sync never fills it
  platform::Json blockInfos;                  // [{"sha1", "md5", "size"}], or null
  std::optional<std::string> type;            // kLMAssetType...
  std::optional<std::string> filePath;        // the exported temporary file
  // Instead of filePath, when the export would copy the library's file
  // unchanged: that file, read where it lies and never removed.
  std::optional<std::string> libraryFilePath;
  std::optional<platform::Error> error;       // why building from an asset failed
};

}  // namespace lumora
