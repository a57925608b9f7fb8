// The gallery service's records in the Store's database: per user, albums
// and images, each with a server-made id and a version tag (one id counter
// and one tag counter per user, raised by every change), and the uploads
// that have been asked for but not committed yet.
//
// Albums: the system albums 1 ("untitled", the camera roll) and 2
// ("snapshot", the screenshots) exist for every user from the first call
// on and can be neither renamed nor deleted; others are made by name.
// Status 1 while live, 2 once deleted (kept as a tombstone so that
// listings report it). Deleting an album removes its images with it.
// Images: status "custom" while live, "deleted" once deleted (a
// tombstone); the image's blocks are a file of the block storage (KssNode)
// named by its file id. An upload gets its image id when it is asked for
// and becomes a live image at its commit.
//
// Every record sits at the tag of its last change, so records ordered by
// tag are the change log that listings page through (GalleryLog). A
// listing from below a horizon cannot be told what went (tombstones
// dropped past the limit, an image removed without a tombstone, an album
// removed with its images): it must start again. Horizons: one for the
// album list, one per album for its images, one for the user-wide list.
//
// Bounds per user (GalleryLimits): live albums, live images per album and
// in all (count and bytes) refuse further ones; the oldest tombstones past
// their limit are dropped, raising the horizons.
//
// Ownership: owned by the CloudServer; borrows the Store. Threading: safe
// from any thread; each change runs in one write transaction, committed
// before it returns. Failures: Outcome::Failed / nullopt; nothing throws.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/Store.h"

namespace localcloud {


struct GalleryAlbum {
  std::int64_t userId = 0;
  std::int64_t id = 0;
  std::int64_t tag = 0;
  int status = 1;                 // GalleryStore::kAlbumLive or kAlbumDeleted
  std::string name;
  std::string ckey;               // the client key it was made with
  std::int64_t createTime = 0;    // ms since 1970
  std::int64_t updateTime = 0;    // ms since 1970: its last change or image change
  std::int64_t imageCount = 0;    // live images
  std::int64_t totalSize = 0;     // their bytes

  // The cloud album form: {"id", "name", "tag", "status", "createTime",
  // "lastUpdateTime", "totalImageCount", "totalSize", "sharerCount"}.
  nlohmann::json json() const;
};

struct GalleryImage {
  std::int64_t userId = 0;
  std::int64_t id = 0;
  std::int64_t albumId = 0;
  std::int64_t tag = 0;           // 0 for an upload not committed
  std::string status;             // "custom" or "deleted" ("" for an upload)
  std::string type;               // "photo" or "video"
  std::string sha1;               // of the whole file, 40 lower-case hex digits
  std::int64_t size = 0;
  bool hidden = false;            // sent as "isUbiImage"
  std::string fileId;             // its file in the block storage ("" when gone)
  std::string fileMeta;           // the block storage upload it came from
  nlohmann::json content;         // the client's keys but those above

  // The cloud image form: content with "id", "groupId", "tag" (not for an
  // upload), "status", "type", "sha1", "size", "isUbiImage".
  nlohmann::json json() const;
};

struct GalleryLimits {
  std::int64_t maxAlbums = 1000;            // live albums, the system albums included
  std::int64_t maxDeletedAlbums = 1000;     // album tombstones; the oldest go first
  std::int64_t maxImages = 50000;           // live images
  std::int64_t maxImagesPerAlbum = 10000;
  std::int64_t maxBytes = 4LL * 1024 * 1024 * 1024;  // of live images
  std::int64_t maxDeletedImages = 5000;     // image tombstones; the oldest go first
  std::int64_t maxOpenUploads = 16;         // uploads not committed; the oldest go first
};

class GalleryStore {
 public:
  static constexpr int kAlbumLive = 1;
  static constexpr int kAlbumDeleted = 2;
  static constexpr std::int64_t kCameraAlbum = 1;
  static constexpr std::int64_t kScreenshotAlbum = 2;
  static constexpr const char* kImageLive = "custom";
  static constexpr const char* kImageDeleted = "deleted";

  enum class Outcome {
    Applied,      // done; the record is the new state
    Kept,         // stale tag or deleted already: nothing changed; the record is the cloud's
    NotFound,     // no such record of the user (or the album is deleted)
    SystemAlbum,  // the system albums cannot be renamed or deleted
    AlbumFull,    // the album holds its most images
    GalleryFull,  // the user's albums or images are at their limit
    SpaceFull,    // the user's bytes are at their limit
    Failed,       // storing failed
  };
  struct AlbumChange {
    Outcome outcome = Outcome::Failed;
    GalleryAlbum album;
    std::vector<std::string> droppedFiles;  // block storage files no longer used
  };
  struct ImageChange {
    Outcome outcome = Outcome::Failed;
    GalleryImage image;
    std::vector<std::string> droppedFiles;
  };

