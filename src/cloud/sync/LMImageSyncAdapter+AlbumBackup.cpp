// The album stage of a backup: the local albums named for the cloud, matched
// with the cloud's albums, the missing ones created, the relations stored.
#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/model/LMAssetJSON.h"
#include "platform/Bytes.h"
#include "platform/device/Device.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

namespace photos = platform::photos;
using Delegate = LMImageSyncAdapterDelegate;

constexpr std::int64_t kCameraAlbumID = 1;
constexpr std::int64_t kScreenshotsAlbumID = 2;

std::string trimmed(const std::string& text) {
  constexpr const char* kSpace = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The album as the backup names it, or nullopt for a kind that takes no
// part. The cloud takes names as UTF-8: a title in another encoding goes
// with its other bytes read as Latin-1 (platform::toValidUtf8), the same
// name at every run.
std::optional<LMAlbum> localAlbum(const photos::AssetCollection& group) {
  auto album = LMAlbum::initWithAssetsGroup(&group);
  switch (group.collectionType) {
    case photos::CollectionType::Album: {
      std::string name = group.collectionSubtype == photos::CollectionSubtype::AlbumSyncedEvent
                             ? std::string("Events")
                             : trimmed(platform::toValidUtf8(group.localizedTitle));
      if (LMImageSyncAdapter::isAlbumNameReserved(name)) name = fmt::format("{}_{}", name, platform::Device::model());
      album->name = std::move(name);
      return album;
    }
    case photos::CollectionType::SmartAlbum:
      album->name = LMImageSyncAdapter::cameraAlbumName();
      return album;
  }
  return std::nullopt;
}

// Below system version 8.0: a group of the older interface, likewise.
std::optional<LMAlbum> localAlbum(photos::AssetsGroup& group, photos::AssetsLibrary& library) {
  auto album = LMAlbum::initWithAssetsGroup(&group, library);
  switch (group.type) {
    case photos::kGroupAlbum: {
      std::string name = trimmed(platform::toValidUtf8(group.name));
      if (LMImageSyncAdapter::isAlbumNameReserved(name)) name = fmt::format("{}_{}", name, platform::Device::model());
      album->name = std::move(name);
      return album;
    }
    case photos::kGroupSavedPhotos:
      album->name = LMImageSyncAdapter::cameraAlbumName();
      return album;
    case photos::kGroupEvent:
      album->name = "Events";
      return album;
    default:
      return std::nullopt;
  }
}

platform::Error photosAccessError() {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorPhotosAccess, {{kLMErrorReasonKey, "Fail to access photos"}, {kLMErrorDescriptionKey, kLMErrorTitlePhotos}});
}

platform::Error loggedBackupFailure(platform::Error error) {
  LM_LOG_ERROR("{}", error.description());
  return error;
}

}  // namespace

std::string LMImageSyncAdapter::cameraAlbumName() {
  return fmt::format("Photos from {}", platform::Device::model());
}

std::string LMImageSyncAdapter::screenshotsAlbumName() {
  return fmt::format("Screenshots_{}", platform::Device::model());
}

void LMImageSyncAdapter::backupAlbums(const AlbumsCompletion& completion) {
  auto albums = backupAlbums();
  if (!completion) return;
  if (albums.ok()) {
    completion(std::move(*albums), std::nullopt);
  } else {
    completion(std::nullopt, albums.error());
  }
}

