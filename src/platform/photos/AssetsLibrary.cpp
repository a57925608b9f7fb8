#include "platform/photos/AssetsLibrary.h"

#include <atomic>
#include <cctype>
#include <fstream>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/Bytes.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/media/Image.h"
#include "platform/media/MediaProperties.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/OwnFile.h"

namespace platform::photos {
namespace {

constexpr const char* kAssetURLPrefix = "assets-library://asset/asset.";
constexpr const char* kGroupURLPrefix = "assets-library://group/?id=";

std::string upperExtension(const std::filesystem::path& file) {
  std::string ext = file.extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ext;
}

bool isCameraRoll(const AssetCollection& album) {
  return album.collectionType == CollectionType::SmartAlbum &&
         album.collectionSubtype == CollectionSubtype::SmartAlbumUserLibrary;
}

// The group of an album, when the older interface shows it.
std::optional<AssetsGroup> groupOf(const AssetCollection& album) {
  AssetsGroup group;
  if (isCameraRoll(album)) {
    group.type = kGroupSavedPhotos;
  } else if (album.collectionType == CollectionType::Album &&
             album.collectionSubtype == CollectionSubtype::AlbumRegular) {
    group.type = kGroupAlbum;
    group.editable = true;
  } else if (album.collectionType == CollectionType::Album &&
             album.collectionSubtype == CollectionSubtype::AlbumSyncedEvent) {
    group.type = kGroupEvent;
  } else {
    return std::nullopt;
  }
  group.persistentID = album.localIdentifier;
  group.name = album.localizedTitle;
  group.url = kGroupURLPrefix + album.localIdentifier;
  return group;
}

LibraryAsset libraryAssetOf(const Asset& asset) {
  LibraryAsset found;
  found.url = AssetsLibrary::urlOfAsset(asset);
  found.type = asset.mediaType == MediaType::Image   ? kAssetTypePhoto
               : asset.mediaType == MediaType::Video ? kAssetTypeVideo
                                                     : kAssetTypeUnknown;
  found.date = asset.creationDate;
  found.duration = asset.duration;
  found.location = asset.location;
  found.file = asset.file;
  return found;
}

bool letsThrough(AssetsFilter filter, const Asset& asset) {
  switch (filter) {
    case AssetsFilter::AllPhotos: return asset.mediaType == MediaType::Image;
    case AssetsFilter::AllVideos: return asset.mediaType == MediaType::Video;
    case AssetsFilter::AllAssets: break;
  }
  return asset.mediaType == MediaType::Image || asset.mediaType == MediaType::Video;
}

std::optional<AssetCollection> albumWithId(PhotoLibrary& library, const std::string& id) {
  auto found = library.fetchAssetCollectionsWithLocalIdentifiers({id});
  if (found.size() != 1) return std::nullopt;
  return found.front();
}

}  // namespace

// ---- Representation ----

AssetRepresentation::AssetRepresentation(std::filesystem::path file) : file_(std::move(file)) {
  if (PhotoLibrary::mediaTypeOfFile(file_) == MediaType::Video) {
    if (auto video = videoPropertiesOfFile(file_)) {
      width_ = video->pixelWidth;
      height_ = video->pixelHeight;
    }
    return;
  }
  if (auto properties = imagePropertiesOfFile(file_)) {
    width_ = properties->value(kImagePropertyPixelWidth, std::int64_t{0});
    height_ = properties->value(kImagePropertyPixelHeight, std::int64_t{0});
    const auto exif = properties->find(kImagePropertyOrientation);
    if (exif != properties->end() && exif->is_number_integer()) {
      orientation_ = static_cast<AssetOrientation>(static_cast<int>(imageOrientationFromExif(exif->get<int>())));
    }
  }
}

std::string AssetRepresentation::filename() const { return file_.filename().string(); }

std::int64_t AssetRepresentation::size() const {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file_, ec);
  return ec ? 0 : static_cast<std::int64_t>(size);
}

Result<std::size_t> AssetRepresentation::getBytes(std::int64_t offset, std::size_t length, Bytes& buffer) const {
  std::ifstream in(file_, std::ios::binary);
  if (!in || offset < 0) return Error(kAssetsLibraryErrorDomain, kAssetsLibraryErrorWriteFailed);
  in.seekg(offset);
  buffer.resize(length);
  in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(length));
  if (in.bad()) return Error(kAssetsLibraryErrorDomain, kAssetsLibraryErrorWriteFailed);
  buffer.resize(static_cast<std::size_t>(in.gcount()));
  return buffer.size();
}

