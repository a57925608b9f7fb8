// One row of the record store's SyncContact table: ties a cloud contact (id,
// version, content, photo ids, status) to its address-book person (record id,
// modification time and content at the last sync). localJsonString is the
// contact's cloud JSON content text at the last sync.
//
// A plain value; copy it freely, but do not share one object between threads
// without a lock. Absent values are nullopt (stored as SQL NULL). Nothing here
// fails.
#pragma once

#include <optional>
#include <string>

#include "cloud/model/LMRelation.h"

namespace lumora {

class LMContactRelation : public LMRelation {
 public:
  // A new row: no local person yet (record id -1), photo not failed, in step.
  LMContactRelation() = default;

  // The person's modification time at the last sync, seconds since 1970.
  const std::optional<double>& localRecordSync() const { return localRecordSync_; }
  void setLocalRecordSync(std::optional<double> value) { localRecordSync_ = value; }

  // Cloud file ids of the photo and of its thumbnail.
  const std::optional<std::string>& photoId() const { return photoId_; }
  void setPhotoId(std::optional<std::string> value) { photoId_ = std::move(value); }
  const std::optional<std::string>& thumbnailId() const { return thumbnailId_; }
  void setThumbnailId(std::optional<std::string> value) { thumbnailId_ = std::move(value); }

  // Newest cloud JSON content text recorded.
  const std::optional<std::string>& jsonString() const { return jsonString_; }
  void setJsonString(std::optional<std::string> value) { jsonString_ = std::move(value); }

  // Lower-case hex SHA-1 of the photo data last synced.
  const std::optional<std::string>& digest() const { return digest_; }
  void setDigest(std::optional<std::string> value) { digest_ = std::move(value); }

  // The photo of this contact failed to download.
  const std::optional<bool>& isPhotoFail() const { return isPhotoFail_; }
  void setIsPhotoFail(std::optional<bool> value) { isPhotoFail_ = value; }

  friend bool operator==(const LMContactRelation&, const LMContactRelation&) = default;

 private:
  std::optional<double> localRecordSync_;
  std::optional<std::string> photoId_;
  std::optional<std::string> thumbnailId_;
  std::optional<std::string> jsonString_;
  std::optional<std::string> digest_;
  std::optional<bool> isPhotoFail_ = false;
};

}  // namespace lumora
