// The upload set of a backup: per cloud album its image list since the
// stored watermark, the relations the cloud no longer backs dropped, and
// the assets of each local album still to upload.
#include <algorithm>
#include <utility>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/PrintableText.h"
#include "utils/LMLogUtil.h"

namespace lumora {
namespace {

using Delegate = LMImageSyncAdapterDelegate;

// The cloud's image list of one album.
struct AlbumListing {
  std::int64_t syncTag = 0;
  std::string syncExtraInfo;
  std::vector<LMImage> images;
  bool resync = false;
};

}  // namespace

void LMImageSyncAdapter::loadUploadImagesWithAlbums(const std::vector<LMAlbum>& albums,
                                                    const UploadSetFinish& finish) {
  auto loaded = loadUploadImagesWithAlbums(albums);
  if (!finish) return;
  if (loaded.ok()) {
    finish(std::move(loaded->uploadSet), loaded->totalCount, std::nullopt);
  } else {
    finish(std::nullopt, 0, loaded.error());
  }
}

platform::Result<LMImageSyncAdapter::UploadLoad> LMImageSyncAdapter::loadUploadImagesWithAlbums(
    const std::vector<LMAlbum>& albums) {
  notifyDelegate(&Delegate::willAdapterLoadImages);
  // Local albums by cloud album, in the order first met.
  std::vector<std::pair<std::int64_t, std::vector<const LMAlbum*>>> groups;
  for (const LMAlbum& album : albums) {
    if (!album.serverID || !album.assetID) {
      LM_LOG_WARN("The album {} has no cloud album: left out", platform::printableText(album.name.value_or("")));
      continue;
    }
    auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == *album.serverID; });
    if (group == groups.end()) group = groups.insert(groups.end(), {*album.serverID, {}});
    group->second.push_back(&album);
  }

  auto store = context();
  UploadSet uploadSet;
  std::int64_t totalCount = 0;
  std::uint64_t done = 0;
  for (const auto& [serverID, members] : groups) {
    std::optional<AlbumListing> listing;
    std::vector<LMAlbumRelation> relations;
    std::vector<const LMAlbum*> related;
    for (const LMAlbum* album : members) {
      if (auto state = checkSyncState(); !state) return state.error();
      auto found = store->searchAlbumRelationByAssetID(album->assetID);
      if (!found) return found.error();
      auto& relation = *found;
      if (!relation) {
        LM_LOG_WARN("The album {} has no relation: left out", platform::printableText(album->name.value_or("")));
        continue;
      }
      if (!listing) {
        std::optional<platform::Error> failure;
        const std::int64_t albumID = serverID;
        requestImageListInAlbumWithSync(
            relation->imagesSync, relation->imagesExtra, albumID,
            [&](std::int64_t syncTag, const std::string& extra, const std::vector<LMImage>& images, bool resync) {
              listing = AlbumListing{syncTag, extra, images, resync};
              if (auto target = delegate(); target && target->didAdapterLoadAlbumImages) {
                target->didAdapterLoadAlbumImages(images, albumID, syncTag, extra, resync);
              }
            },
            [&](const platform::Error& error) { failure = error; });
        if (failure) return *failure;
      }
      relation->imagesSync = listing->syncTag;
      relation->imagesExtra = listing->syncExtraInfo;
      store->updateAlbumRelation(*relation);
      relations.push_back(*relation);
      related.push_back(album);
    }
    if (auto state = checkSyncState(); !state) return state.error();
    if (listing) {
      if (auto updated = store->updateImageRelationsWithServerImages(listing->images, relations, listing->resync);
          !updated) {
        return updated.error();
      }
    }

    std::vector<UploadEntry> entries;
    for (const LMAlbum* album : related) {
      auto found = store->searchAllUploadImagesFromAlbum(*album);
      if (!found.ok()) return found.error();
      std::vector<std::string> identifiers = std::move(*found);
      if (identifiers.empty()) continue;
      totalCount += static_cast<std::int64_t>(identifiers.size());
      entries.push_back(UploadEntry{std::move(identifiers), *album->assetID, serverID});
    }
    uploadSet.push_back(std::move(entries));
    ++done;
    notifyDelegate(&Delegate::didAdapterLoadAlbumImagesTotalCount, done, std::uint64_t{groups.size()});
  }
  return UploadLoad{std::move(uploadSet), totalCount};
}

}  // namespace lumora
