#include "screens/gallery/LMGalleryManager.h"

#include <charconv>
#include <map>

#include "applog/LoggerRegistry.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/ImageCache.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/gallery/LMGalleryStoreStack.h"

namespace lumora {
namespace {

using platform::objectstore::ConcurrencyType;
using platform::objectstore::FetchRequest;
using platform::objectstore::ManagedObjectContext;
using platform::objectstore::Predicate;
using platform::objectstore::Value;

Value optionalValue(std::optional<std::int64_t> value) { return value ? Value(*value) : Value(); }

template <class T>
std::vector<std::shared_ptr<T>> fetch(const LMGalleryManager::Context& context, const FetchRequest& request) {
  if (!context) return {};
  auto objects = context->executeFetchRequest(request);
  if (!objects) return {};
  return platform::objectstore::objectsAs<T>(*objects);
}

template <class T>
std::shared_ptr<T> first(const LMGalleryManager::Context& context, FetchRequest request) {
  request.fetchLimit = 1;
  auto objects = fetch<T>(context, request);
  return objects.empty() ? nullptr : objects.front();
}

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> noneIfEmpty(std::vector<std::shared_ptr<T>> objects) {
  if (objects.empty()) return std::nullopt;
  return objects;
}

std::optional<std::int64_t> idFromText(const std::string& text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool isTrue(const platform::Json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0;
  return false;
}

void applyAlbum(LMAlbumObject& object, const LMAlbum& album) {
  object.setServerID(album.serverID);
  object.setName(album.name);
  object.setThumbnailUrls(LMCustomUtils::stringFromJSONObject(platform::Json(album.thumbnailUrls)));
  object.setThumbnailOrientations(LMCustomUtils::stringFromJSONObject(platform::Json(album.thumbnailOrientations)));
  object.setAlbumSync(album.sync);
  object.setTotalImageCount(album.totalImageCount);
  object.setTotalSize(album.totalSize);
  object.setThumbnailDate(platform::Clock::current()->now());
  object.setCreateDate(album.creationDate);
  object.setLastUpdateDate(album.lastUpdateDate);
}

void applyImage(LMImageObject& object, const LMImage& image, const std::shared_ptr<LMAlbumObject>& album) {
  object.setServerID(image.serverID);
  object.setFileName(image.fileName);
  object.setImageSync(image.sync);
  object.setImageSize(image.size);
  object.setSha1(image.sha1);
  object.setType(image.type);
  object.setExifInfo(image.exifInfo.is_null() ? std::nullopt : LMCustomUtils::stringFromJSONObject(image.exifInfo));
  object.setCreateDate(image.creationDate);
  object.setAlbum(album);
}

template <class T>
std::optional<T> storedToken(const char* key) {
  auto value = platform::UserDefaults::standard().objectForKey(key);
  if (!value) return std::nullopt;
  if (const auto* typed = std::get_if<T>(&*value)) return *typed;
  return std::nullopt;
}

// Written through at once; none removes the key.
template <class T>
void storeToken(const char* key, std::optional<T> value) {
  auto& defaults = platform::UserDefaults::standard();
  if (value) {
    defaults.setObject(key, std::move(*value));
  } else {
    defaults.removeObjectForKey(key);
  }
  defaults.synchronize();
}

// A smaller tag than the one applied leaves the object; an equal one passes.
bool isStale(std::optional<std::int64_t> sync, std::optional<std::int64_t> applied) {
  return sync.value_or(0) < applied.value_or(0);
}

}  // namespace

LMGalleryManager& LMGalleryManager::sharedManager() {
  static auto* manager = new LMGalleryManager();
  return *manager;
}

LMGalleryManager::LMGalleryManager() : writer_(std::make_shared<platform::SerialQueue>("lumora.gallery.writer")) {}

std::shared_ptr<LMImageSyncAdapter> LMGalleryManager::adapter() {
  std::lock_guard lock(adapterMutex_);
  return adapter_ ? adapter_ : LMImageSyncAdapter::sharedAdapter();
}

void LMGalleryManager::setAdapter(std::shared_ptr<LMImageSyncAdapter> adapter) {
  std::lock_guard lock(adapterMutex_);
  adapter_ = std::move(adapter);
}

// ---- Store ----

LMGalleryManager::Context LMGalleryManager::managedObjectContext() {
  return LMGalleryStoreStack::shared()->managedObjectContext();
}

bool LMGalleryManager::saveContext(const Context& context) {
  if (!context || !context->hasChanges()) return true;
  const std::int64_t freeSpace = LMCustomUtils::freeSpaceForDevice().value_or(0);
  if (freeSpace < kLowFreeSpaceBytes) {
    QB_LOG_INFO("Clean Disk");
    auto& cache = platform::ui::ImageCache::sharedImageCache();
    if (platform::MainQueue::isMainThread()) {
      context->rollback();
      cache.clearDisk();
      return false;
    }
    auto cleared = std::make_shared<platform::Semaphore>(0);
    cache.clearDiskOnCompletion([cleared] { cleared->signal(); });
    cleared->wait();
  }
  if (auto saved = context->save(); !saved) {
    QB_LOG_ERROR("Cannot save the gallery cache: {}", saved.error().description());
    context->rollback();
    return false;
  }
  return true;
}

bool LMGalleryManager::saveContext() { return saveContext(managedObjectContext()); }

void LMGalleryManager::write(std::function<void(const Context& child)> change, std::function<void(bool saved)> tail) {
  Context main = managedObjectContext();
  if (!main) {
    platform::MainQueue::main().async([tail] {
      if (tail) tail(false);
    });
    return;
  }
  Context child = ManagedObjectContext::make(ConcurrencyType::PrivateQueue, writer_);
  child->setParentContext(main);
  child->perform([this, child, main, change = std::move(change), tail = std::move(tail)] {
    if (change) change(child);
    const bool childSaved = saveContext(child);
    main->perform([this, main, childSaved, tail] {
      // Only a change that reached the store counts as saved.
      const bool saved = childSaved && saveContext(main);
      if (tail) tail(saved);
    });
  });
}

bool LMGalleryManager::isSignedInAs(const LMImageSyncAdapter& gallery, const std::optional<std::string>& user) {
  return gallery.passports()->userId() == user;
}

void LMGalleryManager::deleteAllObjects(std::function<void()> finish) {
  write(
      [](const Context& child) {
        for (const auto& album : fetch<LMAlbumObject>(child, FetchRequest{LMAlbumObject::kEntityName, {}, {}, 0, {}})) {
          child->deleteObject(album);
        }
      },
      [finish = std::move(finish)](bool) {
        if (finish) finish();
      });
}


// ---- Album list tokens ----

LMGalleryManager::StoreMark LMGalleryManager::storeMark() {
  auto coordinator = LMGalleryStoreStack::shared()->persistentStoreCoordinator();
  return {coordinator, coordinator ? coordinator->generation() : 0};
}

bool LMGalleryManager::storeUnchangedSince(const StoreMark& mark) {
  const StoreMark now = storeMark();
  std::lock_guard lock(tokenMutex_);
  // A read on another coordinator (a stack made since) says nothing here.
  return now == mark &&
         (!tokensRead_ || !tokensRead_->onSameCoordinator(now) || tokensRead_->generation == now.generation);
}

// The store is opened before its tokens are read: one made anew forgets them.
std::optional<std::int64_t> LMGalleryManager::albumSync() {
  const StoreMark mark = storeMark();
  {
    std::lock_guard lock(tokenMutex_);
    tokensRead_ = mark;
  }
  return storedToken<std::int64_t>(kAlbumSyncKey);
}

void LMGalleryManager::setAlbumSync(std::optional<std::int64_t> sync) { storeToken(kAlbumSyncKey, sync); }

std::optional<std::string> LMGalleryManager::albumSyncExtraInfo() {
  LMGalleryStoreStack::shared()->persistentStoreCoordinator();
  return storedToken<std::string>(kAlbumSyncExtraInfoKey);
}

void LMGalleryManager::setAlbumSyncExtraInfo(std::optional<std::string> extraInfo) {
  storeToken(kAlbumSyncExtraInfoKey, std::move(extraInfo));
}

void LMGalleryManager::removeAlbumSync() {
  auto& defaults = platform::UserDefaults::standard();
  defaults.removeObjectForKey(kAlbumSyncKey);
  defaults.removeObjectForKey(kAlbumSyncExtraInfoKey);
}

// ---- Albums ----

std::shared_ptr<LMAlbumObject> LMGalleryManager::getAlbumById(std::optional<std::int64_t> albumID,
                                                              const Context& context) {
  return first<LMAlbumObject>(
      context, FetchRequest{LMAlbumObject::kEntityName, Predicate::equal("serverID", optionalValue(albumID)), {}, 0, {}});
}

std::optional<std::vector<std::shared_ptr<LMAlbumObject>>> LMGalleryManager::getAllAlbums(const Context& context) {
  return noneIfEmpty(fetch<LMAlbumObject>(context, FetchRequest{LMAlbumObject::kEntityName, {}, {}, 0, {}}));
}

void LMGalleryManager::updateAlbumObjects(const std::vector<LMAlbum>& albums, bool resync, const Context& context) {
  std::map<std::int64_t, std::shared_ptr<LMAlbumObject>> index;
  if (resync) {
    for (const auto& album : fetch<LMAlbumObject>(context, FetchRequest{LMAlbumObject::kEntityName, {}, {}, 0, {}})) {
      if (auto id = album->serverID()) index[*id] = album;
    }
  }
  for (const auto& album : albums) {
    if (!album.serverID) continue;
    std::shared_ptr<LMAlbumObject> object;
    if (resync) {
      auto found = index.find(*album.serverID);
      if (found != index.end()) {
        object = found->second;
        index.erase(found);
      }
    } else {
      object = getAlbumById(album.serverID, context);
    }
    if (album.status != 1) {
      if (object) context->deleteObject(object);
      continue;
    }
    if (!object) {
      object = std::dynamic_pointer_cast<LMAlbumObject>(context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
      if (!object) return;
      object->setServerID(album.serverID);
      object->setAlbumSync(0);
      if (*album.serverID == 1 || *album.serverID == 2) object->setAlbumType(*album.serverID);
    }
    if (isStale(album.sync, object->albumSync())) continue;
    applyAlbum(*object, album);
  }
  for (const auto& [id, album] : index) context->deleteObject(album);
}

void LMGalleryManager::saveAlbumObjectsWithArray(std::vector<LMAlbum> albums, std::optional<std::int64_t> serverSync,
                                                 std::optional<std::string> syncExtraInfo, bool resync,
                                                 std::function<void()> finish) {
  const StoreMark mark = storeMark();
  write([this, albums = std::move(albums), resync](const Context& child) { updateAlbumObjects(albums, resync, child); },
        [this, serverSync, syncExtraInfo, finish, mark](bool saved) {
          // Tokens of changes that were not stored would skip them for good;
          // so would those of a listing whose store was made anew meanwhile.
          if (saved && storeUnchangedSince(mark)) {
            setAlbumSync(serverSync);
            setAlbumSyncExtraInfo(syncExtraInfo);
          }
          if (finish) finish();
        });
}

bool LMGalleryManager::hasCoversWithoutOrientations(const Context& context) {
  for (const auto& album : fetch<LMAlbumObject>(
           context, FetchRequest{LMAlbumObject::kEntityName, Predicate::equal("thumbnailOrientations", Value()), {}, 0,
                                 {}})) {
    auto urls = LMCustomUtils::jsonObjectFromString(album->thumbnailUrls());
    if (urls && urls->is_array() && !urls->empty()) return true;
  }
  return false;
}

void LMGalleryManager::requestAlbumObjectWithFinish(ErrorFinish finish) {
  auto gallery = adapter();
  const auto user = gallery->passports()->userId();
  std::optional<std::int64_t> sync = albumSync();
  std::optional<std::string> syncExtraInfo = albumSyncExtraInfo();
  // Albums stored before their covers' orientations were kept are listed
  // from the start, so that every cover is drawn upright.
  bool relist = false;
  if (Context main = managedObjectContext()) main->performAndWait([&] { relist = hasCoversWithoutOrientations(main); });
  if (relist) {
    sync.reset();
    syncExtraInfo.reset();
  }
  gallery->requestAlbumListWithSync(
      sync, syncExtraInfo,
      [this, finish, gallery, user](std::int64_t syncTag, const std::string& extraInfo,
                                    const std::vector<LMAlbum>& albums, bool resync) {
        // A logout meanwhile cleared the cache: the old account's albums stay out.
        if (!isSignedInAs(*gallery, user)) {
          if (finish) finish(std::nullopt);
          return;
        }
        saveAlbumObjectsWithArray(albums, syncTag, extraInfo, resync, [finish] {
          if (finish) finish(std::nullopt);
        });
      },
      [finish](const platform::Error& error) {
        if (finish) finish(error);
      });
}

void LMGalleryManager::saveAlbum(std::int64_t albumID, platform::Clock::TimePoint date) {
  write(
      [this, albumID, date](const Context& child) {
        if (auto album = getAlbumById(albumID, child)) album->setRefreshDate(date);
      },
      nullptr);
}

void LMGalleryManager::deleteAlbumsByAlbumIDs(std::vector<std::int64_t> albumIDs,
                                              std::function<void(const std::vector<std::int64_t>& failed)> finish) {
  auto failed = std::make_shared<std::vector<std::int64_t>>();
  write(
      [this, albumIDs = std::move(albumIDs), failed](const Context& child) {
        auto gallery = adapter();
        for (std::int64_t albumID : albumIDs) {
          auto album = getAlbumById(albumID, child);
          if (!album) continue;
          std::vector<LMImage> images;
          for (const auto& object : imagesOfAlbum(album, child)) {
            LMImage image;
            image.serverID = object->serverID();
            image.sync = object->imageSync();
            images.push_back(std::move(image));
          }
          bool imagesGone = true;
          if (!images.empty()) {
            gallery->requestBatchDeleteImages(
                images, [&](const std::vector<LMImage>& left, const std::optional<platform::Error>& error) {
                  // Images the cloud kept would be lost from the cache with
                  // their album: the album counts as not deleted.
                  imagesGone = !error && left.empty();
                });
          }
          if (!imagesGone) {
            failed->push_back(albumID);
            continue;
          }
          auto operation = gallery->requestDeleteAlbum(*album->serverID(), album->albumSync().value_or(0));
          if (!operation || operation->error()) {
            failed->push_back(albumID);
            continue;
          }
          child->deleteObject(album);
        }
      },
      [failed, finish](bool) {
        if (finish) finish(*failed);
      });
}

// ---- Images ----

std::shared_ptr<LMImageObject> LMGalleryManager::getImageById(std::optional<std::int64_t> imageID,
                                                              const Context& context) {
  return first<LMImageObject>(
      context, FetchRequest{LMImageObject::kEntityName, Predicate::equal("serverID", optionalValue(imageID)), {}, 0, {}});
}

std::shared_ptr<LMImageObject> LMGalleryManager::getImageBySha1(const std::string& sha1, std::int64_t size,
                                                                std::optional<std::int64_t> albumID,
                                                                const Context& context) {
  Predicate predicate = Predicate::equal("sha1", sha1);
  predicate.andEqual("imageSize", size).andEqual("album.serverID", optionalValue(albumID));
  return first<LMImageObject>(context, FetchRequest{LMImageObject::kEntityName, predicate, {}, 0, {}});
}

std::optional<LMImage> LMGalleryManager::getImageBySha1(const std::string& sha1, std::int64_t size,
                                                        std::int64_t albumID) {
  Context main = managedObjectContext();
  if (!main) return std::nullopt;
  // A context of this call alone, straight on the store: confined to this
  // thread, it never touches the main context.
  Context reader = ManagedObjectContext::make(ConcurrencyType::PrivateQueue);
  reader->setPersistentStoreCoordinator(main->persistentStoreCoordinator());
  auto image = getImageBySha1(sha1, size, albumID, reader);
  if (!image) return std::nullopt;
  return imageByImageObject(*image);
}

std::vector<std::shared_ptr<LMImageObject>> LMGalleryManager::imagesOfAlbum(const std::shared_ptr<LMAlbumObject>& album,
                                                                            const Context& context) {
  FetchRequest request{LMImageObject::kEntityName,
                       album ? Predicate::equal("album", album->objectID()) : Predicate::equal("album", Value()),
                       {},
                       0,
                       {}};
  return fetch<LMImageObject>(context, request);
}

std::optional<std::vector<std::shared_ptr<LMImageObject>>> LMGalleryManager::getAllImagesWithAlbumID(
    std::optional<std::int64_t> albumID, const Context& context) {
  return noneIfEmpty(fetch<LMImageObject>(
      context,
      FetchRequest{LMImageObject::kEntityName, Predicate::equal("album.serverID", optionalValue(albumID)), {}, 0, {}}));
}

std::optional<std::vector<std::shared_ptr<LMImageObject>>> LMGalleryManager::getAllImagesByAlbumID(
    std::optional<std::int64_t> albumID, const Context& context, const std::string& sortKey, bool ascending) {
  return noneIfEmpty(fetch<LMImageObject>(
      context, FetchRequest{LMImageObject::kEntityName,
                            Predicate::equal("album.serverID", optionalValue(albumID)),
                            {{sortKey, ascending}},
                            0,
                            {}}));
}

void LMGalleryManager::updateImageObjects(const std::vector<LMImage>& images,
                                          const std::shared_ptr<LMAlbumObject>& album, bool resync,
                                          const Context& context) {
  std::map<std::int64_t, std::shared_ptr<LMImageObject>> index;
  if (resync) {
    for (const auto& image : imagesOfAlbum(album, context)) {
      if (auto id = image->serverID()) index[*id] = image;
    }
  }
  for (const auto& image : images) {
    if (!image.serverID) continue;
    std::shared_ptr<LMImageObject> object;
    if (resync) {
      auto found = index.find(*image.serverID);
      if (found != index.end()) {
        object = found->second;
        index.erase(found);
      }
    } else {
      object = getImageById(image.serverID, context);
    }
    if (image.status != "custom") {
      if (object) context->deleteObject(object);
      continue;
    }
    if (!object) {
      object = std::dynamic_pointer_cast<LMImageObject>(context->insertNewObjectForEntityForName(LMImageObject::kEntityName));
      if (!object) return;
      object->setServerID(image.serverID);
      object->setImageSync(0);
    }
    if (isStale(image.sync, object->imageSync())) continue;
    applyImage(*object, image, album);
  }
  for (const auto& [id, image] : index) context->deleteObject(image);
}

void LMGalleryManager::setImageThumbnailURLs(const platform::Json& urls, bool isLargeSize) {
  if (!urls.is_object()) return;
  write(
      [this, urls, isLargeSize](const Context& child) {
        for (const auto& [key, entry] : urls.items()) {
          auto id = idFromText(key);
          if (!id || !entry.is_object()) continue;
          auto isUrl = entry.find("isUrl");
          auto data = entry.find("data");
          // An address that is not text is no address.
          if (isUrl == entry.end() || !isTrue(*isUrl) || data == entry.end() || !data->is_string()) continue;
          auto image = getImageById(*id, child);
          if (!image) continue;
          if (isLargeSize) {
            image->setImageUrl(data->get<std::string>());
          } else {
            image->setThumbnailUrl(data->get<std::string>());
          }
        }
      },
      nullptr);
}

void LMGalleryManager::saveAlbumImageObjects(std::vector<LMImage> images, std::int64_t albumServerID,
                                             std::optional<std::int64_t> serverSync,
                                             std::optional<std::string> syncExtraInfo, bool resync,
                                             std::function<void()> finish) {
  write(
      [this, images = std::move(images), albumServerID, serverSync, syncExtraInfo, resync](const Context& child) {
        auto album = getAlbumById(albumServerID, child);
        updateImageObjects(images, album, resync, child);
        if (album) {
          album->setImagesSync(serverSync);
          album->setImagesExtra(syncExtraInfo);
        }
      },
      [finish](bool) {
        if (finish) finish();
      });
}

void LMGalleryManager::requestImageObjectsWithAlbum(const std::shared_ptr<LMAlbumObject>& album, ErrorFinish finish) {
  if (!album || !album->serverID()) {
    if (finish) finish(std::nullopt);
    return;
  }
  std::optional<std::int64_t> imagesSync;
  std::optional<std::string> imagesExtra;
  std::int64_t albumID = 0;
  // The album belongs to its context's queue.
  auto read = [&] {
    imagesSync = album->imagesSync();
    imagesExtra = album->imagesExtra();
    albumID = album->serverID().value_or(0);
  };
  if (auto context = album->managedObjectContext()) {
    context->performAndWait(read);
  } else {
    read();
  }
  auto gallery = adapter();
  const auto user = gallery->passports()->userId();
  gallery->requestImageListInAlbumWithSync(
      imagesSync, imagesExtra, albumID,
      [this, albumID, finish, gallery, user](std::int64_t syncTag, const std::string& extraInfo,
                                             const std::vector<LMImage>& images, bool resync) {
        if (!isSignedInAs(*gallery, user)) {
          if (finish) finish(std::nullopt);
          return;
        }
        saveAlbumImageObjects(images, albumID, syncTag, extraInfo, resync, [finish] {
          if (finish) finish(std::nullopt);
        });
      },
      [finish](const platform::Error& error) {
        if (finish) finish(error);
      });
}

void LMGalleryManager::requestAllImageObjectsWithAlbums(const std::vector<std::int64_t>& albumIDs) {
  Context main = managedObjectContext();
  if (!main) return;
  for (std::int64_t albumID : albumIDs) {
    std::shared_ptr<LMAlbumObject> album;
    main->performAndWait([&] { album = getAlbumById(albumID, main); });
    if (!album) continue;
    auto done = std::make_shared<platform::Semaphore>(0);
    requestImageObjectsWithAlbum(album, [done](const std::optional<platform::Error>&) { done->signal(); });
    done->wait();
  }
}

void LMGalleryManager::requestAllImageWithAlbumID(std::optional<std::int64_t> albumID, double width, double height,
                                                  bool isLargeSize) {
  if (!albumID) return;
  Context main = managedObjectContext();
  if (!main) return;
  std::vector<std::int64_t> missing;
  main->performAndWait([&] {
    auto images = getAllImagesByAlbumID(albumID, main, "createDate", false);
    if (!images) return;
    for (const auto& image : *images) {
      if (!image->isThumbnailValidate() && image->serverID()) missing.push_back(*image->serverID());
    }
  });
  auto gallery = adapter();
  for (std::size_t start = 0; start < missing.size(); start += kThumbnailBatch) {
    std::vector<std::int64_t> batch(missing.begin() + static_cast<std::ptrdiff_t>(start),
                                    missing.begin() + static_cast<std::ptrdiff_t>(std::min(missing.size(), start + kThumbnailBatch)));
    gallery->requestImageThumbnailUrls(
        batch, width, height, [this, isLargeSize](const platform::Json& urls) { setImageThumbnailURLs(urls, isLargeSize); },
        nullptr);
  }
}

LMImage LMGalleryManager::imageByImageObject(const LMImageObject& object) {
  LMImage image;
  image.serverID = object.serverID();
  image.creationDate = object.createDate();
  if (auto exif = LMCustomUtils::jsonObjectFromString(object.exifInfo())) image.exifInfo = std::move(*exif);
  image.fileName = object.fileName();
  image.size = object.imageSize();
  image.sync = object.imageSync();
  image.sha1 = object.sha1();
  if (auto owner = object.album()) image.serverGroupID = owner->serverID();
  image.type = object.type();
  return image;
}

LMAlbum LMGalleryManager::albumByAlbumObject(const LMAlbumObject& object) {
  LMAlbum album;
  album.serverID = object.serverID();
  album.sync = object.albumSync();
  album.creationDate = object.createDate();
  album.name = object.name();
  album.totalImageCount = object.totalImageCount();
  album.totalSize = object.totalSize();
  album.lastUpdateDate = object.refreshDate();
  if (auto urls = LMCustomUtils::jsonObjectFromString(object.thumbnailUrls()); urls && urls->is_array()) {
    for (const auto& url : *urls) {
      if (url.is_string()) album.thumbnailUrls.push_back(url.get<std::string>());
    }
  }
  return album;
}

void LMGalleryManager::deleteImageByImageID(std::int64_t imageID, ErrorFinish finish) {
  auto failure = std::make_shared<std::optional<platform::Error>>();
  write(
      [this, imageID, failure](const Context& child) {
        auto image = getImageById(imageID, child);
        if (!image) return;
        auto operation = adapter()->requestDeleteImage(imageByImageObject(*image));
        *failure = operation ? operation->error() : std::nullopt;
        if (!*failure) child->deleteObject(image);
      },
      [failure, finish](bool) {
        if (finish) finish(*failure);
      });
}

}  // namespace lumora
