// Cloud images back into the photo library: the local albums that receive a
// cloud album, one image found, added or downloaded and saved, whole albums
// in a batch; and the relation rows that keep a later backup from uploading
// what came down.
#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>
#include <variant>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/model/LMBlockDigests.h"
#include "platform/Bytes.h"
#include "platform/device/Device.h"
#include "utils/DigestContext.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

namespace photos = platform::photos;

constexpr std::int64_t kCameraAlbumServerID = 1;
constexpr std::int64_t kScreenshotsAlbumServerID = 2;


bool contains(const std::vector<std::string>& ids, const std::optional<std::string>& id) {
  return id && std::find(ids.begin(), ids.end(), *id) != ids.end();
}

void addUnique(std::vector<std::string>& ids, const std::string& id) {
  if (!contains(ids, id)) ids.push_back(id);
}

// The SHA-1 (hexadecimal) and length of a whole file, read once in 1 MiB
// pieces (the download checked every block already; the relation wants the
// whole file's digest).
struct FileDigest {
  std::string sha1;
  std::int64_t size = 0;
};
platform::Result<FileDigest> fileSHA1(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return platform::Error(platform::kPOSIXErrorDomain, errno);
  DigestContext sha1(DigestKind::SHA1);
  std::vector<char> piece(1 << 20);
  FileDigest digest;
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const auto got = in.gcount();
    sha1.update(reinterpret_cast<const std::uint8_t*>(piece.data()), static_cast<std::size_t>(got));
    digest.size += got;
  }
  if (in.bad()) return platform::Error(platform::kPOSIXErrorDomain, EIO);
  digest.sha1 = platform::hexString(sha1.finish());
  return digest;
}

// The local name of a cloud album: the cloud's own names of the camera and
// screenshot albums become the app's texts for them.
std::string localAlbumName(const LMAlbum& album) {
  const std::string name = album.name.value_or("");
  if (album.serverID == kCameraAlbumServerID && name == "untitled") return LMImageSyncAdapter::cameraAlbumName();
  if (album.serverID == kScreenshotsAlbumServerID && name == "snapshot") {
    return LMImageSyncAdapter::screenshotsAlbumName();
  }
  return name;
}

constexpr const char* kAlreadyInAlbumReason = "Image already in album";

platform::Error alreadyInAlbumError() {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorAssetsGroup, {{kLMErrorReasonKey, kAlreadyInAlbumReason}, {kLMErrorDescriptionKey, "Download Error"}});
}

// No target album could be found in the library: nothing was saved.
platform::Error noAlbumError() {
  platform::Error error = LMUtils::localErrorWithErrorCode(
      kLMLocalErrorGeneral, {{kLMErrorReasonKey, "PHAssetCollection is nil."}, {kLMErrorDescriptionKey, kLMErrorTitlePhoto}});
  LM_LOG_ERROR("{}", error.description());
  return error;
}

}  // namespace

struct LMImageSyncAdapter::LocalCopy {
  std::string assetID;
  std::optional<std::string> sha1;
  std::optional<std::int64_t> size;
  std::string albumID;  // the target album that holds it
};

// ---- The library on either interface ----

// Albums and assets by their local ids on the interface the system version
// picks; below 8.0 through a library of the older interface made for the
// one operation, each answer awaited, each failed look-up logged.
struct LMImageSyncAdapter::DownloadLibrary {
  struct Album {
    std::string id;
    std::string title;
    bool cameraRoll = false;
    std::variant<photos::AssetCollection, photos::AssetsGroup> group;
  };
  struct Asset {
    std::string id;
    std::variant<photos::Asset, photos::LibraryAsset> asset;
  };

  explicit DownloadLibrary(std::shared_ptr<LMManagedAssetContext> context) : store(std::move(context)) {
    if (!platform::Device::systemVersionIsAtLeast(8.0)) older = std::make_unique<photos::AssetsLibrary>();
  }

