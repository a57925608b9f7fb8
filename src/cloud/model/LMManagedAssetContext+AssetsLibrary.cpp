// The gallery store's door to the older photo-library interface (system
// versions below 8.0): groups and assets by URL, each answer awaited.
#include <fstream>
#include <iterator>
#include <mutex>
#include <utility>

#include "cloud/model/LMManagedAssetContext.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/dispatch/Semaphore.h"

namespace lumora {
namespace {

namespace photos = platform::photos;
using photos::AssetsGroup;
using photos::AssetsLibrary;
using photos::LibraryAsset;

// One answer of the library, shared with its blocks.
template <class Value>
struct LibraryAnswer {
  platform::Semaphore done;
  std::mutex mutex;
  Value value{};
  std::optional<platform::Error> error;
};

// Issues `call` with a result and a failure block and waits for either.
template <class Value, class Call>
platform::Result<Value> awaitAnswer(const Call& call) {
  auto answer = std::make_shared<LibraryAnswer<Value>>();
  call(
      [answer](Value value) {
        {
          std::lock_guard<std::mutex> guard(answer->mutex);
          answer->value = std::move(value);
        }
        answer->done.signal();
      },
      [answer](const platform::Error& error) {
        {
          std::lock_guard<std::mutex> guard(answer->mutex);
          answer->error = error;
        }
        answer->done.signal();
      });
  answer->done.wait();
  std::lock_guard<std::mutex> guard(answer->mutex);
  if (answer->error) return *answer->error;
  return std::move(answer->value);
}

// Items handed one by one, then none at the end.
template <class Item>
std::function<void(std::optional<Item>)> gathering(std::function<void(std::vector<Item>)> done) {
  auto items = std::make_shared<std::vector<Item>>();
  return [items, done = std::move(done)](std::optional<Item> item) {
    if (item) {
      items->push_back(std::move(*item));
    } else {
      done(std::move(*items));
    }
  };
}

platform::Error notAddedError() {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorAssetsGroup,
      {{kLMErrorReasonKey, "Add image to album fail"}, {kLMErrorDescriptionKey, kLMErrorTitleAssetsGroup}});
}

}  // namespace

platform::Result<std::optional<LibraryAsset>> LMManagedAssetContext::assetImageWithAssetID(
    const std::optional<std::string>& assetURL, AssetsLibrary& library) {
  if (!assetURL || assetURL->empty()) return std::optional<LibraryAsset>();
  return awaitAnswer<std::optional<LibraryAsset>>(
      [&](auto result, auto failure) { library.assetForURL(*assetURL, std::move(result), std::move(failure)); });
}

platform::Result<std::optional<AssetsGroup>> LMManagedAssetContext::assetsGroupWithAlbumURL(
    const std::optional<std::string>& albumURL, AssetsLibrary& library) {
  if (!albumURL || albumURL->empty()) return std::optional<AssetsGroup>();
  return awaitAnswer<std::optional<AssetsGroup>>(
      [&](auto result, auto failure) { library.groupForURL(*albumURL, std::move(result), std::move(failure)); });
}

platform::Result<std::vector<AssetsGroup>> LMManagedAssetContext::allSyncAssetsGroups(AssetsLibrary& library) {
  return assetsGroups(photos::kGroupAlbum | photos::kGroupSavedPhotos, library);
}

platform::Result<std::vector<AssetsGroup>> LMManagedAssetContext::assetsGroups(std::uint32_t types,
                                                                               AssetsLibrary& library) {
  return awaitAnswer<std::vector<AssetsGroup>>([&](auto result, auto failure) {
    library.enumerateGroupsWithTypes(types, gathering<AssetsGroup>(std::move(result)), std::move(failure));
  });
}

platform::Result<std::optional<AssetsGroup>> LMManagedAssetContext::addAssetsGroupWithName(const std::string& name,
                                                                                          AssetsLibrary& library) {
  if (name.empty()) return std::optional<AssetsGroup>();
  return awaitAnswer<std::optional<AssetsGroup>>([&](auto result, auto failure) {
    library.addAssetsGroupAlbumWithName(name, std::move(result), std::move(failure));
  });
}

platform::Status LMManagedAssetContext::addALAsset(const std::optional<LibraryAsset>& asset,
                                                   const std::optional<AssetsGroup>& group, AssetsLibrary& library) {
  if (!asset || !group || !group->editable || !library.addAsset(*group, *asset)) return notAddedError();
  return platform::Status::success();
}

