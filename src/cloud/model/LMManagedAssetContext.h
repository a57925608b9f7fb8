// The photo sync's local store and its door to the photo library. The store
// is "gallery.db" in Documents with the tables SyncAlbum (local album ->
// cloud album, with the album's image-list watermark) and SyncImage (local
// asset -> cloud image); a file recorded under "LMGalleryDBLastVersion" with
// a version below 2.0 is dropped and made again; one that is damaged (on
// opening, or when a statement meets the damage later) is moved aside
// ("gallery.db.unreadable-<time>") and made again, so the next backup
// offers every image again and the cloud skips the ones it holds. The library half reaches
// the photo library stand-in (platform/photos) on its interface of system
// version 8 and later, and below it on the older one (AssetsLibrary), whose
// forms wait for the library's answer without a time limit.
//
// Ownership: the image sync adapter owns one store; the store owns its
// database connection and queue.
// Threading: all SQL runs on the store's one serial database queue, one step
// at a time; every operation waits for its step, so any thread may call.
// Library operations run on the caller's thread (never the main thread for
// the ones that change the library); the authorisation completion runs on
// the main thread.
// Failures: row operations answer false / nullopt / an empty list (SQLite's
// message is logged); when the file could not be replaced or its tables not
// made, databaseError() says so and every row operation fails. Library
// operations return the platform's error or the SDK's -10014 / -10015.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cloud/model/LMAlbum.h"
#include "cloud/model/LMAlbumRelation.h"
#include "cloud/model/LMImage.h"
#include "cloud/model/LMImageRelation.h"
#include "cloud/model/LMManagedRecordContextDatabase.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/photos/AssetsLibrary.h"
#include "platform/photos/PhotoLibrary.h"

namespace lumora {

inline constexpr const char* kLMSyncAlbumTable = "SyncAlbum";
inline constexpr const char* kLMSyncImageTable = "SyncImage";
inline constexpr const char* kLMGalleryDatabaseFileName = "gallery.db";
inline constexpr const char* kLMGalleryDatabaseVersionKey = "LMGalleryDBLastVersion";
inline constexpr double kLMGalleryDatabaseVersion = 2.0;

class LMManagedAssetContext {
 public:
  // Opens the store (see above). On the main thread the tables are made on
  // the database queue after the constructor returns, ahead of any later
  // statement; elsewhere before it returns.
  LMManagedAssetContext();
  ~LMManagedAssetContext();
  LMManagedAssetContext(const LMManagedAssetContext&) = delete;
  LMManagedAssetContext& operator=(const LMManagedAssetContext&) = delete;

  // Documents/"gallery.db".
  std::string databaseFilePath() const { return databaseFilePath_; }
  // Opened on first use (read-write, created when missing); nullptr while
  // the file cannot be opened.
  LMManagedRecordContextDatabase* databaseQueue();
  // Creates both tables; false without a queue or when a statement fails.
  bool createDatabase();
  // -10003 ("Database Error") while the store has no usable tables.
  platform::Status databaseError();

  static LMAlbumRelation createAlbumRelationWithResult(const LMManagedRecordContextDatabase::Statement& result);
  static LMImageRelation createImageRelationWithResult(const LMManagedRecordContextDatabase::Statement& result);

  // ---- SyncAlbum ----
  // A failed read is the database error, never an empty table.
  platform::Result<std::vector<LMAlbumRelation>> searchAllAlbumRelations();
  // Look-ups: a failed read is the database error, never "no row"; no id
  // (or an empty one) finds nothing.
  // The first row with that local album id.
  platform::Result<std::optional<LMAlbumRelation>> searchAlbumRelationByAssetID(const std::optional<std::string>& assetID);
  // A list of at most the first row.
  platform::Result<std::vector<LMAlbumRelation>> searchAlbumRelationsByServerID(std::optional<std::int64_t> serverID);
  // Need assetID, serverID and serverSync (update also primaryID); a missing
  // imagesSync becomes 0 and a missing imagesExtra "", in `relation` itself.
  // A new row's id is not read back.
  bool addAlbumRelation(LMAlbumRelation& relation);
  bool updateAlbumRelation(LMAlbumRelation& relation);
  bool deleteAlbumRelation(const LMAlbumRelation& relation);
  bool deleteAllAlbumRelations();