  static Album albumOf(const photos::AssetCollection& group) {
    const bool roll = group.collectionType == photos::CollectionType::SmartAlbum &&
                      group.collectionSubtype == photos::CollectionSubtype::SmartAlbumUserLibrary;
    return Album{group.localIdentifier, group.localizedTitle, roll, group};
  }
  static Album albumOf(const photos::AssetsGroup& group) {
    return Album{group.persistentID, group.name, group.type == photos::kGroupSavedPhotos, group};
  }

  template <class T>
  static platform::Result<T> logged(platform::Result<T> answer) {
    if (!answer) LM_LOG_ERROR("{}", answer.error().description());
    return answer;
  }

  // None when the library holds no such album.
  platform::Result<std::optional<Album>> album(const std::optional<std::string>& id) {
    if (!older) {
      auto group = store->assetsGroupWithAlbumId(id);
      return group ? std::optional(albumOf(*group)) : std::nullopt;
    }
    auto url = id ? LMUtils::assetGroupURLFromAssetID(*id) : std::nullopt;
    auto group = logged(store->assetsGroupWithAlbumURL(url, *older));
    if (!group) return group.error();
    return *group ? std::optional(albumOf(**group)) : std::nullopt;
  }

  // The albums that take part in the sync.
  platform::Result<std::vector<Album>> syncAlbums() {
    std::vector<Album> albums;
    if (!older) {
      for (const auto& group : store->allSyncAssetsGroups()) albums.push_back(albumOf(group));
      return albums;
    }
    auto groups = logged(store->allSyncAssetsGroups(*older));
    if (!groups) return groups.error();
    for (const auto& group : *groups) albums.push_back(albumOf(group));
    return albums;
  }

  // A new album; one the library does not hand back is -10015.
  platform::Result<Album> createAlbum(const std::string& name) {
    if (!older) {
      auto created = store->addAssetsGroupWithName(name);
      if (!created) return created.error();
      return albumOf(*created);
    }
    auto created = logged(store->addAssetsGroupWithName(name, *older));
    if (!created) return created.error();
    if (!*created) {
      return LMUtils::localErrorWithErrorCode(
          kLMLocalErrorAssetsGroup,
          {{kLMErrorReasonKey, "Create album fail"}, {kLMErrorDescriptionKey, kLMErrorTitleAssetsGroup}});
    }
    return albumOf(**created);
  }

  // None when the library holds no such asset.
  platform::Result<std::optional<Asset>> asset(const std::optional<std::string>& id) {
    if (!older) {
      auto found = store->assetImageWithAssetID(id);
      return found ? std::optional(Asset{found->localIdentifier, *found}) : std::nullopt;
    }
    auto found = logged(store->assetImageWithAssetID(id, *older));
    if (!found) return found.error();
    return *found ? std::optional(Asset{(*found)->url, **found}) : std::nullopt;
  }

  // The file saved as a new photo or video of `album`.
  platform::Result<Asset> save(const std::string& path, bool isVideo, const Album& album) {
    if (!older) {
      auto saved = store->addAssetSource(path, isVideo, std::get<photos::AssetCollection>(album.group));
      if (!saved) return saved.error();
      return Asset{saved->localIdentifier, *saved};
    }
    auto saved = store->addAssetSource(path, isVideo, std::get<photos::AssetsGroup>(album.group), *older);
    if (!saved) return saved.error();
    return Asset{saved->url, *saved};
  }

  platform::Status add(const Asset& asset, const Album& album) {
    if (!older) {
      return store->addAssetImage(std::get<photos::Asset>(asset.asset), std::get<photos::AssetCollection>(album.group));
    }
    return store->addALAsset(std::get<photos::LibraryAsset>(asset.asset), std::get<photos::AssetsGroup>(album.group),
                            *older);
  }

