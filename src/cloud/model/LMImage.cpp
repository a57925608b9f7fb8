#include "platform/device/Device.h"
#include "cloud/model/LMImage.h"

#include "cloud/model/LMAssetExporter.h"
#include "cloud/model/LMAssetJSON.h"
#include "utils/LMLogUtil.h"

namespace lumora {

using platform::Json;
namespace json = assetjson;

bool LMImage::isPhotoType(const std::optional<std::string>& type) {
  return type && (*type == kLMAssetTypeImage || *type == kLMAssetTypePhoto);
}

LMImage LMImage::initWithLumoraJSON(const Json& json) {
  LMImage image;
  image.setPropertiesWithLumoraJSON(json);
  return image;
}

void LMImage::setPropertiesWithLumoraJSON(const Json& json) {
  auto set = [](auto& field, auto value) {
    if (value) field = std::move(value);
  };
  set(serverID, json::integerAt(json, "id"));
  set(status, json::textAt(json, "status"));
  if (auto kind = json::textAt(json, "type")) {
    if (*kind == "photo") type = kLMAssetTypeImage;
    else if (*kind == "video") type = kLMAssetTypeVideo;
  }
  set(sync, json::integerAt(json, "tag"));
  set(serverGroupID, json::integerAt(json, "groupId"));
  set(fileName, json::textAt(json, "fileName"));
  set(creationDate, json::dateAt(json, "dateTaken"));
  set(modifyDate, json::dateAt(json, "dateModified"));
  set(size, json::integerAt(json, "size"));
  set(mimeType, json::textAt(json, "mimeType"));
  set(title, json::textAt(json, "title"));
  set(duration, json::realAt(json, "duration"));
  set(sha1, json::textAt(json, "sha1"));
  set(shareID, json::textAt(json, "shareId"));
  if (auto exif = json::dictionaryAt(json, "exifInfo")) exifInfo = std::move(*exif);
  if (isPhotoType(type)) {
    if (auto ubi = json::integerAt(json, "isUbiImage")) isUbiImage = *ubi != 0;
  }
}

Json LMImage::dictionaryForLumoraJSON() const {
  auto hasText = [](const std::optional<std::string>& text) { return text && !text->empty(); };
  Json json = Json::object();
  if (modifyDate) json["dateModified"] = json::milliseconds(*modifyDate);
  if (creationDate) json["dateTaken"] = json::milliseconds(*creationDate);
  if (exifInfo.is_object() && !exifInfo.empty()) json["exifInfo"] = exifInfo;
  if (hasText(fileName)) json["fileName"] = *fileName;
  if (serverGroupID) json["groupId"] = *serverGroupID;
  if (serverID) json["id"] = *serverID;
  // The cloud's own flag; a photo of this device is never one.
  json["isUbiImage"] = "0";
  if (hasText(mimeType)) json["mimeType"] = *mimeType;
  if (hasText(sha1)) json["sha1"] = *sha1;
  if (hasText(shareID)) json["shareId"] = *shareID;
  if (size) json["size"] = *size;
  if (sync) json["tag"] = *sync;
  if (hasText(title)) json["title"] = *title;
  if (duration) json["duration"] = *duration;
  if (isPhotoType(type)) json["type"] = "image";
  else if (type && *type == kLMAssetTypeVideo) json["type"] = "video";
  return json;
}

// ---- Local assets ----

std::optional<LMImage> LMImage::initWithAsset(const platform::photos::Asset* asset) {
  if (asset == nullptr || !platform::Device::systemVersionIsAtLeast(8.0)) return std::nullopt;
  LMImage image;
  if (asset->mediaType == platform::photos::MediaType::Image) image.type = kLMAssetTypeImage;
  else if (asset->mediaType == platform::photos::MediaType::Video) image.type = kLMAssetTypeVideo;
  else return std::nullopt;
  image.setPropertiesWithAsset(*asset);
  return image;
}

void LMImage::setPropertiesWithAsset(const platform::photos::Asset& asset) {
  error.reset();
  assetID = asset.localIdentifier;
  creationDate = asset.creationDate;
  modifyDate = asset.creationDate;
  keepExportFailure(LMAssetExporter::shared().exportAsset(asset, *this));
}

std::optional<LMImage> LMImage::initWithAsset(const platform::photos::LibraryAsset* asset) {
  if (asset == nullptr || platform::Device::systemVersionIsAtLeast(8.0)) return std::nullopt;
  if (asset->type.empty() || asset->type == kLMAssetTypeUnknown) return std::nullopt;
  LMImage image;
  image.type = asset->type;
  image.setPropertiesWithAsset(*asset);
  return image;
}

void LMImage::setPropertiesWithAsset(const platform::photos::LibraryAsset& asset) {
  error.reset();
  assetID = asset.url;
  creationDate = asset.date;
  modifyDate = asset.date;
  keepExportFailure(LMAssetExporter::shared().exportRepresentation(asset, *this));
}

void LMImage::keepExportFailure(const platform::Status& exported) {
  if (exported.ok()) return;
  LM_LOG_ERROR("{}", exported.error().description());
  error = exported.error();
}

void LMImage::cancelAllAssetsRequest() {
  if (platform::Device::systemVersionIsAtLeast(8.0)) LMAssetExporter::shared().cancelAll();
}

}  // namespace lumora
