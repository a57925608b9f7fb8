// The process-wide photo sync adapter. On top of the adapter base (task and
// data-request queues, the syncing / cancelled / suspended flags, signed
// requests, host list) it owns the gallery store, its report delegate, the
// gallery work queue "com.quenby.lumora.sdk.gallery.queue" and the semaphore
// on which a suspended backup waits. Here: the reserved album names, the
// stop rule for image errors, storing an album relation, removing a cached
// download file, and suspension, resumption and cancellation with the state
// check that every stage of a backup or download calls; the gallery
// service's requests (LMImageSyncAdapter+GalleryRequests.cpp), the block
// transfers of stored images (+BlockTransfer.cpp), the upload of one
// image (+ImageUpload.cpp), the backup run (+BackupRun.cpp) with its
// album stage (+AlbumBackup.cpp) and upload set (+UploadSet.cpp), and the
// download of cloud images and albums into the photo library
// (+Download.cpp).
//
// Ownership: sharedAdapter() lives for the process (tests may make their
// own); it owns its store (made on first use) and queues; the delegate is
// held weakly.
// Threading: suspendSync / resumeSync / cancelSync are called by the screens
// from any thread; they and checkSyncState's look at the flags hold one
// recursive state lock, so a resume or cancel cannot slip between a backup's
// decision to wait and its wait. checkSyncState blocks its caller (the
// backup thread) while the run is suspended. Requests, transfers and
// uploads block their caller (the backup's or a download's thread, never the
// main thread); block transfers run one at a time on the data-request
// queue, so suspending or cancelling the adapter reaches them.
// Failure: cancellation is the -10012 "Backup process is cancelled." error;
// the rest reports through its results or the SDK log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/kss/LMKssFileHelper.h"
#include "cloud/sync/LMAdapterMembers.h"
#include "cloud/sync/LMImageSyncAdapterDelegate.h"
#include "cloud/sync/LMSyncAdapter.h"
#include "cloud/model/LMAlbum.h"
#include "cloud/model/LMImage.h"
#include "cloud/model/LMManagedAssetContext.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/photos/Types.h"

