#include "cloud/model/LMAlbum.h"

#include "cloud/model/LMAssetJSON.h"
#include "platform/device/Device.h"
#include "platform/photos/PhotoLibrary.h"

namespace lumora {

using platform::Json;
namespace json = assetjson;

LMAlbum LMAlbum::initWithLumoraJSON(const Json& json) {
  LMAlbum album;
  album.setPropertiesWithLumoraJSON(json);
  return album;
}

std::optional<LMAlbum> LMAlbum::initWithAssetsGroup(const platform::photos::AssetCollection* group) {
  if (group == nullptr) return std::nullopt;
  LMAlbum album;
  if (platform::Device::systemVersionIsAtLeast(8.0)) album.setPropertiesWithAssetsGroup(*group);
  return album;
}

std::optional<LMAlbum> LMAlbum::initWithAssetsGroup(platform::photos::AssetsGroup* group,
                                                    platform::photos::AssetsLibrary& library) {
  if (group == nullptr) return std::nullopt;
  LMAlbum album;
  if (!platform::Device::systemVersionIsAtLeast(8.0)) album.setPropertiesWithAssetsGroup(*group, library);
  return album;
}

void LMAlbum::setPropertiesWithAssetsGroup(platform::photos::AssetsGroup& group,
                                           platform::photos::AssetsLibrary& library) {
  using platform::photos::AssetsFilter;
  name = group.name;
  assetsGroupType = static_cast<std::int64_t>(group.type);
  assetID = group.persistentID;
  assetUrl = group.url;
  group.setAssetsFilter(AssetsFilter::AllPhotos);
  totalImageCount = library.numberOfAssets(group);
  group.setAssetsFilter(AssetsFilter::AllVideos);
  totalVideoCount = library.numberOfAssets(group);
}

void LMAlbum::setPropertiesWithLumoraJSON(const Json& json) {
  auto set = [](auto& field, auto value) {
    if (value) field = std::move(value);
  };
  set(serverID, json::integerAt(json, "albumId"));
  set(serverID, json::integerAt(json, "id"));
  set(creationDate, json::dateAt(json, "createTime"));
  set(note, json::textAt(json, "description"));
  set(fullBuildTag, json::integerAt(json, "fullBuildTag"));
  set(incrementalTag, json::integerAt(json, "incrementalTag"));
  set(lastUpdateDate, json::dateAt(json, "lastUpdateTime"));
  set(name, json::textAt(json, "name"));
  set(sharerCount, json::integerAt(json, "sharerCount"));
  set(status, json::integerAt(json, "status"));
  set(sync, json::integerAt(json, "tag"));
  if (auto urls = json::listAt(json, "thumbnailUrls")) {
    thumbnailUrls.clear();
    for (const auto& url : *urls) {
      if (url.is_string()) thumbnailUrls.push_back(url.get<std::string>());
    }
  }
  if (auto orientations = json::listAt(json, "thumbnailOrientations")) {
    thumbnailOrientations.clear();
    for (const auto& orientation : *orientations) {
      thumbnailOrientations.push_back(orientation.is_number_integer() ? orientation.get<std::int64_t>() : 1);
    }
  }
  set(totalImageCount, json::integerAt(json, "totalImageCount"));
  set(totalSize, json::integerAt(json, "totalSize"));
}

void LMAlbum::setPropertiesWithAssetsGroup(const platform::photos::AssetCollection& group) {
  using platform::photos::MediaType;
  name = group.localizedTitle;
  assetsGroupType = static_cast<std::int64_t>(group.collectionType);
  assetID = group.localIdentifier;
  auto library = platform::photos::PhotoLibrary::sharedPhotoLibrary();
  totalImageCount = static_cast<std::int64_t>(library->fetchAssetsWithMediaType(MediaType::Image).size());
  totalVideoCount = static_cast<std::int64_t>(library->fetchAssetsWithMediaType(MediaType::Video).size());
}

Json LMAlbum::dictionaryForLumoraJSON() const {
  Json json = Json::object();
  if (lastUpdateDate) json["dateModified"] = json::milliseconds(*lastUpdateDate);
  if (creationDate) json["dateTaken"] = json::milliseconds(*creationDate);
  if (name && !name->empty()) json["fileName"] = *name;
  if (sync) json["tag"] = *sync;
  if (serverID) json["id"] = *serverID;
  json["type"] = "group";
  return json;
}

}  // namespace lumora