  // The camera roll's id, none when the library shows none.
  platform::Result<std::optional<std::string>> cameraRollID() {
    if (!older) {
      auto roll = store->userLibraryAssetsGroup();
      return roll ? std::optional(roll->localIdentifier) : std::nullopt;
    }
    auto rolls = logged(store->assetsGroups(photos::kGroupSavedPhotos, *older));
    if (!rolls) return rolls.error();
    return rolls->empty() ? std::nullopt : std::optional(rolls->front().persistentID);
  }

  platform::Status relate(LMImageSyncAdapter& adapter, const LMAlbum& serverAlbum, const Album& album) {
    if (!older) return adapter.saveRelationServerAlbum(serverAlbum, std::get<photos::AssetCollection>(album.group));
    return adapter.saveRelationServerAlbum(serverAlbum, std::get<photos::AssetsGroup>(album.group), *older);
  }

  std::shared_ptr<LMManagedAssetContext> store;
  std::unique_ptr<photos::AssetsLibrary> older;  // below system version 8.0
};

// ---- The local albums of a cloud album ----

platform::Result<std::vector<std::string>> LMImageSyncAdapter::localAlbumsOfServerAlbum(const LMAlbum& album,
                                                                                       DownloadLibrary& library) {
  auto store = context();
  std::vector<std::string> ids;
  std::vector<LMAlbumRelation> stale;
  auto relations = store->searchAlbumRelationsByServerID(album.serverID);
  if (!relations) return relations.error();
  for (const auto& relation : *relations) {
    auto local = library.album(relation.assetID);
    if (!local) return local.error();
    if (*local) {
      addUnique(ids, (*local)->id);
    } else {
      stale.push_back(relation);
    }
  }
  if (auto state = checkSyncState(); !state) return state.error();
  for (const auto& relation : stale) store->deleteAlbumRelation(relation);
  if (auto state = checkSyncState(); !state) return state.error();

  const std::string name = localAlbumName(album);
  if (ids.empty()) {
    const std::string model = platform::Device::model();
    auto groups = library.syncAlbums();
    if (!groups) return groups.error();
    if (name == fmt::format("Photos from {}", model)) {
      // The camera roll is taken even when another cloud album had it.
      auto cameraRoll = std::find_if(groups->begin(), groups->end(), [](const auto& group) { return group.cameraRoll; });
      if (cameraRoll != groups->end()) {
        ids.push_back(cameraRoll->id);
        if (auto saved = library.relate(*this, album, *cameraRoll); !saved) return saved.error();
      }
    } else {
      std::string title = name;
      const std::string suffix = "_" + model;
      if (title.size() > suffix.size() && title.ends_with(suffix)) title.resize(title.size() - suffix.size());
      for (const auto& group : *groups) {
        if (group.title != title) continue;
        auto bound = store->searchAlbumRelationByAssetID(group.id);
        if (!bound) return bound.error();
        if (*bound) continue;
        addUnique(ids, group.id);
        if (auto saved = library.relate(*this, album, group); !saved) return saved.error();
      }
    }
    if (auto state = checkSyncState(); !state) return state.error();
  }

  if (ids.empty()) {
    auto created = library.createAlbum(name);
    if (!created) return created.error();
    if (auto saved = library.relate(*this, album, *created); !saved) return saved.error();
    ids.push_back(created->id);
  }
  return ids;
}

void LMImageSyncAdapter::albumSetToSaveAlbum(const LMAlbum& album, const AlbumSetFinish& finish) {
  DownloadLibrary library(context());
  auto ids = localAlbumsOfServerAlbum(album, library);
  if (!finish) return;
  if (ids.ok()) {
    finish(std::move(*ids), std::nullopt);
  } else {
    finish(std::nullopt, ids.error());
  }
}

// ---- One image ----

