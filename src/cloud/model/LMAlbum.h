// One album of the photo sync: a cloud album read from the gallery service's
// JSON, or a local album of the photo library. A plain value holder: it
// builds itself and writes its cloud JSON, nothing more.
//
// Made per use and used from one thread at a time. Nothing here fails: a JSON
// value of the wrong kind is skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/Error.h"
#include "platform/photos/AssetsLibrary.h"
#include "platform/photos/Types.h"

namespace lumora {

class LMAlbum {
 public:
  static LMAlbum initWithLumoraJSON(const platform::Json& json);
  // nullopt for no album; else an album filled from it. The system version
  // picks the interface: an album of the other interface fills nothing.
  static std::optional<LMAlbum> initWithAssetsGroup(const platform::photos::AssetCollection* group);
  static std::optional<LMAlbum> initWithAssetsGroup(platform::photos::AssetsGroup* group,
                                                    platform::photos::AssetsLibrary& library);

  // Reads "albumId", then "id" (which wins), "createTime", "description",
  // "fullBuildTag", "incrementalTag", "lastUpdateTime", "name",
  // "sharerCount", "status", "tag", "thumbnailUrls",
  // "thumbnailOrientations", "totalImageCount", "totalSize"; a missing key
  // or one of the wrong kind leaves its field.
  void setPropertiesWithLumoraJSON(const platform::Json& json);
  // Name, type and local id from the album; the image and video counts of
  // the whole library (as the library counts them, not the album's own).
  void setPropertiesWithAssetsGroup(const platform::photos::AssetCollection& group);
  // Below system version 8.0: name, type, persistent id and URL of the
  // group, and its own photo and video counts (the group is left filtered
  // to videos).
  void setPropertiesWithAssetsGroup(platform::photos::AssetsGroup& group, platform::photos::AssetsLibrary& library);

  // {"dateModified", "dateTaken" (ms), "fileName", "tag", "id" when set;
  //  "type": "group"}.
  platform::Json dictionaryForLumoraJSON() const;

  std::optional<std::int64_t> serverID;        // "albumId" / "id"
  std::optional<std::int64_t> sync;            // "tag"
  std::optional<std::int64_t> status;          // "status"
  std::optional<std::int64_t> fullBuildTag;
  std::optional<std::int64_t> incrementalTag;
  std::optional<std::string> assetID;          // the local album's identifier
  std::optional<std::string> assetUrl;         // the group's URL (below system version 8.0)
  std::optional<std::string> name;             // "name"; the local title
  std::optional<std::int64_t> sharerCount;
  std::optional<platform::Clock::TimePoint> creationDate;    // "createTime"
  std::optional<platform::Clock::TimePoint> lastUpdateDate;  // "lastUpdateTime"
  std::optional<std::string> note;             // "description"
  std::vector<std::string> thumbnailUrls;
  // The EXIF orientation of each cover photo, in the order of its address
  // (an entry that is no whole number is 1).
  std::vector<std::int64_t> thumbnailOrientations;
  std::optional<std::int64_t> totalImageCount;
  std::optional<std::int64_t> totalVideoCount;  // local albums only
  std::optional<std::int64_t> totalSize;
  std::optional<std::int64_t> assetsGroupType;  // the collection type, or the group type below 8.0
};

}  // namespace lumora
