#include "platform/photos/PhotoLibrary.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/app/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/AppHome.h"
#include "platform/Bytes.h"
#include "platform/media/Image.h"
#include "platform/media/MediaProperties.h"
#include "platform/Random.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/Catalogue.h"
#include "platform/photos/LibraryWalk.h"

namespace platform::photos {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCatalogueFile = "Photos.sqlite";
constexpr const char* kAuthorizationSetting = "authorization";
constexpr const char* kCameraRollTitle = "Camera Roll";
constexpr const char* kScreenshotsTitle = "Screenshots";

Error photosError(std::int64_t code, const std::string& message) {
  return Error(kPhotosErrorDomain, code, Json{{Error::kLocalizedDescriptionKey, message}});
}

std::string newAssetIdentifier() { return randomUUIDString() + "/L0/001"; }
std::string newAlbumIdentifier() { return randomUUIDString() + "/L0/040"; }

// The file's modification time in nanoseconds since 1970.
std::int64_t fileTimeOf(const fs::path& file, std::error_code& ec) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    ec = std::error_code(errno, std::generic_category());
    return 0;
  }
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

Clock::TimePoint timeFromNanos(std::int64_t value) {
  return Clock::TimePoint(std::chrono::duration_cast<Clock::Duration>(std::chrono::nanoseconds(value)));
}

// Whether `path` is `folder` or lies below it, by their names.
bool isWithin(const fs::path& path, const fs::path& folder) {
  const fs::path relative = path.lexically_relative(folder);
  return !relative.empty() && *relative.begin() != "..";
}

// Reads what the library keeps about a file. A file is the photo or video
// its name says whether or not it reads as one (one that does not is
// damaged: it has no size in pixels, no date taken, and fails when read);
// `mustRead` asks for one that does. Nullopt when the file cannot be
// stat'ed, or (with `mustRead`, or while the process exits) is not read.
std::optional<CatalogueAsset> readAsset(const fs::path& folder, const fs::path& file, MediaType type,
                                        bool mustRead = false) {
  if (injectedFileFault(file, FileAccess::Look) != 0) return std::nullopt;
  std::error_code ec;
  CatalogueAsset row;
  row.relativePath = file.lexically_relative(folder).string();
  row.fileSize = static_cast<std::int64_t>(fs::file_size(file, ec));
  if (ec) return std::nullopt;
  row.fileTime = fileTimeOf(file, ec);
  if (ec) return std::nullopt;
  Asset& asset = row.asset;
  asset.mediaType = type;
  asset.file = file;
  asset.modificationDate = timeFromNanos(row.fileTime);
  asset.creationDate = asset.modificationDate;
  auto unread = [&](const Error& error) -> std::optional<CatalogueAsset> {
    if (mustRead || error.code() == kMediaErrorExiting) return std::nullopt;
    return row;
  };
  if (type == MediaType::Image) {
    auto properties = imagePropertiesOfFile(file);
    if (!properties) return unread(properties.error());
    asset.pixelWidth = (*properties)[kImagePropertyPixelWidth].get<std::int64_t>();
    asset.pixelHeight = (*properties)[kImagePropertyPixelHeight].get<std::int64_t>();
    const auto orientation = properties->value(kImagePropertyOrientation, 1);
    if (orientation >= 5 && orientation <= 8) std::swap(asset.pixelWidth, asset.pixelHeight);
    if (auto taken = dateTakenFromImageProperties(*properties)) asset.creationDate = *taken;
    asset.location = locationFromImageProperties(*properties);
    asset.isScreenshot = lowerCased(file.filename().string()).rfind("screenshot", 0) == 0;
  } else {
    auto properties = videoPropertiesOfFile(file);
    if (!properties) return unread(properties.error());
    asset.pixelWidth = properties->pixelWidth;
    asset.pixelHeight = properties->pixelHeight;
    asset.duration = properties->duration;
    if (properties->creationDate) asset.creationDate = *properties->creationDate;
  }
  return row;
}

}  // namespace

// ---- Change requests ----

