// What a backup uploads: local albums matched with the cloud's albums, image
// relations dropped once the cloud no longer backs them, and the assets of
// an album that have no relation yet.
#include <map>
#include <set>
#include <utility>

#include "cloud/model/LMManagedAssetContext.h"
#include "platform/device/Device.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

namespace photos = platform::photos;

constexpr std::int64_t kLiveAlbum = 1;
constexpr const char* kLiveImage = "custom";

bool isGone(const std::optional<std::string>& status) { return status == "deleted" || status == "purged"; }

}  // namespace

bool LMManagedAssetContext::updateAlbumsWithLocalAlbums(std::vector<LMAlbum>& localAlbums,
                                                        const std::vector<LMAlbum>& lumoraAlbums) {
  setLocalAddAlbums(std::nullopt);
  std::map<std::string, std::size_t> localByAssetID;
  for (std::size_t i = 0; i < localAlbums.size(); ++i) {
    if (localAlbums[i].assetID) localByAssetID.emplace(*localAlbums[i].assetID, i);
  }
  std::set<std::int64_t> liveIDs;
  // By name; when two live albums share one, the later one wins.
  std::map<std::string, const LMAlbum*> liveByName;
  for (const LMAlbum& album : lumoraAlbums) {
    if (album.status != kLiveAlbum || !album.serverID) continue;
    liveIDs.insert(*album.serverID);
    if (album.name) liveByName[*album.name] = &album;
  }

  // Without the relations every album would look new to the cloud.
  auto relations = searchAllAlbumRelations();
  if (!relations.ok()) {
    LM_LOG_ERROR("{}", relations.error().description());
    return false;
  }
  std::set<std::size_t> done;
  for (const LMAlbumRelation& relation : *relations) {
    auto local = relation.assetID ? localByAssetID.find(*relation.assetID) : localByAssetID.end();
    if (local == localByAssetID.end()) {
      deleteAlbumRelation(relation);
      continue;
    }
    localAlbums[local->second].serverID = relation.serverID;
    if (relation.serverID && liveIDs.contains(*relation.serverID)) {
      done.insert(local->second);
    } else {
      deleteAlbumRelation(relation);
    }
  }

  std::vector<LMAlbum> open;
  for (std::size_t i = 0; i < localAlbums.size(); ++i) {
    if (done.contains(i)) continue;
    LMAlbum& album = localAlbums[i];
    auto match = album.name ? liveByName.find(*album.name) : liveByName.end();
    if (match == liveByName.end()) {
      open.push_back(album);
      continue;
    }
    LMAlbumRelation relation;
    relation.assetID = album.assetID;
    relation.serverID = match->second->serverID;
    relation.serverSync = match->second->sync;
    addAlbumRelation(relation);
    album.serverID = match->second->serverID;
  }
  setLocalAddAlbums(std::move(open));
  return true;
}

platform::Status LMManagedAssetContext::updateImageRelationsWithServerImages(
    const std::vector<LMImage>& serverImages, const std::vector<LMAlbumRelation>& albumRelations, bool resync) {
  std::vector<LMImageRelation> gone;
  if (resync) {
    std::set<std::int64_t> kept;
    for (const LMImage& image : serverImages) {
      if (image.status == kLiveImage && image.serverID) kept.insert(*image.serverID);
    }
    for (const LMAlbumRelation& album : albumRelations) {
      auto relations = searchAllImageRelationsByAlbumID(album.assetID);
      if (!relations) return relations.error();
      for (LMImageRelation& relation : *relations) {
        if (!relation.serverID || !kept.contains(*relation.serverID)) gone.push_back(std::move(relation));
      }
    }
  } else {
    std::set<std::int64_t> removed;
    for (const LMImage& image : serverImages) {
      if (isGone(image.status) && image.serverID) removed.insert(*image.serverID);
    }
    // Every row of such an image: the same cloud image may stand for the
    // same asset listed from two local albums of one cloud album.
    if (!removed.empty()) {
      auto relations = searchAllImageRelations();
      if (!relations.ok()) return relations.error();
      for (LMImageRelation& relation : *relations) {
        if (relation.serverID && removed.contains(*relation.serverID)) gone.push_back(std::move(relation));
      }
    }
  }
  for (const LMImageRelation& relation : gone) deleteImageRelation(relation);
  return platform::Status::success();
}

platform::Result<std::vector<std::string>> LMManagedAssetContext::allBackupImageIDsInAlbum(
    const photos::AssetCollection& album) {
  std::vector<std::string> identifiers;
  for (const photos::Asset& asset : photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsInAssetCollection(album)) {
    if (asset.mediaType != photos::MediaType::Image && asset.mediaType != photos::MediaType::Video) continue;
    auto relation = searchImageRelationByAssetID(asset.localIdentifier, album.localIdentifier);
    if (!relation) return relation.error();
    if (*relation) continue;
    identifiers.push_back(asset.localIdentifier);
  }
  return identifiers;
}

platform::Result<std::vector<std::string>> LMManagedAssetContext::searchAllUploadImagesFromAlbum(
    const LMAlbum& album) {
  if (!platform::Device::systemVersionIsAtLeast(8.0)) {
    auto identifiers = searchAllUploadImagesBelow8(album);
    if (!identifiers) LM_LOG_ERROR("{}", identifiers.error().description());
    return identifiers;
  }
  auto collection = assetsGroupWithAlbumId(album.assetID);
  if (!collection) {
    auto error = LMUtils::localErrorWithErrorCode(
        kLMLocalErrorGeneral, {{kLMErrorReasonKey, "PHAssetCollection is nil."}, {kLMErrorDescriptionKey, kLMErrorTitlePhoto}});
    LM_LOG_ERROR("{}", error.description());
    return error;
  }
  return allBackupImageIDsInAlbum(*collection);
}

void LMManagedAssetContext::searchAllUploadImagesFromAlbum(
    const LMAlbum& album,
    const std::function<void(const std::optional<std::vector<std::string>>& imageIDs,
                             const std::optional<platform::Error>& error)>& finish) {
  auto identifiers = searchAllUploadImagesFromAlbum(album);
  if (!finish) return;
  if (identifiers.ok()) {
    finish(std::move(*identifiers), std::nullopt);
  } else {
    finish(std::nullopt, identifiers.error());
  }
}

platform::Result<std::int64_t> LMManagedAssetContext::calculateBackupImageNum() {
  if (!platform::Device::systemVersionIsAtLeast(8.0)) return calculateBackupImageNumBelow8();
  if (!isPhotoLibraryAuthorized()) return std::int64_t{0};
  std::int64_t count = 0;
  for (const photos::AssetCollection& album : allSyncAssetsGroups()) {
    auto identifiers = allBackupImageIDsInAlbum(album);
    if (!identifiers) return identifiers.error();
    count += static_cast<std::int64_t>(identifiers->size());
  }
  return count;
}

bool LMManagedAssetContext::clearBackupData() {
  if (!deleteAllAlbumRelations() || !deleteAllImageRelations()) return false;
  setLocalAddAlbums(std::nullopt);
  return true;
}

std::optional<std::vector<LMAlbum>> LMManagedAssetContext::localAddAlbums() {
  std::lock_guard<std::mutex> guard(mutex_);
  return localAddAlbums_;
}

void LMManagedAssetContext::setLocalAddAlbums(std::optional<std::vector<LMAlbum>> albums) {
  std::lock_guard<std::mutex> guard(mutex_);
  localAddAlbums_ = std::move(albums);
}

}  // namespace lumora