platform::Result<LMImageSyncAdapter::LocalCopy> LMImageSyncAdapter::saveDownloadedImage(
    const LMImage& image, const std::vector<std::string>& albums, const DownloadDataBlock& progress,
    DownloadLibrary& library) {
  // Only a named file can be handed to the library (its extension says
  // what it is); a nameless image would come down into memory.
  if (!image.fileName || image.fileName->empty()) {
    return LMUtils::invalidParametersError();
  }
  auto downloaded = downloadImage(image, progress);
  struct CachedFileRemoval {
    LMImageSyncAdapter* adapter;
    std::string fileName;
    ~CachedFileRemoval() { adapter->removeImageObjectWithFileName(fileName); }
  } removal{this, *image.fileName};
  if (!downloaded.ok()) return downloaded.error();
  const auto* path = std::get_if<std::string>(&*downloaded);
  if (path == nullptr) return noAlbumError();
  if (auto state = checkSyncState(); !state) return state.error();

  // What the library will hold is this file, byte for byte.
  auto digests = fileSHA1(*path);
  if (!digests.ok()) return digests.error();

  const bool isVideo = image.type == kLMAssetTypeVideo;
  std::optional<platform::Error> lastError;
  for (const auto& id : albums) {
    auto group = library.album(id);
    if (!group) return group.error();
    if (!*group) continue;
    auto asset = library.save(*path, isVideo, **group);
    if (asset) return LocalCopy{asset->id, digests->sha1, digests->size, (*group)->id};
    lastError = asset.error();
  }
  // Nothing saved is no success.
  return lastError.value_or(noAlbumError());
}

platform::Result<std::string> LMImageSyncAdapter::addToFirstAlbum(const std::string& assetID,
                                                                  const std::vector<std::string>& albums,
                                                                  DownloadLibrary& library) {
  auto asset = library.asset(assetID);
  if (!asset) return asset.error();
  std::optional<platform::Error> lastError;
  for (const auto& id : albums) {
    if (!*asset) break;
    auto group = library.album(id);
    if (!group) return group.error();
    if (!*group) continue;
    auto added = library.add(**asset, **group);
    if (added) return (*group)->id;
    lastError = added.error();
  }
  // No album took it: no relation may claim one did.
  if (lastError) LM_LOG_ERROR("{}", lastError->description());
  return lastError.value_or(noAlbumError());
}

platform::Status LMImageSyncAdapter::downloadImageObject(const LMImage& image, const std::vector<std::string>& albums,
                                                         const DownloadDataBlock& downloadDataBlock) {
  DownloadLibrary library(context());
  return putImageIntoAlbums(image, albums, downloadDataBlock, library);
}

platform::Status LMImageSyncAdapter::putImageIntoAlbums(const LMImage& image, const std::vector<std::string>& albums,
                                                        const DownloadDataBlock& downloadDataBlock,
                                                        DownloadLibrary& library) {
  auto store = context();
  // Whether the library holds the image already is told by its relations
  // and a lookup of the asset; the asset is never exported for it.
  std::optional<LocalCopy> local;
  bool inTargetAlbum = false;
  std::vector<LMImageRelation> stale;
  platform::Status state;
  auto relations = store->searchImageRelationsByServerID(image.serverID);
  if (!relations) return relations.error();
  for (const auto& relation : *relations) {
    auto asset = library.asset(relation.assetID);
    if (!asset) {
      state = asset.error();
      break;
    }
    if (*asset) {
      local = LocalCopy{(*asset)->id, relation.sha1, relation.size, relation.assetGroupID.value_or("")};
      inTargetAlbum = contains(albums, relation.assetGroupID);
    } else {
      stale.push_back(relation);
    }
    state = checkSyncState();
    if (inTargetAlbum || !state) break;
  }
  if (!state) return state;
  for (const auto& relation : stale) store->deleteImageRelation(relation);
  if (state = checkSyncState(); !state) return state;

  if (inTargetAlbum) {
    LM_LOG_VERBOSE("Image already in album");
    return alreadyInAlbumError();
  }
  if (!local) {
    auto saved = saveDownloadedImage(image, albums, downloadDataBlock, library);
    if (!saved.ok()) return saved.error();
    local = std::move(*saved);
  } else {
    auto album = addToFirstAlbum(local->assetID, albums, library);
    if (!album.ok()) return album.error();
    local->albumID = std::move(*album);
  }

  auto cameraRoll = library.cameraRollID();
  if (!cameraRoll) return cameraRoll.error();
  LMImageRelation relation;
  relation.assetID = local->assetID;
  relation.serverID = image.serverID;
  relation.serverSync = image.sync;
  relation.assetGroupID = local->albumID;
  relation.sha1 = local->sha1;
  relation.size = local->size;
  if (auto saved = saveImageRelation(relation); !saved.ok()) return saved.error();
  // The camera roll holds every asset: a backup of it must pass this one
  // over too.
  if (*cameraRoll && **cameraRoll != local->albumID) {
    relation.assetGroupID = **cameraRoll;
    if (auto saved = saveImageRelation(relation); !saved.ok()) return saved.error();
  }
  return platform::Status::success();
}