std::string ChangeRequests::creationRequestForAssetCollectionWithTitle(const std::string& title) {
  requests_.push_back({Kind::CreateAlbum, newAlbumIdentifier(), title, {}, {}});
  return requests_.back().identifier;
}

std::string ChangeRequests::creationRequestForAssetFromImageAtFileURL(const fs::path& file) {
  requests_.push_back({Kind::CreateImage, newAssetIdentifier(), {}, file, {}});
  return requests_.back().identifier;
}

std::string ChangeRequests::creationRequestForAssetFromVideoAtFileURL(const fs::path& file) {
  requests_.push_back({Kind::CreateVideo, newAssetIdentifier(), {}, file, {}});
  return requests_.back().identifier;
}

void ChangeRequests::addAssets(const std::string& collection, const std::vector<std::string>& assets) {
  requests_.push_back({Kind::AddToAlbum, collection, {}, {}, assets});
}

void ChangeRequests::removeAssets(const std::string& collection, const std::vector<std::string>& assets) {
  requests_.push_back({Kind::RemoveFromAlbum, collection, {}, {}, assets});
}

void ChangeRequests::deleteAssets(const std::vector<std::string>& assets) {
  requests_.push_back({Kind::Delete, {}, {}, {}, assets});
}

// ---- The library ----

fs::path PhotoLibrary::folder() { return AppHome::media(); }

MediaType PhotoLibrary::mediaTypeOfFile(const fs::path& file) {
  // Never destroyed: a rescan on the watch's worker may still ask while the
  // process exits.
  static const auto* images = new std::set<std::string>{".jpg", ".jpeg", ".png", ".gif", ".heic", ".heif",
                                                        ".tif", ".tiff", ".bmp", ".webp"};
  static const auto* videos = new std::set<std::string>{".mov", ".qt", ".mp4", ".m4v", ".3gp", ".3gpp", ".3g2"};
  const std::string extension = lowerCased(file.extension().string());
  if (images->contains(extension)) return MediaType::Image;
  if (videos->contains(extension)) return MediaType::Video;
  return MediaType::Unknown;
}

std::shared_ptr<PhotoLibrary> PhotoLibrary::sharedPhotoLibrary() {
  static std::mutex mutex;
  static auto& shared = *new std::shared_ptr<PhotoLibrary>();
  std::lock_guard<std::mutex> guard(mutex);
  const fs::path current = folder();
  if (!shared || shared->folder_ != current) shared.reset(new PhotoLibrary(current));
  return shared;
}

PhotoLibrary::PhotoLibrary(fs::path folder) : folder_(std::move(folder)) {
  std::error_code ec;
  fs::create_directories(folder_ / kCatalogueFolder, ec);
  // The catalogue's folder is the library's own; the rest of the folder is
  // the user's, as it lies.
  AppHome::makePrivate(folder_ / kCatalogueFolder);
  auto opened = Catalogue::open(folder_ / kCatalogueFolder / kCatalogueFile);
  if (!opened) return;
  catalogue_ = std::move(opened.value());
  // The smart albums exist from the start, each with an identifier of its own.
  bool hasCameraRoll = false;
  bool hasScreenshots = false;
  for (const auto& album : catalogue_->albums()) {
    hasCameraRoll |= album.collectionSubtype == CollectionSubtype::SmartAlbumUserLibrary;
    hasScreenshots |= album.collectionSubtype == CollectionSubtype::SmartAlbumScreenshots;
  }
  if (!hasCameraRoll) {
    catalogue_->insertAlbum({newAlbumIdentifier(), kCameraRollTitle, CollectionType::SmartAlbum,
                             CollectionSubtype::SmartAlbumUserLibrary});
  }
  if (!hasScreenshots) {
    catalogue_->insertAlbum({newAlbumIdentifier(), kScreenshotsTitle, CollectionType::SmartAlbum,
                             CollectionSubtype::SmartAlbumScreenshots});
  }
}

PhotoLibrary::~PhotoLibrary() {
  if (activeObserver_ != 0) NotificationCenter::defaultCenter().removeObserver(activeObserver_);
  watch_.reset();
}