  // ---- SyncImage ----
  platform::Result<std::vector<LMImageRelation>> searchAllImageRelations();
  // Every row of a local album.
  platform::Result<std::vector<LMImageRelation>> searchAllImageRelationsByAlbumID(
      const std::optional<std::string>& albumID);
  // A list of at most the first row.
  platform::Result<std::vector<LMImageRelation>> searchImageRelationByAssetID(const std::optional<std::string>& assetID);
  platform::Result<std::optional<LMImageRelation>> searchImageRelationByAssetID(
      const std::optional<std::string>& assetID, const std::optional<std::string>& assetsGroupID);
  // A missing asset or album id matches nothing.
  platform::Result<std::optional<LMImageRelation>> searchImageRelationByServerID(
      std::optional<std::int64_t> serverID, const std::optional<std::string>& assetID,
      const std::optional<std::string>& assetGroupID);
  platform::Result<std::vector<LMImageRelation>> searchImageRelationsByServerID(std::optional<std::int64_t> serverID);
  // Need every field but primaryID (update: all seven).
  bool addImageRelation(const LMImageRelation& relation);
  bool updateImageRelation(const LMImageRelation& relation);
  bool deleteImageRelation(const LMImageRelation& relation);
  bool deleteAllImageRelationsInAlbum(const std::optional<std::string>& albumID);
  bool deleteAllImageRelations();

  // ---- What a backup uploads (LMManagedAssetContext+Backup.cpp) ----

  // Relates the local albums to the cloud's live albums (status 1): a
  // stored relation whose cloud album is still live keeps its album, one
  // whose cloud album or local album is gone is deleted; an album left
  // open takes the live cloud album of its name (a new relation). Each
  // related local album gets its cloud id in `localAlbums`; the ones left
  // open become localAddAlbums(). Single-row failures are ignored: true;
  // false (nothing changed) when the relations cannot be read.
  bool updateAlbumsWithLocalAlbums(std::vector<LMAlbum>& localAlbums, const std::vector<LMAlbum>& lumoraAlbums);
  // Drops the image relations the cloud no longer backs: on a resync every
  // relation of these albums whose image is not among the "custom" ones
  // listed; otherwise every relation of each image listed as "deleted" or
  // "purged". Fails only when the relations cannot be read (row failures
  // are ignored).
  platform::Status updateImageRelationsWithServerImages(const std::vector<LMImage>& serverImages,
                                                        const std::vector<LMAlbumRelation>& albumRelations, bool resync);
  // The photos and videos of a local album that have no image relation yet,
  // in the album's order; -1 when the album is not in the library.
  platform::Result<std::vector<std::string>> searchAllUploadImagesFromAlbum(const LMAlbum& album);
  // The same handed to `finish` before the call returns.
  void searchAllUploadImagesFromAlbum(
      const LMAlbum& album,
      const std::function<void(const std::optional<std::vector<std::string>>& imageIDs,
                               const std::optional<platform::Error>& error)>& finish);
  // The photos and videos of the album without an image relation; the
  // store's error when the relations cannot be read.
  platform::Result<std::vector<std::string>> allBackupImageIDsInAlbum(const platform::photos::AssetCollection& album);
  // The assets of the sync albums still to back up (0 without access); the
  // store's error when the relations cannot be read.
  platform::Result<std::int64_t> calculateBackupImageNum();
  // Forgets every album and image relation (logout); false as soon as one
  // table cannot be emptied.
  bool clearBackupData();
  // The local albums the last updateAlbumsWithLocalAlbums left without a
  // cloud album; nullopt before it and after clearBackupData.
  std::optional<std::vector<LMAlbum>> localAddAlbums();
  void setLocalAddAlbums(std::optional<std::vector<LMAlbum>> albums);

  // ---- The photo library ----
  bool isPhotoLibraryAuthorized();
  // Authorised: completion(true, false) at once. Not determined: the user is
  // asked, then completion(granted, true) on the main thread. Otherwise
  // completion(false, false). An empty completion is not called.
  void requestPhotoLibraryAuthorized(std::function<void(bool authorized, bool asked)> completion);
  // Only with access, and only an observer with its hook: registers it with
  // the library and calls `finish`; otherwise does nothing.
  void addPhotoChangeNotificationObserver(const std::shared_ptr<platform::photos::ChangeObserver>& observer,
                                          const std::function<void()>& finish);
  void removePhotoChangeNotificationObserver(const std::shared_ptr<platform::photos::ChangeObserver>& observer);

