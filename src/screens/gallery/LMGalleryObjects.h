// The gallery cache's two entities: LMAlbumObject (one cloud album) and
// LMImageObject (one cloud photo or video), and the model "database" that
// holds them. An album's images go with it when it is deleted (the
// relationship's Cascade rule), so no image is left without its album.
//
// Ownership: objects belong to their context (see ManagedObjectContext);
// galleryObjectModel() is made once and shared.
// Threading: an object is used on its context's queue.
// Failure: an attribute never set reads as nullopt.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/storage/ManagedObject.h"
#include "platform/storage/ObjectModel.h"

namespace lumora {

class LMImageObject;

class LMAlbumObject : public platform::objectstore::ManagedObject {
 public:
  static constexpr const char* kEntityName = "LMAlbumObject";

  std::optional<std::int64_t> albumSync() const { return integerForKey("albumSync"); }
  void setAlbumSync(std::optional<std::int64_t> value) { setInteger("albumSync", value); }
  std::optional<platform::Clock::TimePoint> createDate() const { return dateForKey("createDate"); }
  void setCreateDate(std::optional<platform::Clock::TimePoint> value) { setDate("createDate", value); }
  std::optional<std::string> imagesExtra() const { return stringForKey("imagesExtra"); }
  void setImagesExtra(std::optional<std::string> value) { setString("imagesExtra", std::move(value)); }
  std::optional<std::int64_t> imagesSync() const { return integerForKey("imagesSync"); }
  void setImagesSync(std::optional<std::int64_t> value) { setInteger("imagesSync", value); }
  std::optional<std::string> name() const { return stringForKey("name"); }
  void setName(std::optional<std::string> value) { setString("name", std::move(value)); }
  std::optional<platform::Clock::TimePoint> refreshDate() const { return dateForKey("refreshDate"); }
  void setRefreshDate(std::optional<platform::Clock::TimePoint> value) { setDate("refreshDate", value); }
  std::optional<std::int64_t> serverID() const { return integerForKey("serverID"); }
  void setServerID(std::optional<std::int64_t> value) { setInteger("serverID", value); }
  std::optional<platform::Clock::TimePoint> thumbnailDate() const { return dateForKey("thumbnailDate"); }
  void setThumbnailDate(std::optional<platform::Clock::TimePoint> value) { setDate("thumbnailDate", value); }
  std::optional<std::string> thumbnailUrls() const { return stringForKey("thumbnailUrls"); }
  void setThumbnailUrls(std::optional<std::string> value) { setString("thumbnailUrls", std::move(value)); }
  // The EXIF orientation of each cover photo, in the order of thumbnailUrls,
  // as JSON text (an array); none in an album stored before it was kept.
  std::optional<std::string> thumbnailOrientations() const { return stringForKey("thumbnailOrientations"); }
  void setThumbnailOrientations(std::optional<std::string> value) {
    setString("thumbnailOrientations", std::move(value));
  }
  std::optional<std::int64_t> totalImageCount() const { return integerForKey("totalImageCount"); }
  void setTotalImageCount(std::optional<std::int64_t> value) { setInteger("totalImageCount", value); }
  std::optional<std::int64_t> totalSize() const { return integerForKey("totalSize"); }
  void setTotalSize(std::optional<std::int64_t> value) { setInteger("totalSize", value); }
  std::optional<platform::Clock::TimePoint> lastUpdateDate() const { return dateForKey("lastUpdateDate"); }
  void setLastUpdateDate(std::optional<platform::Clock::TimePoint> value) { setDate("lastUpdateDate", value); }
  std::optional<std::int64_t> albumType() const { return integerForKey("albumType"); }
  void setAlbumType(std::optional<std::int64_t> value) { setInteger("albumType", value); }
  std::vector<std::shared_ptr<LMImageObject>> images() const;
};

class LMImageObject : public platform::objectstore::ManagedObject {
 public:
  static constexpr const char* kEntityName = "LMImageObject";

  std::optional<platform::Clock::TimePoint> createDate() const { return dateForKey("createDate"); }
  void setCreateDate(std::optional<platform::Clock::TimePoint> value) { setDate("createDate", value); }
  std::optional<std::string> exifInfo() const { return stringForKey("exifInfo"); }
  void setExifInfo(std::optional<std::string> value) { setString("exifInfo", std::move(value)); }
  std::optional<std::string> fileName() const { return stringForKey("fileName"); }
  void setFileName(std::optional<std::string> value) { setString("fileName", std::move(value)); }
  std::optional<std::int64_t> imageSize() const { return integerForKey("imageSize"); }
  void setImageSize(std::optional<std::int64_t> value) { setInteger("imageSize", value); }
  std::optional<std::int64_t> imageSync() const { return integerForKey("imageSync"); }
  void setImageSync(std::optional<std::int64_t> value) { setInteger("imageSync", value); }
  std::optional<std::int64_t> serverID() const { return integerForKey("serverID"); }
  void setServerID(std::optional<std::int64_t> value) { setInteger("serverID", value); }
  std::optional<std::string> sha1() const { return stringForKey("sha1"); }
  void setSha1(std::optional<std::string> value) { setString("sha1", std::move(value)); }
  std::optional<std::string> imageUrl() const { return stringForKey("imageUrl"); }
  void setImageUrl(std::optional<std::string> value) { setString("imageUrl", std::move(value)); }
  std::optional<std::string> thumbnailUrl() const { return stringForKey("thumbnailUrl"); }
  void setThumbnailUrl(std::optional<std::string> value) { setString("thumbnailUrl", std::move(value)); }
  std::optional<std::string> type() const { return stringForKey("type"); }
  void setType(std::optional<std::string> value) { setString("type", std::move(value)); }
  std::shared_ptr<LMAlbumObject> album() const;
  void setAlbum(const std::shared_ptr<LMAlbumObject>& album) { setObjectForKey("album", album); }

  // (Thumbnail) A thumbnail / large-image address is known.
  bool isThumbnailValidate() const;
  bool isImageValidate() const;
  // The EXIF orientation (1 to 8) from exifInfo, found once and then kept;
  // 1 when there is none or it is not a whole number from 1 to 8.
  std::int64_t getImageObjectOrientation();

 private:
  std::optional<std::int64_t> orientation_;
};

// The model "database": LMAlbumObject <->> LMImageObject.
std::shared_ptr<const platform::objectstore::ObjectModel> galleryObjectModel();

}  // namespace lumora