// ---- Access ----

AuthorizationStatus PhotoLibrary::status() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!catalogue_) return AuthorizationStatus::NotDetermined;
  const auto stored = catalogue_->setting(kAuthorizationSetting);
  if (!stored || *stored < 0 || *stored > 3) return AuthorizationStatus::NotDetermined;
  return static_cast<AuthorizationStatus>(*stored);
}

bool PhotoLibrary::authorized() {
  const auto stored = catalogue_ ? catalogue_->setting(kAuthorizationSetting) : std::nullopt;
  return stored && *stored == static_cast<std::int64_t>(AuthorizationStatus::Authorized);
}

AuthorizationStatus PhotoLibrary::authorizationStatus() { return sharedPhotoLibrary()->status(); }

Status PhotoLibrary::setAuthorizationStatus(AuthorizationStatus status) {
  auto library = sharedPhotoLibrary();
  std::lock_guard<std::mutex> guard(library->mutex_);
  if (!library->catalogue_ ||
      !library->catalogue_->setSetting(kAuthorizationSetting, static_cast<std::int64_t>(status))) {
    return photosError(kPhotosErrorFileSystem, "The catalogue cannot be written.");
  }
  return Status::success();
}

void PhotoLibrary::setAuthorizationAnswer(bool grant) {
  auto library = sharedPhotoLibrary();
  std::lock_guard<std::mutex> guard(library->mutex_);
  library->grantAnswer_ = grant;
}

void PhotoLibrary::requestAuthorization(std::function<void(AuthorizationStatus)> handler) {
  auto library = sharedPhotoLibrary();
  AuthorizationStatus status = library->status();
  if (status == AuthorizationStatus::NotDetermined) {
    bool grant;
    {
      std::lock_guard<std::mutex> guard(library->mutex_);
      grant = library->grantAnswer_;
    }
    status = grant ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
    if (!setAuthorizationStatus(status)) status = AuthorizationStatus::NotDetermined;
  }
  if (handler) library->queue_.async([handler = std::move(handler), status] { handler(status); });
}

// ---- Observers ----

void PhotoLibrary::registerChangeObserver(const std::shared_ptr<ChangeObserver>& observer) {
  if (!observer || !observer->photoLibraryDidChange) return;
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(observers_, [&](const auto& weak) { return weak.expired() || weak.lock() == observer; });
  observers_.push_back(observer);
  watchFolderLocked();
}

void PhotoLibrary::watchFolderLocked() {
  if (activeObserver_ != 0) return;
  std::weak_ptr<PhotoLibrary> weak = weak_from_this();
  activeObserver_ = NotificationCenter::defaultCenter().addObserver(
      kApplicationDidBecomeActiveNotification, [weak](const std::string&, const Json&) {
        if (auto library = weak.lock()) library->requestRescan();
      });
  FolderWatch::Options options;
  options.subfolders = true;
  // Folders linked into the library are part of it (see forEachLibraryFile).
  options.followLinks = true;
  // The catalogue's own writes are not changes of the library, nor are the
  // app's in its home, reached through a link.
  options.skip = [library = folder_](const fs::path& folder) {
    return isHidden(folder) || AppFolders(library).contains(folder);
  };
  // The watch ends before the library's members do (it is destroyed
  // first), so it may use them.
  watch_ = FolderWatch::start(folder_, std::move(options), [this] { requestRescan(); });
}

void PhotoLibrary::requestRescan() {
  if (rescanQueued_.exchange(true)) return;
  std::weak_ptr<PhotoLibrary> weak = weak_from_this();
  queue_.async([weak] {
    auto library = weak.lock();
    if (!library) return;
    library->rescanQueued_ = false;
    library->rescan();
  });
}

void PhotoLibrary::unregisterChangeObserver(const std::shared_ptr<ChangeObserver>& observer) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(observers_, [&](const auto& weak) { return weak.expired() || weak.lock() == observer; });
}