platform::Result<std::vector<LMAlbum>> LMImageSyncAdapter::backupAlbums() {
  notifyDelegate(&Delegate::willAdapterBeginBackupAlbums);
  notifyDelegate(&Delegate::willAdapterGetLocalAlbums);
  auto store = context();
  std::vector<LMAlbum> locals;
  if (platform::Device::systemVersionIsAtLeast(8.0)) {
    for (const photos::AssetCollection& group : store->allSyncAssetsGroups()) {
      if (auto album = localAlbum(group)) locals.push_back(std::move(*album));
    }
    if (!store->isPhotoLibraryAuthorized()) return loggedBackupFailure(photosAccessError());
  } else {
    photos::AssetsLibrary library;
    auto groups = store->allSyncAssetsGroups(library);
    if (!groups) {
      const platform::Error& error = groups.error();
      const bool denied = error.domain() == photos::kAssetsLibraryErrorDomain &&
                          error.code() == photos::kAssetsLibraryErrorAccessDenied;
      return loggedBackupFailure(denied ? photosAccessError() : error);
    }
    for (photos::AssetsGroup& group : *groups) {
      if (auto album = localAlbum(group, library)) locals.push_back(std::move(*album));
    }
  }
  if (auto state = checkSyncState(); !state) return state.error();

  std::vector<LMAlbum> clouds;
  std::optional<platform::Error> failure;
  requestAlbumListWithSync(
      std::nullopt, std::nullopt,
      [&](std::int64_t syncTag, const std::string& extra, const std::vector<LMAlbum>& albums, bool) {
        clouds = albums;
        if (auto target = delegate(); target && target->didAdapterGetAllServerAlbums) {
          target->didAdapterGetAllServerAlbums(albums, syncTag, extra);
        }
      },
      [&](const platform::Error& error) { failure = error; });
  if (failure) return loggedBackupFailure(*failure);
  if (auto state = checkSyncState(); !state) return state.error();

  if (!store->updateAlbumsWithLocalAlbums(locals, clouds)) {
    return loggedBackupFailure(LMUtils::localErrorWithErrorCode(
        kLMLocalErrorDatabase,
        {{kLMErrorReasonKey, "Fail to save database"}, {kLMErrorDescriptionKey, kLMErrorTitleDatabase}}));
  }
  const std::vector<LMAlbum> adds = store->localAddAlbums().value_or(std::vector<LMAlbum>());
  if (adds.empty()) {
    notifyDelegate(&Delegate::didAdapterFinishBackupAlbums, std::uint64_t{0});
    return locals;
  }

  auto cloudAlbum = [&clouds](std::int64_t id) -> const LMAlbum* {
    auto found = std::find_if(clouds.begin(), clouds.end(), [id](const LMAlbum& a) { return a.serverID == id; });
    return found == clouds.end() ? nullptr : &*found;
  };
  std::vector<LMAlbumRelation> relations;
  auto relate = [&](const LMAlbum& album, std::optional<std::int64_t> serverID, std::optional<std::int64_t> sync) {
    LMAlbumRelation relation;
    relation.assetID = album.assetID;
    relation.serverID = serverID;
    relation.serverSync = sync;
    relations.push_back(std::move(relation));
    for (LMAlbum& local : locals) {
      if (local.assetID == album.assetID) local.serverID = serverID;
    }
  };
  auto relateFixed = [&](const LMAlbum& album, std::int64_t id) {
    const LMAlbum* fixed = cloudAlbum(id);
    relate(album, fixed ? fixed->serverID : id, fixed ? fixed->sync : std::optional<std::int64_t>(0));
  };
  // One cloud album per name, in the order the names were met.
  std::vector<std::pair<std::string, std::vector<LMAlbum>>> nameGroups;
  const std::string camera = cameraAlbumName();
  const std::string screenshots = screenshotsAlbumName();
  for (const LMAlbum& album : adds) {
    const std::string name = album.name.value_or(std::string());
    if (name == camera) {
      relateFixed(album, kCameraAlbumID);
    } else if (name == screenshots) {
      relateFixed(album, kScreenshotsAlbumID);
    } else {
      auto group = std::find_if(nameGroups.begin(), nameGroups.end(), [&](const auto& g) { return g.first == name; });
      if (group == nameGroups.end()) group = nameGroups.insert(nameGroups.end(), {name, {}});
      group->second.push_back(album);
    }
  }
  if (auto state = checkSyncState(); !state) return state.error();

  for (std::size_t index = 0; index < nameGroups.size(); ++index) {
    notifyDelegate(&Delegate::willAdapterCreateLumoraAlbums, std::uint64_t{index}, std::uint64_t{nameGroups.size()});
    const std::vector<LMAlbum>& group = nameGroups[index].second;
    auto reply = requestCreateAlbum(group.front())->result();
    if (!reply.ok()) return loggedBackupFailure(reply.error());
    if (auto state = checkSyncState(); !state) return state.error();
    auto data = assetjson::dictionaryAt(*reply, "data");
    auto content = data ? assetjson::dictionaryAt(*data, "content") : std::nullopt;
    std::optional<LMAlbum> created;
    if (content && !content->empty()) created = LMAlbum::initWithLumoraJSON(*content);
    // An album without its id could not be related.
    if (!created || !created->serverID) {
      return loggedBackupFailure(LMUtils::errorForLumoraUnknownErrorWithUserInfo(
          {{kLMErrorReasonKey, "The operation of creating album is failed."}, {kLMErrorDescriptionKey, "Unknown Error"}}));
    }
    for (const LMAlbum& album : group) relate(album, created->serverID, created->sync);
  }
  for (LMAlbumRelation& relation : relations) store->addAlbumRelation(relation);
  notifyDelegate(&Delegate::didAdapterFinishBackupAlbums, std::uint64_t{nameGroups.size()});
  return locals;
}

}  // namespace lumora