namespace lumora {

class LMImageSyncAdapter : public LMSyncAdapter,
                           public LMAdapterMembers<LMManagedAssetContext, LMImageSyncAdapterDelegate> {
 public:
  static constexpr const char* kGalleryQueueLabel = "com.quenby.lumora.sdk.gallery.queue";

  // The one adapter of the process; the first call also builds the set of
  // reserved album names.
  static std::shared_ptr<LMImageSyncAdapter> sharedAdapter();

  LMImageSyncAdapter() = default;
  ~LMImageSyncAdapter() override;

  // context() (the gallery store, made on its first read), setContext(),
  // delegate(), setDelegate() and notifyDelegate(): LMAdapterMembers.
  // The gallery work queue, made on first use.
  platform::SerialQueue& dispatchQueue();

  // A non-empty name whose lower-case form is one of the reserved names
  // (the system's own album names, which the cloud keeps for itself).
  static bool isAlbumNameReserved(const std::optional<std::string>& name);

  // Whether an error met while backing up or downloading one image ends the
  // whole run: every POSIX error, cancellation (-10012), lost or missing
  // network, library access refused, and the server's and account's fatal
  // codes. The caller ends its run with that error.
  static bool shouldStopBackupImageWithError(const platform::Error& error);

  // Stores (adds or updates) the relation between a local album and its
  // cloud album: an album of the newer interface, or below system version
  // 8.0 a group of the older one. An album the running interface does not
  // name is an error (-1); the store's answer is not examined.
  platform::Status saveRelationServerAlbum(const LMAlbum& serverAlbum,
                                          const platform::photos::AssetCollection& localAlbum);
  platform::Status saveRelationServerAlbum(const LMAlbum& serverAlbum, platform::photos::AssetsGroup localAlbum,
                                          platform::photos::AssetsLibrary& library);

  // Clears that name in the downloads' own folder (LMUtils::
  // removeTransferFile: whatever lies there, a folder with what it holds,
  // a link as a link). A name that is not a plain file name is refused
  // (logged), so neither the folder itself nor anything outside it is ever
  // removed.
  void removeImageObjectWithFileName(const std::string& fileName);

  // Only while syncing: suspend (not when cancelled or suspended already)
  // stops new block transfers; resume (only when suspended and not
  // cancelled) wakes the waiting backup; cancel (not twice) wakes a
  // suspended backup, breaks off library requests and exports and cancels
  // the block transfers. Each answers whether it changed anything.
  bool suspendSync() override;
  bool resumeSync() override;
  bool cancelSync() override;

  // Called by the backup between steps: success when not syncing or not
  // stopped; the cancellation error when cancelled; while suspended, waits
  // until resumed (success) or cancelled (the error).
  platform::Status checkSyncState();

  // The cancellation error (-10012, "Backup process is cancelled.").
  static platform::Error cancellationError();
  // Whether a download's error says the photo is in its album on the phone
  // already (-10015, "Image already in album"): nothing was saved, and
  // nothing needed to be. The same code also reports a saved photo that
  // could not be put into its album.
  static bool isImageAlreadyInAlbumError(const platform::Error& error);

  // ---- The gallery service ----
  //
  // Every request is signed for "lumora" and goes to galleryURL() +
  // "/lum/gallery/v3/user/<user id>/..."; at most four sends under the retry
  // rule, redirects followed without using one; most sends are paced (each
  // takes at least the gallery's minimum time, on the clock). Each returns
  // its last operation, never null; its error() or result() tells the
  // outcome. Nothing is sent, and the operation carries the error, when
  // nobody is signed in (-10001) or the parameters cannot be built.

  // Service key of the preview (forTest) gallery host; the release host is
  // ServiceHosts::kCloud.
  static constexpr const char* kGalleryPreviewHostKey = "cloudPreview";
  // "http://<host>", the host list's entry replacing the configured host.
  std::string galleryURL() const;

  // GET .../full: images and albums since a sync tag (limit 200 by default,
  // at most 500).
  std::shared_ptr<LMHTTPRequestOperation> requestImageAndAlbumListWithSyncTag(
      std::optional<std::int64_t> syncTag, const std::optional<std::string>& syncExtraInfo,
      std::optional<std::int64_t> limit, const std::vector<std::int64_t>& filterTags, bool hiddenData);
  // GET .../full/album/<id>: one album's images since a sync tag.
  std::shared_ptr<LMHTTPRequestOperation> requestImageListInAlbumWithSyncTag(
      std::optional<std::int64_t> syncTag, const std::optional<std::string>& syncExtraInfo, std::int64_t albumId,
      std::optional<std::int64_t> limit, const std::vector<std::int64_t>& filterTags);
  // GET .../thumbnails for at most 10 ids (more: -10002, nothing sent).
  std::shared_ptr<LMHTTPRequestOperation> requestImageThumbnailUrls(const std::vector<std::int64_t>& imageIDs,
                                                                    double width, double height);
  // The same request ("retry" "0") signed but not sent: the thumbnail loader
  // sends it. The -10002 error for more than 10 ids, the not-signed-in error
  // (-10001) without a user or session, never a request to a path without
  // the user.
  struct ThumbnailSize {
    double width = 0;
    double height = 0;
  };
  platform::Result<platform::http::Request> requestImageThumbnailUrls(const std::vector<std::int64_t>& imageIDs,
                                                                      ThumbnailSize size);
  // POST .../full: asks to store the image, sending its cloud JSON and its
  // block list (an image without blocks is refused: -1 "Image is nil").
  std::shared_ptr<LMHTTPRequestOperation> requestImageUploadUrlsWithImage(const LMImage& image);
  // POST .../full/<id>/storage: commits the uploaded blocks (not paced).
  std::shared_ptr<LMHTTPRequestOperation> requestImageConfirmWithImageID(std::int64_t imageID,
                                                                         const platform::Json& fileMeta,
                                                                         const platform::Json& commitMetas);
  // GET .../full/<id>/storage: the stored image's blocks (not paced).
  std::shared_ptr<LMHTTPRequestOperation> requestImageDownloadBlocksWithImageID(std::int64_t imageID);
  // POST .../full/<serverID>/delete (an image without serverID: -10002).
  std::shared_ptr<LMHTTPRequestOperation> requestDeleteImage(const LMImage& image);
  // POST .../full/image/batchdelete with {"id", "tag"} per image.
  std::shared_ptr<LMHTTPRequestOperation> requestBatchDeleteImages(const std::vector<LMImage>& images);
  // GET .../full/album: albums since a sync tag.
  std::shared_ptr<LMHTTPRequestOperation> requestAlbumListWithSyncTag(std::optional<std::int64_t> syncTag,
                                                                      const std::optional<std::string>& syncExtraInfo,
                                                                      std::optional<std::int64_t> limit);
  // POST .../full/album: a new album from its cloud JSON.
  std::shared_ptr<LMHTTPRequestOperation> requestCreateAlbum(const LMAlbum& album);
  // POST .../full/album/<serverID> (an album without serverID: -10002).
  std::shared_ptr<LMHTTPRequestOperation> requestRenameAlbum(const LMAlbum& album);
  // POST .../full/album/<id>/delete.
  std::shared_ptr<LMHTTPRequestOperation> requestDeleteAlbum(std::int64_t albumID, std::int64_t sync);

  using FailBlock = std::function<void(const platform::Error& error)>;
  // (final sync tag, final extra information, the records, whether the
  // listing started over from nothing)
  using ImageListSuccess = std::function<void(std::int64_t syncTag, const std::string& syncExtraInfo,
                                              const std::vector<LMImage>& images, bool resync)>;
  using AlbumListSuccess = std::function<void(std::int64_t syncTag, const std::string& syncExtraInfo,
                                              const std::vector<LMAlbum>& albums, bool resync)>;

  // Every page of a listing, from `sync` with `syncExtraInfo` (without
  // extra information: from nothing, a resync). The cloud's 52000 starts
  // the listing over from the tag it names (a resync; what was read is
  // dropped), and its refusal of the watermark starts it from nothing; a
  // page whose tag the cloud could not be sent back is malformed. Records
  // are kept by server id (a later one replaces an earlier one; images
  // flagged "isUbiImage" are left out). A listing past
  // the bounds of LMListingBounds (pages, restarts, what its records hold)
  // fails. Exactly one of the blocks runs, on this thread, before the call
  // returns.
  void requestImageListInAlbumWithSync(std::optional<std::int64_t> sync,
                                       const std::optional<std::string>& syncExtraInfo, std::int64_t albumId,
                                       const ImageListSuccess& success, const FailBlock& fail);
  void requestAlbumListWithSync(std::optional<std::int64_t> sync, const std::optional<std::string>& syncExtraInfo,
                                const AlbumListSuccess& success, const FailBlock& fail);
  // Thumbnail addresses of any number of images, asked 10 at a time;
  // `success` gets one object from image id (as text) to address.
  void requestImageThumbnailUrls(const std::vector<std::int64_t>& imageIDs, double width, double height,
                                 const std::function<void(const platform::Json& urls)>& success,
                                 const FailBlock& fail);
  // Deletes in runs of 10, then tries the cloud's refusals again, in at
  // most three passes. `finish` gets the images still not deleted and no
  // error, or (a run failed) the ones refused so far in that pass and the
  // error.
  void requestBatchDeleteImages(
      const std::vector<LMImage>& images,
      const std::function<void(const std::vector<LMImage>& failed, const std::optional<platform::Error>& error)>&
          finish);

  // ---- Block transfers ----

  // Uploads one block, already encrypted, to a storage node (see
  // LMKssFileHelper::uploadKSSBlockUrl) as a transfer of the data-request
  // queue: up to three tries, none after a cancel. `finish` gets the
  // block's commit meta or the error before the call returns.
  void requestUploadKSSBlockUrl(const std::string& blockUrl, const platform::Bytes& blockData,
                                const platform::Json& fileMeta, const platform::Json& blockMeta,
                                std::uint64_t chunkPos, std::optional<std::int64_t> bodySum,
                                LMKssFileHelper::SendDataBlock didSendDataBlock,
                                const LMKssFileHelper::UploadFinish& finish);
  // (bytes now, bytes of the image so far, the image's size)
  using DownloadDataBlock = std::function<void(std::int64_t, std::int64_t, std::int64_t)>;
  // Downloads the stored image `image.serverID`: its block list from the
  // gallery, then each block from the storage (data-request queue), up to
  // three tries, decrypted and checked against its SHA-1. With a file name
  // the blocks go to that file in the caches directory, else into memory.
  // `finish` gets the path or the bytes, or the error; a cancel of the
  // adapter ends it with -10012 "Downloading image is cancelled.".
  void downloadDataFromImageObject(const LMImage& image, const DownloadDataBlock& downloadDataBlock,
                                   const LMKssFileHelper::DownloadFinish& finish);

  // ---- The backup run ----

  // One local album's assets to upload into its cloud album.
  struct UploadEntry {
    std::vector<std::string> imageIDs;  // local asset identifiers, never empty
    std::string assetGroupID;           // the local album
    std::int64_t serverGroupID = 0;     // its cloud album
  };
  // One element per cloud album (in the order walked), holding the entries
  // of its local albums (possibly none).
  using UploadSet = std::vector<std::vector<UploadEntry>>;
  using AlbumsCompletion =
      std::function<void(const std::optional<std::vector<LMAlbum>>& albums, const std::optional<platform::Error>& error)>;
  using UploadSetFinish = std::function<void(const std::optional<UploadSet>& uploadSet, std::int64_t totalCount,
                                             const std::optional<platform::Error>& error)>;
  // An upload set and the number of assets in it.
  struct UploadLoad {
    UploadSet uploadSet;
    std::int64_t totalCount = 0;
  };

  // One complete backup, on the calling thread (the task queue, never the
  // main thread): the albums, then each album's upload set, then the images
  // one by one. Every stage is reported to the delegate; the run ends with
  // exactly one of didAdapterFinishBackupImages and didAdapterFailBackupImages.
  // In a background job an asset changed within the last minute is left out.
  // An asset gone from the library (before its turn, or its file found gone
  // when it is read) is left out too: reported without an image, never as
  // failed.
  void backupAllImages();
  // The album stage: the local albums that take part, named for the cloud
  // (the camera roll "Photos from <model>", a reserved name with
  // "_<model>"), related to the cloud's albums; the camera roll and a
  // screenshot album go to the cloud's albums 1 and 2, any other album
  // without a cloud album gets a new one (one per name). The local albums,
  // each with its cloud id, or the error (-10013 without photo access,
  // -10003 when the store cannot relate them, a request's error, 101 for a
  // creation reply without the album). Relations are stored only when the
  // whole stage succeeds.
  platform::Result<std::vector<LMAlbum>> backupAlbums();
  // The same handed to `completion` before the call returns.
  void backupAlbums(const AlbumsCompletion& completion);
  // The upload set: per cloud album, its image list since the stored
  // watermark (stored at once for each of its local albums), the image
  // relations the cloud no longer backs dropped, and each local album's
  // assets without relation: the set and the number of assets, or the
  // first error.
  platform::Result<UploadLoad> loadUploadImagesWithAlbums(const std::vector<LMAlbum>& albums);
  // The same handed to `finish` (a count of 0 with an error) before the
  // call returns.
  void loadUploadImagesWithAlbums(const std::vector<LMAlbum>& albums, const UploadSetFinish& finish);
  // The names the camera roll and a screenshot album get on this device
  // (the texts of "KO Camera" and "KO Screenshots").
  static std::string cameraAlbumName();
  static std::string screenshotsAlbumName();

  // ---- Image upload ----

  // Backs up one exported image (assetID, assetGroupID, serverGroupID,
  // size, sha1, filePath or libraryFilePath and blockInfos set): the
  // delegate's cloud image of the same album when it names one, else
  // uploadImage; then the image's relation row is written (a store that
  // refuses it is -10003). The exported file is removed whatever happens
  // (the library's file never).
  platform::Status backupImage(LMImage& image);
  // Asks the gallery to store the image; unless the cloud holds the file
  // already, sends each block it lacks, RC4-encrypted under the key the
  // gallery hands out, to the first storage node it names, then commits.
  // A reply whose block list does not match the file's blocks, or whose
  // key is missing or not hexadecimal, fails before any block is sent. The
  // exported file is removed on every way out. Exactly one block runs, on
  // this thread, before the call returns: `success` with the stored image.
  void uploadImage(const LMImage& image, const std::function<void(const LMImage& serverImage)>& success,
                   const FailBlock& fail);

  // ---- Download into the library ----
  //
  // Each runs on its caller's thread (a task of the task queue), stops at
  // the state checks when the adapter is cancelled (-10012) and waits there
  // while it is suspended. What lands in the library is recorded in image
  // relation rows (the target album's and the camera roll's), so that a
  // later backup passes it over. The system version picks the library's
  // interface for each operation: album and asset ids are those of that
  // interface (below 8.0 group persistent ids and asset URLs), and there a
  // failed library look-up ends the step it is in with its error.

  // The local albums that receive a cloud album's images, in order:
  // those its album relations name (stale relations are dropped); else the
  // camera roll for "Photos from <model>", or every unbound album titled
  // like it (a "_<model>" suffix cut); else a new album of its name. The
  // albums found or made are related to the cloud album. `finish` gets
  // the ids or the error, once, before the call returns.
  using AlbumSetFinish = std::function<void(const std::optional<std::vector<std::string>>& albums,
                                            const std::optional<platform::Error>& error)>;
  void albumSetToSaveAlbum(const LMAlbum& album, const AlbumSetFinish& finish);
  // Puts one cloud image into the first of `albums` that takes it: already
  // in one of them, -10015 "Image already in album"; in the library but
  // not in them, added (no download); else downloaded and saved as a new
  // photo or video. Nothing taken by any album is a failure (the last
  // library error, or -1 when no album resolved).
  platform::Status downloadImageObject(const LMImage& image, const std::vector<std::string>& albums,
                                       const DownloadDataBlock& downloadDataBlock);
  // One image into the local albums of its cloud album, marked syncing.
  void downloadImageObject(const LMImage& image, const LMAlbum& album, const DownloadDataBlock& downloadDataBlock,
                           const std::function<void(const std::optional<platform::Error>& error)>& finish);
  // Whole cloud albums with their images (by album server id), marked
  // syncing. Progress runs over the batch: (bytes now, bytes of finished
  // images plus the current one's so far, `size`). An image that fails
  // goes to `failed` (not one already in its album) and the batch goes
  // on, unless the stop rule ends it; `finish` gets the failed images and
  // the error that ended the batch.
  using DownloadAlbumsFinish =
      std::function<void(const std::vector<LMImage>& failed, const std::optional<platform::Error>& error)>;
  void downloadAlbums(const std::vector<LMAlbum>& albums, const std::map<std::int64_t, std::vector<LMImage>>& albumImages,
                      std::int64_t size, const DownloadDataBlock& downloadDataBlock,
                      const DownloadAlbumsFinish& finish);

 protected:
  // The operation of one gallery request (tests replace it).
  virtual std::shared_ptr<LMHTTPRequestOperation> galleryOperation(const std::string& method,
                                                                   const std::string& URLString,
                                                                   const platform::Json& parameters);

 private:
  struct GalleryCall;
  // The common procedure of every gallery request.
  std::shared_ptr<LMHTTPRequestOperation> sendGalleryRequest(const GalleryCall& call);
  // Runs the storage helper's transfers on the data-request queue (a
  // transfer queued once the adapter is cancelled is cancelled at once).
  LMKssFileHelper::Transfer dataRequestTransfer();
  platform::Result<LMImage> uploadImageBlocks(const LMImage& image);
  platform::Result<LMKssFileHelper::FileResult> downloadImage(const LMImage& image,
                                                              const DownloadDataBlock& progress);
  // Adds or updates the image relation row of (serverID, assetID,
  // assetGroupID) with `values`; a store that refuses it is -10003.
  platform::Status saveImageRelation(const LMImageRelation& values);
  // The photo library on the interface of the running system version.
  struct DownloadLibrary;
  // Stores the relation of a local album (filled from the running
  // interface's album) to its cloud album.
  platform::Status saveAlbumRelation(const LMAlbum& serverAlbum, const std::optional<LMAlbum>& localAlbum);
  platform::Result<std::vector<std::string>> localAlbumsOfServerAlbum(const LMAlbum& album, DownloadLibrary& library);
  platform::Status putImageIntoAlbums(const LMImage& image, const std::vector<std::string>& albums,
                                      const DownloadDataBlock& progress, DownloadLibrary& library);
  // The download's save into the library; the local copy's asset id,
  // SHA-1 and size, and the album that took it.
  struct LocalCopy;
  platform::Result<LocalCopy> saveDownloadedImage(const LMImage& image, const std::vector<std::string>& albums,
                                                  const DownloadDataBlock& progress, DownloadLibrary& library);
  platform::Result<std::string> addToFirstAlbum(const std::string& assetID, const std::vector<std::string>& albums,
                                                DownloadLibrary& library);

  std::unique_ptr<platform::SerialQueue> dispatchQueue_;  // under memberMutex_

  // The block buffer of the last upload, for the next one to reuse once
  // its transfers have let it go.
  std::mutex blockBufferMutex_;
  std::shared_ptr<platform::Bytes> blockBuffer_;

  // Guards the run-state changes of this adapter (the base's flag setters
  // take the base's own lock inside).
  std::recursive_mutex stateLock_;
  std::shared_ptr<platform::Semaphore> suspendSemaphore_;
};

}  // namespace lumora