void PhotoLibrary::notify(Change change) {
  if (change.empty()) return;
  std::vector<std::weak_ptr<ChangeObserver>> observers;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    observers = observers_;
  }
  queue_.async([observers = std::move(observers), change = std::move(change)] {
    for (const auto& weak : observers) {
      if (auto observer = weak.lock(); observer && observer->photoLibraryDidChange) {
        observer->photoLibraryDidChange(change);
      }
    }
  });
}

// ---- Scanning ----

Change PhotoLibrary::scanLocked() {
  Change change;
  if (!catalogue_) return change;
  std::map<std::string, CatalogueAsset> known;
  for (auto& row : catalogue_->assets(folder_)) known.emplace(row.relativePath, std::move(row));

  std::vector<CatalogueAsset> inserted, updated;
  std::set<std::string> seen;
  // Folders not read whole, each once with the first answer met there.
  std::vector<std::pair<fs::path, int>> unread;
  auto unreadFolder = [&unread](const fs::path& folder, int code) {
    if (std::none_of(unread.begin(), unread.end(), [&](const auto& known) { return known.first == folder; })) {
      unread.emplace_back(folder, code);
    }
  };
  // A link that leads nowhere to be seen is a folder of the library that
  // cannot be read only where the library knows photos under its name;
  // else it is no folder (a loop of links, a link to a place never open to
  // the app), and fails no look.
  auto linkToNowhere = [&](const fs::path& link, const int code) {
    const std::string below = (link.lexically_relative(folder_) / "").string();
    const auto first = known.lower_bound(below);
    if (first != known.end() && first->first.starts_with(below)) unreadFolder(link, code);
  };
  const bool whole = forEachLibraryFile(folder_, [&](const fs::path& path) {
    const MediaType type = mediaTypeOfFile(path);
    if (type == MediaType::Unknown) return true;
    const std::string relative = path.lexically_relative(folder_).string();
    auto found = known.find(relative);
    if (found != known.end()) {
      std::error_code statError;
      const auto size = static_cast<std::int64_t>(fs::file_size(path, statError));
      const auto time = fileTimeOf(path, statError);
      if (!statError && size == found->second.fileSize && time == found->second.fileTime) {
        seen.insert(relative);
        return true;
      }
    }
    auto row = readAsset(folder_, path, type);
    // The process is exiting: the files can no longer be read, which says
    // nothing of them. The scan stops and changes nothing.
    if (!row && mediaReadsStopped()) return false;
    if (!row) {
      // Gone since the listing, or not to be looked at: then its folder
      // (mode 0600, a failing disk) hides what it holds.
      if (const int answer = assetFileAnswer(path); isRefusal(answer)) unreadFolder(path.parent_path(), answer);
      return true;
    }
    seen.insert(relative);
    if (found != known.end()) {
      row->asset.localIdentifier = found->second.asset.localIdentifier;
      updated.push_back(std::move(*row));
    } else {
      row->asset.localIdentifier = newAssetIdentifier();
      inserted.push_back(std::move(*row));
    }
    return true;
  }, unreadFolder, linkToNowhere);
  if (!whole) return change;
  unreadFolders_ = unread;

  // An asset not met by the walk is gone when its file is no longer at its
  // path; one in a folder that could not be read whole, whatever its file
  // answers, or whose file cannot be stat'ed, is still there, unreadable.
  std::vector<std::string> removed;
  for (const auto& [relative, row] : known) {
    if (seen.contains(relative)) continue;
    const fs::path& file = row.asset.file;
    if (std::any_of(unread.begin(), unread.end(), [&](const auto& folder) { return isWithin(file, folder.first); })) {
      continue;
    }
    const int answer = assetFileAnswer(row.asset.file);
    if (answer == 0 || answer == EINVAL || isGoneFileCode(answer)) removed.push_back(row.asset.localIdentifier);
  }
  if (inserted.empty() && updated.empty() && removed.empty()) return change;
  if (!catalogue_->begin()) return change;
  bool ok = true;
  for (const auto& row : inserted) ok = ok && catalogue_->insertAsset(row);
  for (const auto& row : updated) ok = ok && catalogue_->updateAsset(row);
  for (const auto& id : removed) ok = ok && catalogue_->deleteAsset(id);
  if (!ok || !catalogue_->commit()) {
    catalogue_->rollback();
    return change;
  }
  for (const auto& row : inserted) change.insertedAssets.push_back(row.asset.localIdentifier);
  for (const auto& row : updated) change.changedAssets.push_back(row.asset.localIdentifier);
  change.removedAssets = std::move(removed);
  return change;
}

