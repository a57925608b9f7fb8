// One row of the gallery store's SyncAlbum table: which local album is backed
// up into which cloud album, and how far the album's cloud image list has
// been read (imagesSync with its paging text imagesExtra).
//
// A plain value; absent values are nullopt (SQL NULL). Nothing here fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumora {

struct LMAlbumRelation {
  std::optional<std::int32_t> primaryID;   // row id
  std::optional<std::string> assetID;      // local album identifier
  std::optional<std::int64_t> serverID;    // cloud album id
  std::optional<std::int64_t> serverSync;  // the cloud album's tag when written
  std::optional<std::int64_t> imagesSync;  // watermark of the album's image list; 0 before the first
  std::optional<std::string> imagesExtra;  // paging text of that watermark; "" when none

  friend bool operator==(const LMAlbumRelation&, const LMAlbumRelation&) = default;
};

}  // namespace lumora
