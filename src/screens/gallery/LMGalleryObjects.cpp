#include "screens/gallery/LMGalleryObjects.h"

#include "platform/JsonParse.h"
#include "platform/storage/ManagedObjectContext.h"

namespace lumora {

using platform::objectstore::AttributeDescription;
using platform::objectstore::AttributeType;
using platform::objectstore::DeleteRule;
using platform::objectstore::EntityDescription;
using platform::objectstore::ObjectModel;
using platform::objectstore::RelationshipDescription;

std::vector<std::shared_ptr<LMImageObject>> LMAlbumObject::images() const {
  return platform::objectstore::objectsAs<LMImageObject>(objectsForKey("images"));
}

std::shared_ptr<LMAlbumObject> LMImageObject::album() const {
  return std::dynamic_pointer_cast<LMAlbumObject>(objectForKey("album"));
}

bool LMImageObject::isThumbnailValidate() const {
  auto url = thumbnailUrl();
  return url && !url->empty();
}

bool LMImageObject::isImageValidate() const {
  auto url = imageUrl();
  return url && !url->empty();
}

std::int64_t LMImageObject::getImageObjectOrientation() {
  if (orientation_) return *orientation_;
  auto text = exifInfo();
  if (!text || text->empty()) return 1;
  const platform::Json exif = platform::parseJson(*text);
  if (!exif.is_object()) return 1;
  auto found = exif.find("orientation");
  if (found == exif.end() || !found->is_number_integer()) return 1;
  const auto value = found->get<std::int64_t>();
  // Anything else is no orientation: drawing would misplace the picture.
  if (value < 1 || value > 8) return 1;
  orientation_ = value;
  return value;
}

std::shared_ptr<const ObjectModel> galleryObjectModel() {
  static const auto& model = *new std::shared_ptr<const ObjectModel>([] {
    EntityDescription album;
    album.name = LMAlbumObject::kEntityName;
    album.attributes = {{"albumSync", AttributeType::Integer},      {"createDate", AttributeType::Date},
                        {"imagesExtra", AttributeType::String},     {"imagesSync", AttributeType::Integer},
                        {"name", AttributeType::String},            {"refreshDate", AttributeType::Date},
                        {"serverID", AttributeType::Integer, true}, {"thumbnailDate", AttributeType::Date},
                        {"thumbnailUrls", AttributeType::String},   {"totalImageCount", AttributeType::Integer},
                        {"totalSize", AttributeType::Integer},      {"lastUpdateDate", AttributeType::Date},
                        {"albumType", AttributeType::Integer},      {"thumbnailOrientations", AttributeType::String}};
    album.relationships = {RelationshipDescription{"images", LMImageObject::kEntityName, "album", true,
                                                   DeleteRule::Cascade}};
    album.make = [] { return std::make_shared<LMAlbumObject>(); };
    EntityDescription image;
    image.name = LMImageObject::kEntityName;
    image.attributes = {{"createDate", AttributeType::Date},       {"exifInfo", AttributeType::String},
                        {"fileName", AttributeType::String},       {"imageSize", AttributeType::Integer},
                        {"imageSync", AttributeType::Integer},     {"serverID", AttributeType::Integer, true},
                        {"sha1", AttributeType::String, true},     {"imageUrl", AttributeType::String},
                        {"thumbnailUrl", AttributeType::String},   {"type", AttributeType::String}};
    image.relationships = {RelationshipDescription{"album", LMAlbumObject::kEntityName, "images", false,
                                                   DeleteRule::Nullify}};
    image.make = [] { return std::make_shared<LMImageObject>(); };
    return std::make_shared<const ObjectModel>(std::vector<EntityDescription>{std::move(album), std::move(image)});
  }());
  return model;
}

}  // namespace lumora