Json AssetRepresentation::metadata() const {
  if (PhotoLibrary::mediaTypeOfFile(file_) != MediaType::Image) return Json::object();
  return imagePropertiesOfFile(file_).valueOr(Json::object());
}

std::optional<AssetRepresentation> LibraryAsset::defaultRepresentation() const {
  std::error_code ec;
  if (file.empty() || !std::filesystem::is_regular_file(file, ec)) return std::nullopt;
  return AssetRepresentation(file);
}

// ---- Library ----

AuthorizationStatus AssetsLibrary::authorizationStatus() { return PhotoLibrary::authorizationStatus(); }

std::string AssetsLibrary::urlOfAsset(const Asset& asset) {
  const std::string ext = upperExtension(asset.file);
  return kAssetURLPrefix + ext + "?id=" + asset.localIdentifier + "&ext=" + ext;
}

std::optional<std::string> AssetsLibrary::localIdentifierOfAssetURL(const std::string& url) {
  if (url.rfind(kAssetURLPrefix, 0) != 0) return std::nullopt;
  const auto start = url.find("?id=");
  if (start == std::string::npos) return std::nullopt;
  const auto end = url.find('&', start);
  std::string id = url.substr(start + 4, end == std::string::npos ? std::string::npos : end - start - 4);
  if (id.empty()) return std::nullopt;
  return id;
}

AssetsLibrary::AssetsLibrary()
    : library_(PhotoLibrary::sharedPhotoLibrary()), relay_(std::make_shared<ChangeObserver>()) {
  relay_->photoLibraryDidChange = [](const Change&) {
    NotificationCenter::defaultCenter().post(kChangedNotification);
  };
  library_->registerChangeObserver(relay_);
}

AssetsLibrary::~AssetsLibrary() { library_->unregisterChangeObserver(relay_); }

bool AssetsLibrary::refused(const Failure& failure) const {
  auto refusedAccess = refusal();
  if (refusedAccess && failure) failure(*refusedAccess);
  return refusedAccess.has_value();
}

std::optional<Error> AssetsLibrary::refusal() const {
  if (authorizationStatus() == AuthorizationStatus::Authorized) return std::nullopt;
  return Error(kAssetsLibraryErrorDomain, kAssetsLibraryErrorAccessDenied,
               {{Error::kLocalizedDescriptionKey, "User denied access"}});
}

void AssetsLibrary::enumerateGroupsWithTypes(std::uint32_t types,
                                             std::function<void(std::optional<AssetsGroup>)> result,
                                             Failure failure) {
  queue_.async([this, types, result = std::move(result), failure = std::move(failure)] {
    if (refused(failure)) return;
    std::vector<AssetCollection> albums = library_->fetchTopLevelUserCollections();
    for (auto subtype : {CollectionSubtype::SmartAlbumUserLibrary, CollectionSubtype::AlbumSyncedEvent}) {
      const auto type = subtype == CollectionSubtype::AlbumSyncedEvent ? CollectionType::Album : CollectionType::SmartAlbum;
      for (auto& album : library_->fetchAssetCollectionsWithType(type, subtype)) albums.push_back(std::move(album));
    }
    for (const auto& album : albums) {
      auto group = groupOf(album);
      if (group && (group->type & types) != 0 && result) result(std::move(*group));
    }
    if (result) result(std::nullopt);
  });
}

void AssetsLibrary::enumerateAssets(const AssetsGroup& group, std::function<void(std::optional<LibraryAsset>)> result) {
  queue_.async([this, group, result = std::move(result)] {
    if (!result) return;
    if (!refusal()) {
      if (auto album = albumWithId(*library_, group.persistentID)) {
        for (const Asset& asset : library_->fetchAssetsInAssetCollection(*album)) {
          if (letsThrough(group.filter, asset)) result(libraryAssetOf(asset));
        }
      }
    }
    result(std::nullopt);
  });
}

std::int64_t AssetsLibrary::numberOfAssets(const AssetsGroup& group) {
  if (refusal()) return 0;
  auto album = albumWithId(*library_, group.persistentID);
  if (!album) return 0;
  std::int64_t count = 0;
  for (const Asset& asset : library_->fetchAssetsInAssetCollection(*album)) count += letsThrough(group.filter, asset);
  return count;
}