void PhotoLibrary::rescan() {
  Change change;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!authorized()) return;
    change = scanLocked();
  }
  notify(std::move(change));
}

std::vector<Error> PhotoLibrary::unreadFolders() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Error> errors;
  if (!authorized()) return errors;
  for (const auto& [folder, code] : unreadFolders_) errors.push_back(libraryFolderReadError(code, folder));
  return errors;
}

std::vector<Asset> PhotoLibrary::assetsLocked() {
  std::vector<Asset> assets;
  if (!catalogue_) return assets;
  for (auto& row : catalogue_->assets(folder_)) assets.push_back(std::move(row.asset));
  return assets;
}

std::vector<AssetCollection> PhotoLibrary::albumsLocked() {
  return catalogue_ ? catalogue_->albums() : std::vector<AssetCollection>{};
}

// ---- Fetches ----

namespace {

template <class T, class Keep>
std::vector<T> filtered(std::vector<T> items, const Keep& keep) {
  std::erase_if(items, [&](const T& item) { return !keep(item); });
  return items;
}

}  // namespace

template <class Body>
auto PhotoLibrary::fetch(const Body& body) -> decltype(body()) {
  Change change;
  decltype(body()) result{};
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!authorized()) return result;
    change = scanLocked();
    result = body();
  }
  notify(std::move(change));
  return result;
}

std::vector<Asset> PhotoLibrary::fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& identifiers) {
  const std::set<std::string> wanted(identifiers.begin(), identifiers.end());
  Change change;
  std::vector<Asset> result;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!authorized() || !catalogue_) return result;
    // Only the files of the assets asked for are looked at: the folder is
    // scanned when one of them changed or went, not for every look-up (a
    // backup looks up each of its assets in turn).
    auto rows = catalogue_->assets(folder_, wanted);
    // A file that cannot be stat'ed tells nothing new: a scan would keep it.
    const bool current = std::all_of(rows.begin(), rows.end(), [](const CatalogueAsset& row) {
      const int answer = assetFileAnswer(row.asset.file);
      if (answer != 0) return answer != EINVAL && !isGoneFileCode(answer);
      std::error_code ec;
      const auto size = static_cast<std::int64_t>(fs::file_size(row.asset.file, ec));
      const auto time = fileTimeOf(row.asset.file, ec);
      return !ec && size == row.fileSize && time == row.fileTime;
    });
    if (!current) {
      change = scanLocked();
      rows = catalogue_->assets(folder_, wanted);
    }
    for (auto& row : rows) result.push_back(std::move(row.asset));
  }
  notify(std::move(change));
  return result;
}

std::vector<Asset> PhotoLibrary::fetchAssetsWithMediaType(MediaType mediaType) {
  return fetch([&] { return filtered(assetsLocked(), [&](const Asset& a) { return a.mediaType == mediaType; }); });
}

std::vector<Asset> PhotoLibrary::fetchAssetsInAssetCollection(const AssetCollection& collection) {
  auto membersOf = [&]() -> std::vector<Asset> {
    std::vector<Asset> all = assetsLocked();
    const auto albums = albumsLocked();
    auto album = std::find_if(albums.begin(), albums.end(), [&](const AssetCollection& a) {
      return a.localIdentifier == collection.localIdentifier;
    });
    if (album == albums.end()) return {};
    switch (album->collectionSubtype) {
      case CollectionSubtype::SmartAlbumUserLibrary:
        return all;
      case CollectionSubtype::SmartAlbumScreenshots:
        return filtered(std::move(all), [](const Asset& a) { return a.isScreenshot; });
      default:
        break;
    }
    std::vector<Asset> members;
    for (const auto& id : catalogue_->members(album->localIdentifier)) {
      auto it = std::find_if(all.begin(), all.end(), [&](const Asset& a) { return a.localIdentifier == id; });
      if (it != all.end()) members.push_back(*it);
    }
    return members;
  };
  return fetch([&] { return membersOf(); });
}

