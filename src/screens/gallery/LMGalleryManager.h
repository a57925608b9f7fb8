// The gallery cache: the cloud's albums and, per album, its photos and
// videos, with the sync tags the cloud hands out so that the next listing
// asks only for what changed. It lives in the gallery store stack's store
// (LMGalleryStoreStack); the album list's tokens are the user defaults
// "GalleryAlbumSync" and "GalleryAlbumSyncExtraInfo". The manager writes
// the cache and runs the cloud requests whose replies it stores, through
// the image sync adapter; the screens read the cache on the main context.
//
// Writes: every change runs in a new private child context of the main
// context, on one writer queue shared by all of them, so that changes are
// merged in the order they were asked for (an album's image list never
// before the album); the child is saved into the main context, which is
// then saved on the main queue, and only then comes the operation's tail:
// tokens are stored only when both saves succeeded; finish blocks run
// whatever the outcome, on the main queue.
//
// Ownership: sharedManager() lives for the process; it holds no state but
// its writer queue and the adapter it uses.
// Threading: lookups run on their context's queue; the listings block the
// calling thread for the network and must not run on the main thread
// (they wait for the main queue); writes return at once.
// Failure: a failed save rolls its context back; failed lookups are "not
// found"; the adapter's errors reach the finish blocks unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cloud/model/LMAlbum.h"
#include "cloud/model/LMImage.h"
#include "platform/Error.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/storage/ManagedObjectContext.h"
#include "screens/gallery/LMGalleryObjects.h"

namespace lumora {

class LMImageSyncAdapter;

class LMGalleryManager {
 public:
  using Context = std::shared_ptr<platform::objectstore::ManagedObjectContext>;
  using ErrorFinish = std::function<void(const std::optional<platform::Error>& error)>;

  static constexpr const char* kAlbumSyncKey = "GalleryAlbumSync";
  static constexpr const char* kAlbumSyncExtraInfoKey = "GalleryAlbumSyncExtraInfo";
  // Below this many free bytes a save first clears the image cache's disk.
  static constexpr std::int64_t kLowFreeSpaceBytes = 52428800;
  static constexpr std::size_t kThumbnailBatch = 10;

  static LMGalleryManager& sharedManager();
  LMGalleryManager();

  // Whether `user`, the account a cloud list was fetched for, is still the
  // one `gallery` signs for (nobody then, nobody now counts as the same).
  // Lists of an account that signed out meanwhile are dropped: the logout
  // has cleared (or is clearing) the cache.
  static bool isSignedInAs(const LMImageSyncAdapter& gallery, const std::optional<std::string>& user);

  // The adapter the requests go through (the shared one unless set).
  std::shared_ptr<LMImageSyncAdapter> adapter();
  void setAdapter(std::shared_ptr<LMImageSyncAdapter> adapter);

  // ---- Store ----
  Context managedObjectContext();
  bool saveContext(const Context& context);
  bool saveContext();
  // `finish` (optional) runs on the main queue once the store is empty,
  // after the tails of the writes asked for before.
  void deleteAllObjects(std::function<void()> finish = nullptr);

  // ---- Album list tokens ----
  // Reading it marks the start of a listing: the tokens of a listing begun
  // before the store was made anew are not kept by its save.
  std::optional<std::int64_t> albumSync();
  void setAlbumSync(std::optional<std::int64_t> sync);
  std::optional<std::string> albumSyncExtraInfo();
  void setAlbumSyncExtraInfo(std::optional<std::string> extraInfo);
  void removeAlbumSync();

  // ---- Albums ----
  std::shared_ptr<LMAlbumObject> getAlbumById(std::optional<std::int64_t> albumID, const Context& context);
  // nullopt when there is none.
  std::optional<std::vector<std::shared_ptr<LMAlbumObject>>> getAllAlbums(const Context& context);
  // Whether an album stored before its covers' orientations were kept
  // shows covers (its next listing starts from the beginning).
  bool hasCoversWithoutOrientations(const Context& context);
  void updateAlbumObjects(const std::vector<LMAlbum>& albums, bool resync, const Context& context);
  void saveAlbumObjectsWithArray(std::vector<LMAlbum> albums, std::optional<std::int64_t> serverSync,
                                 std::optional<std::string> syncExtraInfo, bool resync,
                                 std::function<void()> finish);
  // A listing whose reply arrives after its account signed out is dropped
  // unsaved (the finish hears no error).
  void requestAlbumObjectWithFinish(ErrorFinish finish);
  void saveAlbum(std::int64_t albumID, platform::Clock::TimePoint date);
  // `finish` gets the ids of the albums that could not be deleted.
  void deleteAlbumsByAlbumIDs(std::vector<std::int64_t> albumIDs,
                              std::function<void(const std::vector<std::int64_t>& failed)> finish);

