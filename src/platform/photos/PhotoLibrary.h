// The device's photo library (the Photos interface of system version 8 and
// later): a folder of image and video files, AppHome::root()/"Media", with a
// small SQLite catalogue (Media/PhotoData/Photos.sqlite) that gives every
// asset and album a stable local identifier.
//
// Albums: the camera roll (a smart album holding every asset), Screenshots
// (a smart album of the images whose file name starts with "Screenshot",
// any case), the user albums made through a change block, and the synced
// events a sync from a computer brings (importSyncedEvent), which the device
// cannot edit. Assets are the
// files with a photo or video extension anywhere under the folder (hidden
// files and PhotoData left out), folders linked into it included (each real
// folder once, under the same name at every look); their dates, pixel size,
// duration and location are read from the file (EXIF, movie header), else
// the file's time. A file is an asset by its extension, whether or not it
// reads as what the extension says: a damaged or unreadable one fails when
// its bytes are asked for (ImageManager), and never drops out of the
// library. An asset goes only when its file is no longer at its path
// (AssetFile.h). A folder that cannot be read whole (its listing refused or
// failed, or what it holds not to be looked at) keeps every asset known in
// it, under the same identifiers and in the same albums, whatever their
// files answer; the library tells it (unreadFolders), as the photos it may
// hold besides cannot be seen. A link in the folder that leads nowhere to
// be seen (to itself, a loop of links, a target the app may not look at)
// is such a folder only where the catalogue knows photos under its name;
// else it is no folder, as a link whose target is gone, and nothing is
// told of it.
//
// Changes: the folder is looked at again each time the library is asked for
// assets or albums, and on rescan(); a change block (performChangesAndWait)
// creates albums, adds assets from image or video files (copied into the
// folder), adds them to and removes them from user albums, and deletes them.
// Either way the registered observers hear of what changed, on the library's
// notification queue, after the change is in the catalogue. Files put into
// or taken out of the folder by anyone else are noticed as the phone's
// library notices a sync: once an observer is registered, the library
// watches its folder (FolderWatch) and looks again after each change there,
// and each time the app becomes active.
//
// Access: the authorisation status is kept in the catalogue and starts
// NotDetermined; requestAuthorization asks the "user", whose answer is set
// beforehand with setAuthorizationAnswer (grant by default). Without
// Authorized every fetch is empty and every change block fails with
// kPhotosErrorAccessDenied.
//
// Ownership: sharedPhotoLibrary() is one library per app home (a new one
// when the root changes); observers are held weakly.
// Threading: every member may be called from any thread; calls are
// serialised by one lock. Handlers and observers run on the library's queue,
// never under its lock. A look at the folder that the process's exit meets
// stops once the files can no longer be read (see MediaProperties.h) and
// changes nothing.
// Failure: errors are Errors in kPhotosErrorDomain; a fetch never fails (an
// unusable catalogue fetches nothing).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/storage/FolderWatch.h"
#include "platform/photos/Types.h"

namespace platform::photos {

class Catalogue;
struct CatalogueAsset;

// What one change or rescan did, by local identifier.
struct Change {
  std::vector<std::string> insertedAssets;
  std::vector<std::string> removedAssets;
  std::vector<std::string> changedAssets;
  std::vector<std::string> changedCollections;  // created, or members added or removed
  bool empty() const {
    return insertedAssets.empty() && removedAssets.empty() && changedAssets.empty() &&
           changedCollections.empty();
  }
};

// Registered with registerChangeObserver. Its one method is optional: an
// observer without the hook is not registered.
class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  std::function<void(const Change& change)> photoLibraryDidChange;
};

// What a change block asks for; applied in order, all or nothing, when the
// block returns. Each creation answers the local identifier its object will
// have (its placeholder), which later requests of the same block may use.
class ChangeRequests {
 public:
  std::string creationRequestForAssetCollectionWithTitle(const std::string& title);
  std::string creationRequestForAssetFromImageAtFileURL(const std::filesystem::path& file);
  std::string creationRequestForAssetFromVideoAtFileURL(const std::filesystem::path& file);
  void addAssets(const std::string& collection, const std::vector<std::string>& assets);
  void removeAssets(const std::string& collection, const std::vector<std::string>& assets);
  void deleteAssets(const std::vector<std::string>& assets);

 private:
  friend class PhotoLibrary;
  enum class Kind { CreateAlbum, CreateImage, CreateVideo, AddToAlbum, RemoveFromAlbum, Delete, CreateSyncedEvent };
  struct Request {
    Kind kind;
    std::string identifier;  // the new object, or the album
    std::string text;        // title
    std::filesystem::path file;
    std::vector<std::string> assets;
  };
  std::vector<Request> requests_;
};