std::vector<AssetCollection> PhotoLibrary::fetchAssetCollectionsWithLocalIdentifiers(
    const std::vector<std::string>& identifiers) {
  const std::set<std::string> wanted(identifiers.begin(), identifiers.end());
  return fetch([&] { return 
      filtered(albumsLocked(), [&](const AssetCollection& a) { return wanted.contains(a.localIdentifier); }); });
}

std::vector<AssetCollection> PhotoLibrary::fetchTopLevelUserCollections() {
  return fetch([&] { return filtered(albumsLocked(), [](const AssetCollection& a) {
    return a.collectionType == CollectionType::Album && a.collectionSubtype == CollectionSubtype::AlbumRegular;
  }); });
}

std::vector<AssetCollection> PhotoLibrary::fetchAssetCollectionsWithType(CollectionType type,
                                                                         std::optional<CollectionSubtype> subtype) {
  return fetch([&] { return filtered(albumsLocked(), [&](const AssetCollection& a) {
    return a.collectionType == type && (!subtype || a.collectionSubtype == *subtype);
  }); });
}

// ---- Changes ----

Result<std::string> PhotoLibrary::copyIntoFolderLocked(const fs::path& file) {
  const std::string stem = file.stem().string();
  const std::string extension = file.extension().string();
  fs::path target = folder_ / file.filename();
  std::error_code ec;
  for (int n = 1; fs::exists(target, ec); ++n) {
    target = folder_ / (stem + " " + std::to_string(n) + extension);
  }
  if (!fs::copy_file(file, target, fs::copy_options::none, ec)) {
    return photosError(kPhotosErrorFileSystem, "Cannot copy the file into the library: " + ec.message());
  }
  return target.string();
}

Result<Change> PhotoLibrary::applyLocked(const ChangeRequests::Request& request, std::vector<fs::path>& copied,
                                         std::vector<fs::path>& toRemove) {
  using Kind = ChangeRequests::Kind;
  Change change;
  auto albums = albumsLocked();
  auto findAlbum = [&](const std::string& id) {
    return std::find_if(albums.begin(), albums.end(),
                        [&](const AssetCollection& a) { return a.localIdentifier == id; });
  };
  auto assets = assetsLocked();
  auto findAsset = [&](const std::string& id) {
    return std::find_if(assets.begin(), assets.end(), [&](const Asset& a) { return a.localIdentifier == id; });
  };

  switch (request.kind) {
    case Kind::CreateAlbum:
    case Kind::CreateSyncedEvent: {
      const bool event = request.kind == Kind::CreateSyncedEvent;
      bool ok = catalogue_->insertAlbum({request.identifier, request.text, CollectionType::Album,
                                         event ? CollectionSubtype::AlbumSyncedEvent : CollectionSubtype::AlbumRegular});
      for (const auto& id : request.assets) ok = ok && catalogue_->addMember(request.identifier, id);
      if (!ok) return photosError(kPhotosErrorFileSystem, "The album cannot be stored.");
      change.changedCollections.push_back(request.identifier);
      return change;
    }

    case Kind::CreateImage:
    case Kind::CreateVideo: {
      const MediaType wanted = request.kind == Kind::CreateImage ? MediaType::Image : MediaType::Video;
      std::error_code ec;
      if (!fs::is_regular_file(request.file, ec) || mediaTypeOfFile(request.file) != wanted) {
        return photosError(kPhotosErrorInvalidResource, "No such photo or video file.");
      }
      auto copy = copyIntoFolderLocked(request.file);
      if (!copy) return copy.error();
      copied.emplace_back(*copy);
      auto row = readAsset(folder_, *copy, wanted, true);
      if (!row) return photosError(kPhotosErrorInvalidResource, "The file is not a readable photo or video.");
      row->asset.localIdentifier = request.identifier;
      if (!catalogue_->insertAsset(*row)) return photosError(kPhotosErrorFileSystem, "The asset cannot be stored.");
      change.insertedAssets.push_back(request.identifier);
      return change;
    }

    case Kind::AddToAlbum:
    case Kind::RemoveFromAlbum: {
      auto album = findAlbum(request.identifier);
      if (album == albums.end()) return photosError(kPhotosErrorNotFound, "No such album.");
      const bool adding = request.kind == Kind::AddToAlbum;
      if (!album->canPerformEditOperation(adding ? EditOperation::AddContent : EditOperation::RemoveContent)) {
        return photosError(kPhotosErrorNotEditable, "The album cannot be edited.");
      }
      for (const auto& id : request.assets) {
        if (findAsset(id) == assets.end()) return photosError(kPhotosErrorNotFound, "No such asset.");
        const bool ok = adding ? catalogue_->addMember(album->localIdentifier, id)
                               : catalogue_->removeMember(album->localIdentifier, id);
        if (!ok) return photosError(kPhotosErrorFileSystem, "The album cannot be stored.");
      }
      change.changedCollections.push_back(album->localIdentifier);
      return change;
    }

    case Kind::Delete:
      for (const auto& id : request.assets) {
        auto asset = findAsset(id);
        if (asset == assets.end()) return photosError(kPhotosErrorNotFound, "No such asset.");
        if (!catalogue_->deleteAsset(id)) return photosError(kPhotosErrorFileSystem, "The asset cannot be removed.");
        toRemove.push_back(asset->file);  // removed once the change is in
        change.removedAssets.push_back(id);
      }
      return change;
  }
  return change;
}

