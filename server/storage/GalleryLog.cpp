#include "server/storage/GalleryLog.h"

#include "server/services/Crypto.h"

namespace localcloud {

std::string GalleryLog::extraInfo(std::int64_t userId, const GalleryStore::Scope& scope,
                                  std::int64_t tag) const {
  std::string listing = scope.kind == GalleryStore::Scope::Kind::Albums ? "albums"
                        : scope.kind == GalleryStore::Scope::Kind::Album
                            ? "album-" + std::to_string(scope.albumId)
                            : std::string(scope.hidden ? "all-hidden" : "all");
  return crypto::hmacSha1Base64(store_.serverSecret(), "gallery/" + listing + "/" +
                                                           std::to_string(userId) + "/" +
                                                           std::to_string(tag));
}

std::optional<GalleryLog::Page> GalleryLog::page(std::int64_t userId,
                                                 const GalleryStore::Scope& scope,
                                                 const SyncListing& listing) {
  auto set = gallery_.changedSince(userId, scope, listing.syncTag, listing.limit, kMaxPageBytes,
                                   listing.skipTags);
  if (!set) return std::nullopt;
  Page page;
  static_cast<SyncCursor&>(page) = listing.cursor(
      [this, userId, &scope](std::int64_t tag) { return extraInfo(userId, scope, tag); },
      set->horizon, set->lastTag, set->more, set->scannedTag);
  if (!page.restart) {
    page.albums = std::move(set->albums);
    page.images = std::move(set->images);
  }
  return page;
}

}  // namespace localcloud