bool LMImageSyncAdapter::isImageAlreadyInAlbumError(const platform::Error& error) {
  if (error.domain() != kLMLocalErrorDomain || error.code() != kLMLocalErrorAssetsGroup) return false;
  const auto& info = error.userInfo();
  const auto reason = info.is_object() ? info.find(kLMErrorReasonKey) : info.end();
  return reason != info.end() && reason->is_string() && reason->get<std::string>() == kAlreadyInAlbumReason;
}

void LMImageSyncAdapter::downloadImageObject(const LMImage& image, const LMAlbum& album,
                                             const DownloadDataBlock& downloadDataBlock,
                                             const std::function<void(const std::optional<platform::Error>& error)>& finish) {
  setSyncing(true);
  DownloadLibrary library(context());
  platform::Status outcome;
  auto albums = localAlbumsOfServerAlbum(album, library);
  if (!albums.ok()) {
    outcome = albums.error();
  } else if (auto state = checkSyncState(); !state) {
    outcome = state;
  } else {
    outcome = putImageIntoAlbums(image, *albums, downloadDataBlock, library);
  }
  setSyncing(false);
  if (finish) finish(outcome.ok() ? std::nullopt : std::optional(outcome.error()));
}

// ---- Whole albums ----

void LMImageSyncAdapter::downloadAlbums(const std::vector<LMAlbum>& albums,
                                        const std::map<std::int64_t, std::vector<LMImage>>& albumImages,
                                        std::int64_t size, const DownloadDataBlock& downloadDataBlock,
                                        const DownloadAlbumsFinish& finish) {
  setSyncing(true);
  DownloadLibrary library(context());
  std::vector<LMImage> failed;
  std::int64_t done = 0;
  std::optional<platform::Error> runError;
  for (const auto& album : albums) {
    auto targets = localAlbumsOfServerAlbum(album, library);
    if (!targets.ok()) {
      runError = targets.error();
      break;
    }
    if (auto state = checkSyncState(); !state) {
      runError = state.error();
      break;
    }
    auto images = album.serverID ? albumImages.find(*album.serverID) : albumImages.end();
    if (images == albumImages.end()) continue;
    for (const auto& image : images->second) {
      DownloadDataBlock progress;
      if (downloadDataBlock) {
        progress = [&downloadDataBlock, done, size](std::int64_t now, std::int64_t soFar, std::int64_t) {
          downloadDataBlock(now, done + soFar, size);
        };
      }
      auto outcome = putImageIntoAlbums(image, *targets, progress, library);
      done += image.size.value_or(0);
      if (!outcome) {
        const platform::Error& error = outcome.error();
        const bool alreadyThere = error.domain() == kLMLocalErrorDomain && error.code() == kLMLocalErrorAssetsGroup;
        if (!alreadyThere) failed.push_back(image);
        if (shouldStopBackupImageWithError(error)) {
          runError = error;
          break;
        }
      }
      if (auto state = checkSyncState(); !state) {
        runError = state.error();
        break;
      }
    }
    if (runError) break;
  }
  setSyncing(false);
  if (finish) finish(failed, runError);
}

}  // namespace lumora
