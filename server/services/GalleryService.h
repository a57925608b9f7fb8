// The gallery service (service id "lumora") over the signed-request layer;
// every path starts with /lum/gallery/v3/user/{userId}:
//   GET  /full                 "syncTag", "syncExtraInfo", "limit",
//        "filterTag" (SyncListing), "returnHiddenData" "0"/"1": everything
//        of the user changed since the tag: data {"content": [images],
//        "list": [albums], "lastPage", "syncTag", "syncExtraInfo"}.
//   GET  /full/album           the same paging: data {"list": [albums], ...}.
//   GET  /full/album/{albumId} the same paging: data {"content": [the
//        album's images], ...}; 404 for an album that is not live.
//   GET  /thumbnails           "ids" (1 to 10 image ids joined by ","),
//        "width", "height" (1 to 4096), "retry": data {"content": {id:
//        {"isUrl": true, "data": address}}} for the ids that are live
//        photos of the caller.
//   POST /full                 the upload request: "data" = {"content": the
//        image (its album "groupId", "fileName", "type" "image"/"video",
//        "sha1", "size", ...), "block_infos": [{"sha1", "md5", "size"}]
//        (4 MiB blocks, the last 1 byte to 4 MiB, in file order)}, "ckey",
//        "isUbiImage" "0"/"1", "retry". Data {"content": the image (its
//        id), "fileExists": true} when the album holds the same file
//        (SHA-1 and size) already, else {"content", "fileExists": false,
//        "kss": {"block_metas", "file_meta", "secure_key", "node_urls"}}
//        (KssNode: blocks the caller holds already are "is_existed").
//   POST /full/{imageId}/storage  the commit: "data" = {"kss": {"file_meta",
//        "commit_metas": [{"commit_meta"}, ...]}}, "retry": every block must
//        have arrived (or be held already) and the whole must have the
//        declared SHA-1; nothing of a refused commit is kept. Data
//        {"content": the stored image}; a commit sent again gets the same.
//   GET  /full/{imageId}/storage  "retry": data {"kss": {"blocks": [{"urls",
//        "sha1", "size"}], "secure_key"}} of a live image.
//   POST /full/{imageId}/delete   "data" = {"content": the image (its "tag":
//        the version meant)}, "ckey" = the image id: data {"content"}.
//   POST /full/image/batchdelete  "content" = [{"id", "tag"}] (1 to 50):
//        data {"fail": [{"id", "tag" (the cloud's)}]} of those not deleted.
//   POST /full/album           "data" = {"content": {"fileName": the name,
//        "type": "group"}}, "ckey": data {"content": the album}.
//   POST /full/album/{albumId} rename: the same, "content" with "tag".
//   POST /full/album/{albumId}/delete  "ckey" = the album id, "tag".
// A change naming a stale tag, or reaching a deleted record, changes nothing
// and is answered with the record as the cloud holds it (code 0).
// Codes: 400 malformed (and renaming or deleting a system album), 404
// unknown album, image or upload (other users' records are unknown),
// 50023 the album is full, 50021 the user's gallery is full (albums or
// images), 50006 the user's cloud space is full (bytes), 500 storage, and the block storage's own refusals.
// Admin (JSON):
//   POST /_admin/gallery {"userId", "op": "delete", "id", "resync"} -> {"ok",
//        "image"}: a deletion as another device makes it; "resync" removes
//        the image without a trace, so that listings start again.
//   GET  /_admin/gallery?userId=N -> {"ok", "albums", "images"} by id,
//        tombstones included.
//
// Ownership: owned by the CloudServer; borrows the Store, the KssNode and
// the BlobStore. Threading: handlers run concurrently; the commits of one
// image are taken one at a time (locks striped by image id). Failures:
// coded replies; nothing throws.
#pragma once

#include <httplib.h>

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "server/storage/BlobStore.h"
#include "server/storage/GalleryLog.h"
#include "server/storage/GalleryStore.h"
#include "server/services/GalleryThumbnails.h"
#include "server/services/KssNode.h"
#include "server/services/SignedEndpoints.h"
#include "server/storage/Store.h"

namespace localcloud {

class GalleryService : public SignedService {
 public:
  static constexpr const char* kServiceId = "lumora";
  static constexpr const char* kBasePath = "/lum/gallery/v3/user/{userId}";
  static constexpr int kAlbumFull = 50023;
  static constexpr int kGalleryFull = 50021;
  static constexpr int kSpaceFull = 50006;
  static constexpr std::size_t kMaxContentBytes = 64 * 1024;
  static constexpr std::size_t kMaxNameBytes = 1024;
  static constexpr std::size_t kMaxKeyBytes = 1024;
  static constexpr std::size_t kMaxBatch = 50;

  GalleryService(Store& store, KssNode& kss, BlobStore& blobs, std::function<int()> port);
  void registerOn(SignedEndpoints& endpoints) override;
  // The thumbnail addresses (plain routes) and the admin calls.
  void registerPlainOn(httplib::Server& server);

  GalleryStore& records() { return gallery_; }
  // Deletes an image as another device would (the admin call), its blocks'
  // file dropped.
  GalleryStore::ImageChange deleteImage(std::int64_t userId, std::int64_t id, bool resync);

 private:
  using Handler = SignedReply (GalleryService::*)(const SignedRequest&);
  // The handlers of one image's or album's routes get its id from the path.
  using RecordHandler = SignedReply (GalleryService::*)(const SignedRequest&, std::int64_t id);
  SignedReply listAll(const SignedRequest& req);
  SignedReply listAlbums(const SignedRequest& req);
  SignedReply listAlbum(const SignedRequest& req, std::int64_t albumId);
  SignedReply thumbnails(const SignedRequest& req);
  SignedReply requestUpload(const SignedRequest& req);
  SignedReply commit(const SignedRequest& req, std::int64_t imageId);
  SignedReply blocks(const SignedRequest& req, std::int64_t imageId);
  SignedReply removeImage(const SignedRequest& req, std::int64_t imageId);
  SignedReply batchDelete(const SignedRequest& req);
  SignedReply createAlbum(const SignedRequest& req);
  SignedReply renameAlbum(const SignedRequest& req, std::int64_t albumId);
  SignedReply removeAlbum(const SignedRequest& req, std::int64_t albumId);
  // A listing of the scope as the request pages it.
  SignedReply list(const SignedRequest& req, const GalleryStore::Scope& scope);
  void dropFiles(std::int64_t userId, const std::vector<std::string>& fileIds);
  std::mutex& commitLock(std::int64_t imageId);

  KssNode& kss_;
  GalleryStore gallery_;
  GalleryLog log_;
  GalleryThumbnails thumbnails_;
  std::array<std::mutex, 16> commitLocks_;
};

}  // namespace localcloud