  // Lookups answer only an id that names exactly one object.
  std::optional<platform::photos::Asset> assetImageWithAssetID(const std::optional<std::string>& assetID);
  std::optional<platform::photos::AssetCollection> assetsGroupWithAlbumId(const std::optional<std::string>& albumID);
  // The user albums, then the camera roll, synced events, synced albums and
  // imported albums.
  std::vector<platform::photos::AssetCollection> allSyncAssetsGroups();
  std::optional<platform::photos::AssetCollection> userLibraryAssetsGroup();
  // The folders of the library (either interface's) that its last look
  // could not read whole, each with its reason: photos in them may be
  // missing from the albums above.
  std::vector<platform::Error> unreadLibraryFolders();
  // A new user album, or why it cannot be made.
  platform::Result<platform::photos::AssetCollection> addAssetsGroupWithName(const std::string& name);
  platform::Status addAssetImage(const platform::photos::Asset& asset, const platform::photos::AssetCollection& group);
  // Saves a file as a new photo or video, and adds it to `group` unless
  // that is the camera roll. A path that is not an existing regular file is
  // refused with -1, and so is a saved asset the library cannot find.
  platform::Result<platform::photos::Asset> addAssetSource(const std::string& path, bool isVideo,
                                                           const platform::photos::AssetCollection& group);
  // Only from an album that allows removing content, else -10014.
  platform::Status deleteAsset(const platform::photos::Asset& asset, const platform::photos::AssetCollection& group);

  // ---- Below system version 8.0 (LMManagedAssetContext+AssetsLibrary.cpp) ----
  // Each waits for `library`'s answer; the library's failure is the error.
  // An id or URL that names nothing finds none, without an error.

  platform::Result<std::optional<platform::photos::LibraryAsset>> assetImageWithAssetID(
      const std::optional<std::string>& assetURL, platform::photos::AssetsLibrary& library);
  platform::Result<std::optional<platform::photos::AssetsGroup>> assetsGroupWithAlbumURL(
      const std::optional<std::string>& albumURL, platform::photos::AssetsLibrary& library);
  // The album and saved-photos groups, in the library's order.
  platform::Result<std::vector<platform::photos::AssetsGroup>> allSyncAssetsGroups(
      platform::photos::AssetsLibrary& library);
  platform::Result<std::vector<platform::photos::AssetsGroup>> assetsGroups(std::uint32_t types,
                                                                            platform::photos::AssetsLibrary& library);
  // None, without an error, for an empty name or a name the library
  // refuses.
  platform::Result<std::optional<platform::photos::AssetsGroup>> addAssetsGroupWithName(
      const std::string& name, platform::photos::AssetsLibrary& library);
  // -10015 unless the group is there, editable and takes the asset.
  platform::Status addALAsset(const std::optional<platform::photos::LibraryAsset>& asset,
                              const std::optional<platform::photos::AssetsGroup>& group,
                              platform::photos::AssetsLibrary& library);
  // Saves the file into the saved photos, then adds it to `group` unless
  // that is the saved-photos group. A group that is not editable is -10015
  // before anything is written; one that refuses the add after all is
  // -10015 with the new asset left in the camera roll.
  platform::Result<platform::photos::LibraryAsset> addAssetSource(const std::string& path, bool isVideo,
                                                                  const platform::photos::AssetsGroup& group,
                                                                  platform::photos::AssetsLibrary& library);
  // The URLs of the group's photos and videos to upload: those without an
  // image relation, and those whose relation's size is not the file's any
  // more (that relation is deleted, so the asset is backed up again).
  platform::Result<std::vector<std::string>> allBackupImageIDsInAlbum(const platform::photos::AssetsGroup& group,
                                                                      platform::photos::AssetsLibrary& library);

 private:
  platform::Result<std::int64_t> calculateBackupImageNumBelow8();
  platform::Result<std::vector<std::string>> searchAllUploadImagesBelow8(const LMAlbum& album);
  void finishCreation(bool created);
  // The database queue, or nullptr while the store is unusable.
  LMManagedRecordContextDatabase* usableDatabase();

  const std::string databaseFilePath_;
  std::mutex mutex_;
  std::unique_ptr<LMManagedRecordContextDatabase> database_;
  bool usable_ = true;
  std::optional<std::vector<LMAlbum>> localAddAlbums_;  // under mutex_
  // Below 8.0: the library whose changes the observers hear, made anew at
  // each registration, and the observers' notification tokens.
  std::shared_ptr<platform::photos::AssetsLibrary> assetsLibrary_;                         // under mutex_
  std::vector<std::pair<std::weak_ptr<platform::photos::ChangeObserver>, std::uint64_t>> changeTokens_;  // under mutex_
};

}  // namespace lumora