  // What a listing reads from one snapshot: the records changed after a tag
  // in tag order (albums and images apart), and where the log stands.
  struct ChangeSet {
    std::vector<GalleryAlbum> albums;
    std::vector<GalleryImage> images;
    bool more = false;               // further changes follow the last one read
    std::int64_t scannedTag = 0;     // the tag of the last change read (skipped ones too)
    std::int64_t lastTag = 0;        // the user's newest tag
    std::int64_t horizon = 0;        // of the listing's scope
  };
  // What a listing covers: the album list, one album's images, or
  // everything of the user (hidden images only when asked for).
  struct Scope {
    enum class Kind { Albums, Album, All };
    Kind kind = Kind::Albums;
    std::int64_t albumId = 0;
    bool hidden = false;
  };

  explicit GalleryStore(Store& store);

  void setLimits(const GalleryLimits& limits);
  GalleryLimits limits() const;

  // Makes the user's system albums on the first call; false when storing
  // failed. Every other call expects it done.
  bool ensureUser(std::int64_t userId);

  std::optional<GalleryAlbum> album(std::int64_t userId, std::int64_t id);
  // Every album of the user, tombstones included, by id.
  std::vector<GalleryAlbum> albums(std::int64_t userId);
  std::optional<GalleryImage> image(std::int64_t userId, std::int64_t id);
  // Every image of the user, tombstones included, by id.
  std::vector<GalleryImage> images(std::int64_t userId);
  // The album's newest live photos shown in the listings (not hidden), at
  // most `limit`, newest first: its cover and the photos stacked behind it.
  std::vector<GalleryImage> coverPhotos(std::int64_t userId, std::int64_t albumId, std::size_t limit);
  // A live image of the album with this content.
  std::optional<GalleryImage> liveImageWith(std::int64_t userId, std::int64_t albumId,
                                            const std::string& sha1, std::int64_t size);

  // A new album, or the live one made with the same client key and name
  // (a creation sent again).
  AlbumChange createAlbum(std::int64_t userId, const std::string& name, const std::string& ckey);
  // Applied only when `baseTag` is the album's tag (or not given).
  AlbumChange renameAlbum(std::int64_t userId, std::int64_t id, const std::string& name,
                          std::optional<std::int64_t> baseTag);
  // Marks the album deleted and removes its images (their files in
  // droppedFiles); the user-wide horizon rises.
  AlbumChange deleteAlbum(std::int64_t userId, std::int64_t id, std::optional<std::int64_t> baseTag);

  // Whether an image of `size` bytes fits into the album now: Applied,
  // NotFound (no live album), AlbumFull, GalleryFull, Failed.
  Outcome room(std::int64_t userId, std::int64_t albumId, std::int64_t size);
  // Records an upload (its id, tag and status are set here); the user's
  // oldest uploads past the limit are forgotten.
  ImageChange addUpload(GalleryImage upload);
  std::optional<GalleryImage> upload(std::int64_t userId, std::int64_t imageId);
  void dropUpload(std::int64_t userId, std::int64_t imageId);
  // Turns the upload into a live image stored as `fileId` when its album is
  // still live and has room (the same outcomes as room()).
  ImageChange commitUpload(std::int64_t userId, std::int64_t imageId, const std::string& fileId);
  // Marks a live image deleted when `baseTag` is its tag (or not given); its
  // file goes into droppedFiles. `resync` removes it without a tombstone
  // and raises its album's horizon and the user's past every tag handed
  // out, so that every listing starts again (and finds it gone).
  ImageChange deleteImage(std::int64_t userId, std::int64_t id, std::optional<std::int64_t> baseTag,
                          bool resync = false);

  // Up to `limit` records of the scope changed after `sinceTag`, stopping
  // early once their contents reach `maxBytes` (at least one is read);
  // records at a tag of `skipTags` are passed over (not counted).
  std::optional<ChangeSet> changedSince(std::int64_t userId, const Scope& scope,
                                        std::int64_t sinceTag, std::size_t limit,
                                        std::size_t maxBytes,
                                        const std::set<std::int64_t>& skipTags);

 private:
  // Runs `body` in one write transaction, committed unless it failed.
  template <typename Change, typename Body>
  Change write(Body body);

  Store& store_;
  mutable std::mutex limitsMutex_;
  GalleryLimits limits_;
};

}  // namespace localcloud