Status PhotoLibrary::performChangesAndWait(const std::function<void(ChangeRequests&)>& changes) {
  ChangeRequests requests;
  if (changes) changes(requests);
  return apply(requests);
}

Result<std::string> PhotoLibrary::importSyncedEvent(const std::string& title, const std::vector<fs::path>& files) {
  ChangeRequests requests;
  std::vector<std::string> assets;
  for (const auto& file : files) {
    assets.push_back(mediaTypeOfFile(file) == MediaType::Video ? requests.creationRequestForAssetFromVideoAtFileURL(file)
                                                               : requests.creationRequestForAssetFromImageAtFileURL(file));
  }
  requests.requests_.push_back({ChangeRequests::Kind::CreateSyncedEvent, newAlbumIdentifier(), title, {}, assets});
  const std::string event = requests.requests_.back().identifier;
  if (auto applied = apply(requests); !applied) return applied.error();
  return event;
}

Status PhotoLibrary::apply(const ChangeRequests& requests) {
  Change scanned;
  Change applied;
  std::optional<Error> failure;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!authorized()) return photosError(kPhotosErrorAccessDenied, "The user has not allowed access.");
    scanned = scanLocked();
    std::vector<fs::path> copied;    // taken back if the change fails
    std::vector<fs::path> toRemove;  // removed once the change is in
    if (!catalogue_->begin()) failure = photosError(kPhotosErrorFileSystem, "The catalogue is busy.");
    for (const auto& request : requests.requests_) {
      if (failure) break;
      auto step = applyLocked(request, copied, toRemove);
      if (!step) {
        failure = step.error();
        break;
      }
      auto append = [](auto& into, const auto& from) { into.insert(into.end(), from.begin(), from.end()); };
      append(applied.insertedAssets, step->insertedAssets);
      append(applied.removedAssets, step->removedAssets);
      append(applied.changedCollections, step->changedCollections);
    }
    if (!failure && !catalogue_->commit()) {
      failure = photosError(kPhotosErrorFileSystem, "The change cannot be stored.");
    }
    std::error_code ec;
    if (failure) {
      catalogue_->rollback();
      for (const auto& file : copied) fs::remove(file, ec);
    } else {
      for (const auto& file : toRemove) fs::remove(file, ec);
    }
  }
  notify(std::move(scanned));
  if (failure) return *failure;
  notify(std::move(applied));
  return Status::success();
}

}  // namespace platform::photos