  // ---- Images ----
  std::shared_ptr<LMImageObject> getImageById(std::optional<std::int64_t> imageID, const Context& context);
  std::shared_ptr<LMImageObject> getImageBySha1(const std::string& sha1, std::int64_t size,
                                                std::optional<std::int64_t> albumID, const Context& context);
  // The same from any thread, read through the store's read connection
  // (saved state only): the cloud record of the match.
  std::optional<LMImage> getImageBySha1(const std::string& sha1, std::int64_t size, std::int64_t albumID);
  std::optional<std::vector<std::shared_ptr<LMImageObject>>> getAllImagesWithAlbumID(
      std::optional<std::int64_t> albumID, const Context& context);
  void updateImageObjects(const std::vector<LMImage>& images, const std::shared_ptr<LMAlbumObject>& album,
                          bool resync, const Context& context);
  // `urls`: image id (text) -> {"isUrl": true, "data": address}.
  void setImageThumbnailURLs(const platform::Json& urls, bool isLargeSize);
  std::optional<std::vector<std::shared_ptr<LMImageObject>>> getAllImagesByAlbumID(
      std::optional<std::int64_t> albumID, const Context& context, const std::string& sortKey, bool ascending);
  void saveAlbumImageObjects(std::vector<LMImage> images, std::int64_t albumServerID,
                             std::optional<std::int64_t> serverSync, std::optional<std::string> syncExtraInfo,
                             bool resync, std::function<void()> finish);
  void requestImageObjectsWithAlbum(const std::shared_ptr<LMAlbumObject>& album, ErrorFinish finish);
  void requestAllImageObjectsWithAlbums(const std::vector<std::int64_t>& albumIDs);
  void requestAllImageWithAlbumID(std::optional<std::int64_t> albumID, double width, double height,
                                  bool isLargeSize);
  LMImage imageByImageObject(const LMImageObject& object);
  // The cloud record of a stored album.
  LMAlbum albumByAlbumObject(const LMAlbumObject& object);
  void deleteImageByImageID(std::int64_t imageID, ErrorFinish finish);

 private:
  // The write procedure: `change` in a child on the writer queue, the
  // saves, then `tail(saved)` on the main queue.
  void write(std::function<void(const Context& child)> change, std::function<void(bool saved)> tail);
  std::vector<std::shared_ptr<LMImageObject>> imagesOfAlbum(const std::shared_ptr<LMAlbumObject>& album,
                                                            const Context& context);

  // Which store the tokens name: the coordinator and how often it was made
  // anew. Tokens of a listing begun on a store since made anew are not kept.
  // The coordinator is held weakly, never by its address alone: one made
  // later (a stack replaced) may stand where a freed one stood.
  struct StoreMark {
    std::weak_ptr<platform::objectstore::PersistentStoreCoordinator> coordinator;
    std::uint64_t generation = 0;
    bool onSameCoordinator(const StoreMark& other) const {
      return !coordinator.owner_before(other.coordinator) && !other.coordinator.owner_before(coordinator);
    }
    bool operator==(const StoreMark& other) const {
      return onSameCoordinator(other) && generation == other.generation;
    }
  };
  static StoreMark storeMark();
  bool storeUnchangedSince(const StoreMark& mark);

  std::shared_ptr<platform::SerialQueue> writer_;
  std::mutex tokenMutex_;
  std::optional<StoreMark> tokensRead_;  // when albumSync() was last read
  std::mutex adapterMutex_;
  std::shared_ptr<LMImageSyncAdapter> adapter_;
};

}  // namespace lumora
