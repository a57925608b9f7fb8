// The listings of the gallery service over its change log (the records of
// GalleryStore in tag order): the album list, one album's images, and
// everything of the user. From any tag each change comes once, at its
// newest state, however the records change between pages.
//
// A sync tag travels with an extra-information text that the server made
// for it and its listing (an HMAC of listing, user and tag under the
// server's secret); a tag is placed only with its own text, at or above
// the listing's horizon and not beyond the user's newest tag (SyncListing),
// else the listing must start again from tag 0 (code 52000).
//
// Ownership: owned by the GalleryService; borrows the Store and the
// GalleryStore. Threading: safe from any thread. Failures: nullopt when
// reading failed; nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/storage/GalleryStore.h"
#include "server/storage/Store.h"
#include "server/storage/SyncListing.h"

namespace localcloud {

class GalleryLog {
 public:
  // A page's records are bounded by count (the caller's limit) and by the
  // bytes of their contents.
  static constexpr std::size_t kMaxPageBytes = 4 * 1024 * 1024;

  // One page of a listing, or the order to start again.
  struct Page : SyncCursor {
    std::vector<GalleryAlbum> albums;  // by tag
    std::vector<GalleryImage> images;  // by tag
  };

  GalleryLog(Store& store, GalleryStore& gallery) : store_(store), gallery_(gallery) {}

  std::optional<Page> page(std::int64_t userId, const GalleryStore::Scope& scope,
                           const SyncListing& listing);
  // The extra-information text of a tag of the user's listing.
  std::string extraInfo(std::int64_t userId, const GalleryStore::Scope& scope,
                        std::int64_t tag) const;

 private:
  Store& store_;
  GalleryStore& gallery_;
};

}  // namespace localcloud