class PhotoLibrary : public std::enable_shared_from_this<PhotoLibrary> {
 public:
  static std::shared_ptr<PhotoLibrary> sharedPhotoLibrary();
  // The library folder of the current app home.
  static std::filesystem::path folder();

  // ---- Access (the shared library's) ----
  static AuthorizationStatus authorizationStatus();
  // NotDetermined: the user's answer becomes the status. The handler gets
  // the status, on the library's queue.
  static void requestAuthorization(std::function<void(AuthorizationStatus)> handler);
  // The device's setting (tests, set-up).
  static Status setAuthorizationStatus(AuthorizationStatus status);
  static void setAuthorizationAnswer(bool grant);

  ~PhotoLibrary();
  PhotoLibrary(const PhotoLibrary&) = delete;
  PhotoLibrary& operator=(const PhotoLibrary&) = delete;

  // ---- Observers ----
  void registerChangeObserver(const std::shared_ptr<ChangeObserver>& observer);
  void unregisterChangeObserver(const std::shared_ptr<ChangeObserver>& observer);

  // ---- Changes ----
  // Runs `changes` on the calling thread, then applies what it asked for.
  // Fails (nothing applied) with kPhotosErrorInvalidResource for a file that
  // is missing or not of its kind, kPhotosErrorNotFound for an unknown
  // identifier, kPhotosErrorNotEditable for a smart album,
  // kPhotosErrorFileSystem when the folder or catalogue fails.
  Status performChangesAndWait(const std::function<void(ChangeRequests&)>& changes);
  // What a sync from a computer brings (set-up): an album of subtype
  // AlbumSyncedEvent titled `title`, holding copies of the photo and video
  // `files` in their order. Its local identifier, or the error of the change
  // (nothing applied).
  Result<std::string> importSyncedEvent(const std::string& title, const std::vector<std::filesystem::path>& files);
  // Brings the catalogue in line with the folder (new, changed and removed
  // files) and tells the observers.
  void rescan();

  // ---- Fetches (each looks at the folder first) ----
  // Assets in the order added to the library. A fetch by identifier looks
  // at those assets' files only, and at the whole folder when one of them
  // changed or is gone.
  std::vector<Asset> fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& identifiers);
  std::vector<Asset> fetchAssetsWithMediaType(MediaType mediaType);
  std::vector<Asset> fetchAssetsInAssetCollection(const AssetCollection& collection);
  std::vector<AssetCollection> fetchAssetCollectionsWithLocalIdentifiers(
      const std::vector<std::string>& identifiers);
  // The albums the user made (the library keeps no folders of albums;
  // synced events are not the user's).
  std::vector<AssetCollection> fetchTopLevelUserCollections();
  // Albums of a type, and of a subtype when one is given.
  std::vector<AssetCollection> fetchAssetCollectionsWithType(
      CollectionType type, std::optional<CollectionSubtype> subtype = std::nullopt);

  // The folders of the library that the last look at it could not read
  // whole, each as its libraryFolderReadError (AssetFile.h), in the order
  // met; empty without access.
  std::vector<Error> unreadFolders();

  // Whether a file is a photo or video by its extension (Unknown if neither).
  static MediaType mediaTypeOfFile(const std::filesystem::path& file);

 private:
  explicit PhotoLibrary(std::filesystem::path folder);
  AuthorizationStatus status();
  bool authorized();
  void notify(Change change);
  // Under the lock: scans the folder; returns what changed.
  Change scanLocked();
  std::vector<Asset> assetsLocked();
  std::vector<AssetCollection> albumsLocked();
  // Applies every request of `requests`, all or nothing.
  Status apply(const ChangeRequests& requests);
  Result<Change> applyLocked(const ChangeRequests::Request& request,
                             std::vector<std::filesystem::path>& copied,
                             std::vector<std::filesystem::path>& toRemove);
  // Looks at the folder, then runs `body` under the lock (empty result
  // without access), then tells the observers what the look found.
  template <class Body>
  auto fetch(const Body& body) -> decltype(body());
  Result<std::string> copyIntoFolderLocked(const std::filesystem::path& file);
  // Starts the folder watch and the look on activation (once; with the
  // lock held).
  void watchFolderLocked();
  // A rescan on the library's queue, unless one is queued already.
  void requestRescan();

  const std::filesystem::path folder_;
  std::mutex mutex_;
  std::unique_ptr<Catalogue> catalogue_;
  std::vector<std::pair<std::filesystem::path, int>> unreadFolders_;  // of the last whole look
  std::vector<std::weak_ptr<ChangeObserver>> observers_;
  bool grantAnswer_ = true;
  std::atomic<bool> rescanQueued_{false};
  std::uint64_t activeObserver_ = 0;
  SerialQueue queue_{"platform.photos.library"};
  // Last: it ends (and its thread with it) before the queue it posts to.
  std::unique_ptr<FolderWatch> watch_;
};

}  // namespace platform::photos