platform::Result<LibraryAsset> LMManagedAssetContext::addAssetSource(const std::string& path, bool isVideo,
                                                                     const AssetsGroup& group,
                                                                     AssetsLibrary& library) {
  // A group that cannot take the asset refuses before anything is written,
  // so no copy is left behind in the camera roll.
  const bool savedPhotos = group.type == photos::kGroupSavedPhotos;
  if (!savedPhotos && !group.editable) return notAddedError();
  auto written = awaitAnswer<std::string>([&](auto result, auto failure) {
    auto completion = [result, failure](std::optional<std::string> url, std::optional<platform::Error> error) {
      if (error || !url) {
        failure(error.value_or(platform::Error(photos::kAssetsLibraryErrorDomain,
                                               photos::kAssetsLibraryErrorWriteFailed)));
      } else {
        result(std::move(*url));
      }
    };
    if (isVideo) {
      library.writeVideoAtPathToSavedPhotosAlbum(path, std::move(completion));
      return;
    }
    std::ifstream in(path, std::ios::binary);
    platform::Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    library.writeImageDataToSavedPhotosAlbum(data, std::move(completion));
  });
  if (!written) return written.error();
  auto asset = assetImageWithAssetID(*written, library);
  if (!asset) return asset.error();
  if (!*asset) return notAddedError();
  if (savedPhotos) return std::move(**asset);
  if (auto added = addALAsset(*asset, group, library); !added) return added.error();
  return std::move(**asset);
}

platform::Result<std::vector<std::string>> LMManagedAssetContext::allBackupImageIDsInAlbum(const AssetsGroup& group,
                                                                                          AssetsLibrary& library) {
  auto assets = awaitAnswer<std::vector<LibraryAsset>>([&](auto result, auto) {
    library.enumerateAssets(group, gathering<LibraryAsset>(std::move(result)));
  });
  if (!assets) return assets.error();
  std::vector<std::string> identifiers;
  std::vector<LMImageRelation> changed;
  for (const LibraryAsset& asset : *assets) {
    if (asset.type == photos::kAssetTypeUnknown) continue;
    auto relation = searchImageRelationByAssetID(asset.url, group.persistentID);
    if (!relation) return relation.error();
    if (!*relation) {
      identifiers.push_back(asset.url);
      continue;
    }
    // Edited since it was backed up: sent again, and the old row goes.
    auto representation = asset.defaultRepresentation();
    const std::int64_t size = representation ? representation->size() : 0;
    if ((*relation)->size != size) {
      identifiers.push_back(asset.url);
      changed.push_back(std::move(**relation));
    }
  }
  for (const LMImageRelation& relation : changed) deleteImageRelation(relation);
  return identifiers;
}

platform::Result<std::vector<std::string>> LMManagedAssetContext::searchAllUploadImagesBelow8(const LMAlbum& album) {
  AssetsLibrary library;
  std::vector<AssetsGroup> groups;
  if (album.assetsGroupType == photos::kGroupEvent) {
    auto events = assetsGroups(photos::kGroupEvent, library);
    if (!events) return events.error();
    groups = std::move(*events);
  } else {
    auto group = assetsGroupWithAlbumURL(album.assetUrl, library);
    if (!group) return group.error();
    if (*group) groups.push_back(std::move(**group));
  }
  std::vector<std::string> identifiers;
  for (const AssetsGroup& group : groups) {
    auto found = allBackupImageIDsInAlbum(group, library);
    if (!found) return found.error();
    identifiers.insert(identifiers.end(), found->begin(), found->end());
  }
  return identifiers;
}

platform::Result<std::int64_t> LMManagedAssetContext::calculateBackupImageNumBelow8() {
  if (AssetsLibrary::authorizationStatus() != photos::AuthorizationStatus::Authorized) return std::int64_t{0};
  AssetsLibrary library;
  auto groups = allSyncAssetsGroups(library);
  if (!groups) return groups.error();
  std::int64_t count = 0;
  std::vector<AssetsGroup> related;
  for (const AssetsGroup& group : *groups) {
    auto relation = searchAlbumRelationByAssetID(group.persistentID);
    if (!relation) return relation.error();
    if (*relation) {
      related.push_back(group);
    } else if (group.type == photos::kGroupAlbum || group.type == photos::kGroupEvent ||
               group.type == photos::kGroupSavedPhotos) {
      count += library.numberOfAssets(group);
    }
  }
  for (const AssetsGroup& group : related) {
    auto identifiers = allBackupImageIDsInAlbum(group, library);
    if (!identifiers) return identifiers.error();
    count += static_cast<std::int64_t>(identifiers->size());
  }
  return count;
}

}  // namespace lumora