void AssetsLibrary::assetForURL(const std::string& url, std::function<void(std::optional<LibraryAsset>)> result,
                                Failure failure) {
  queue_.async([this, url, result = std::move(result), failure = std::move(failure)] {
    if (refused(failure)) return;
    std::optional<LibraryAsset> found;
    if (auto id = localIdentifierOfAssetURL(url)) {
      auto assets = library_->fetchAssetsWithLocalIdentifiers({*id});
      if (assets.size() == 1) found = libraryAssetOf(assets.front());
    }
    if (result) result(std::move(found));
  });
}

void AssetsLibrary::groupForURL(const std::string& url, std::function<void(std::optional<AssetsGroup>)> result,
                                Failure failure) {
  queue_.async([this, url, result = std::move(result), failure = std::move(failure)] {
    if (refused(failure)) return;
    std::optional<AssetsGroup> found;
    if (url.rfind(kGroupURLPrefix, 0) == 0) {
      if (auto album = albumWithId(*library_, url.substr(std::string(kGroupURLPrefix).size()))) found = groupOf(*album);
    }
    if (result) result(std::move(found));
  });
}

void AssetsLibrary::addAssetsGroupAlbumWithName(const std::string& name,
                                                std::function<void(std::optional<AssetsGroup>)> result,
                                                Failure failure) {
  queue_.async([this, name, result = std::move(result), failure = std::move(failure)] {
    if (refused(failure)) return;
    for (const auto& album : library_->fetchTopLevelUserCollections()) {
      if (album.localizedTitle == name) {
        if (result) result(std::nullopt);
        return;
      }
    }
    std::string created;
    Status status = library_->performChangesAndWait(
        [&](ChangeRequests& changes) { created = changes.creationRequestForAssetCollectionWithTitle(name); });
    if (!status) {
      if (failure) failure(status.error());
      return;
    }
    auto album = albumWithId(*library_, created);
    if (result) result(album ? groupOf(*album) : std::nullopt);
  });
}

void AssetsLibrary::write(const std::filesystem::path& file, bool video, WriteCompletion completion) {
  queue_.async([this, file, video, completion = std::move(completion)] {
    std::optional<std::string> url;
    std::optional<Error> error = refusal();
    if (!error) {
      std::string created;
      Status status = library_->performChangesAndWait([&](ChangeRequests& changes) {
        created = video ? changes.creationRequestForAssetFromVideoAtFileURL(file)
                        : changes.creationRequestForAssetFromImageAtFileURL(file);
      });
      auto assets = status ? library_->fetchAssetsWithLocalIdentifiers({created}) : std::vector<Asset>();
      if (assets.size() == 1) {
        url = urlOfAsset(assets.front());
      } else {
        error = status ? Error(kAssetsLibraryErrorDomain, kAssetsLibraryErrorWriteFailed) : status.error();
      }
    }
    if (!video) {
      std::error_code ec;
      std::filesystem::remove(file, ec);
    }
    if (completion) completion(std::move(url), std::move(error));
  });
}

void AssetsLibrary::writeImageDataToSavedPhotosAlbum(const Bytes& data, WriteCompletion completion) {
  // The library names the file after the kind of picture the bytes hold.
  const std::string ext = data.size() > 1 && data[0] == 0x89 ? ".png" : ".jpg";
  static std::atomic<unsigned> written{0};
  const std::filesystem::path staged = AppHome::tmp() / ("assets-library-" + std::to_string(++written) + ext);
  // Only a file of the library's own is written there: a link of either
  // kind or a pipe at that name fails the write (its name goes, never what
  // it leads to), as a failed import does.
  if (!writeOwnFile(staged, data, 0666).ok()) {
    std::error_code ec;
    std::filesystem::remove(staged, ec);
    queue_.async([completion = std::move(completion)] {
      if (completion) completion(std::nullopt, Error(kAssetsLibraryErrorDomain, kAssetsLibraryErrorWriteFailed));
    });
    return;
  }
  write(staged, false, std::move(completion));
}

void AssetsLibrary::writeVideoAtPathToSavedPhotosAlbum(const std::filesystem::path& path, WriteCompletion completion) {
  write(path, true, std::move(completion));
}

bool AssetsLibrary::addAsset(const AssetsGroup& group, const LibraryAsset& asset) {
  if (!group.editable || refusal()) return false;
  auto id = localIdentifierOfAssetURL(asset.url);
  if (!id) return false;
  return library_->performChangesAndWait(
                     [&](ChangeRequests& changes) { changes.addAssets(group.persistentID, {*id}); })
      .ok();
}

}  // namespace platform::photos
