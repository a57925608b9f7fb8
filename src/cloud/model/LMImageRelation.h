// One row of the gallery store's SyncImage table: which local asset (listed
// from which local album) is which cloud image, with the file's SHA-1 and size.
//
// A plain value; absent values are nullopt (SQL NULL). Nothing here fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumora {

struct LMImageRelation {
  std::optional<std::int32_t> primaryID;    // row id
  std::optional<std::string> assetID;       // local asset identifier
  std::optional<std::int64_t> serverID;     // cloud image id
  std::optional<std::int64_t> serverSync;   // the cloud image's tag
  std::optional<std::string> assetGroupID;  // local album it was backed up from
  std::optional<std::string> sha1;          // column imageSha1
  std::optional<std::int64_t> size;         // column imageSize

  friend bool operator==(const LMImageRelation&, const LMImageRelation&) = default;
};

}  // namespace lumora
