// The gallery store's door to the photo library: access, change observers,
// the albums that take part in the sync, lookups, and the writes a download
// makes (new albums, new photos and videos, membership).
#include <filesystem>
#include <system_error>

#include "cloud/model/LMManagedAssetContext.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "platform/device/Device.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"

namespace lumora {
namespace {

namespace photos = platform::photos;
using photos::AssetCollection;
using photos::CollectionSubtype;
using photos::CollectionType;
using photos::PhotoLibrary;

std::shared_ptr<PhotoLibrary> library() { return PhotoLibrary::sharedPhotoLibrary(); }

template <class T>
std::optional<T> onlyOne(std::vector<T> found) {
  if (found.size() != 1) return std::nullopt;
  return std::move(found.front());
}

void appendWithSubtype(std::vector<AssetCollection>& into, CollectionType type, CollectionSubtype subtype) {
  for (auto& album : library()->fetchAssetCollectionsWithType(type, subtype)) {
    if (album.collectionSubtype == subtype) into.push_back(std::move(album));
  }
}

bool isCameraRoll(const AssetCollection& group) {
  return group.collectionType == CollectionType::SmartAlbum &&
         group.collectionSubtype == CollectionSubtype::SmartAlbumUserLibrary;
}

}  // namespace

bool LMManagedAssetContext::isPhotoLibraryAuthorized() {
  return PhotoLibrary::authorizationStatus() == photos::AuthorizationStatus::Authorized;
}

void LMManagedAssetContext::requestPhotoLibraryAuthorized(std::function<void(bool authorized, bool asked)> completion) {
  switch (PhotoLibrary::authorizationStatus()) {
    case photos::AuthorizationStatus::Authorized:
      if (completion) completion(true, false);
      return;
    case photos::AuthorizationStatus::NotDetermined:
      // The older interface asks the user itself on first use.
      if (!platform::Device::systemVersionIsAtLeast(8.0)) {
        if (completion) completion(true, true);
        return;
      }
      PhotoLibrary::requestAuthorization([completion = std::move(completion)](photos::AuthorizationStatus status) {
        if (!completion) return;
        const bool granted = status == photos::AuthorizationStatus::Authorized;
        platform::MainQueue::runOrPost([completion, granted] { completion(granted, true); });
      });
      return;
    default:
      if (completion) completion(false, false);
      return;
  }
}

void LMManagedAssetContext::addPhotoChangeNotificationObserver(
    const std::shared_ptr<photos::ChangeObserver>& observer, const std::function<void()>& finish) {
  if (!isPhotoLibraryAuthorized() || !observer || !observer->photoLibraryDidChange) return;
  if (platform::Device::systemVersionIsAtLeast(8.0)) {
    library()->registerChangeObserver(observer);
  } else {
    // The older interface reports changes through the notification centre,
    // for as long as a library exists.
    auto assets = std::make_shared<photos::AssetsLibrary>();
    assets->enumerateGroupsWithTypes(photos::kGroupSavedPhotos, nullptr, nullptr);
    std::weak_ptr<photos::ChangeObserver> weak = observer;
    const auto token = platform::NotificationCenter::defaultCenter().addObserver(
        photos::AssetsLibrary::kChangedNotification, [weak](const std::string&, const platform::Json&) {
          if (auto target = weak.lock(); target && target->photoLibraryDidChange) target->photoLibraryDidChange({});
        });
    std::lock_guard<std::mutex> guard(mutex_);
    assetsLibrary_ = std::move(assets);
    changeTokens_.emplace_back(weak, token);
  }
  if (finish) finish();
}

void LMManagedAssetContext::removePhotoChangeNotificationObserver(
    const std::shared_ptr<photos::ChangeObserver>& observer) {
  if (platform::Device::systemVersionIsAtLeast(8.0)) {
    library()->unregisterChangeObserver(observer);
    return;
  }
  std::vector<std::uint64_t> tokens;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::erase_if(changeTokens_, [&](const auto& entry) {
      auto held = entry.first.lock();
      if (held && held != observer) return false;
      tokens.push_back(entry.second);
      return true;
    });
  }
  for (auto token : tokens) platform::NotificationCenter::defaultCenter().removeObserver(token);
}

std::optional<photos::Asset> LMManagedAssetContext::assetImageWithAssetID(const std::optional<std::string>& assetID) {
  if (!assetID || assetID->empty()) return std::nullopt;
  return onlyOne(library()->fetchAssetsWithLocalIdentifiers({*assetID}));
}

std::optional<AssetCollection> LMManagedAssetContext::assetsGroupWithAlbumId(const std::optional<std::string>& albumID) {
  if (!albumID || albumID->empty()) return std::nullopt;
  return onlyOne(library()->fetchAssetCollectionsWithLocalIdentifiers({*albumID}));
}

std::vector<AssetCollection> LMManagedAssetContext::allSyncAssetsGroups() {
  std::vector<AssetCollection> groups = library()->fetchTopLevelUserCollections();
  appendWithSubtype(groups, CollectionType::SmartAlbum, CollectionSubtype::SmartAlbumUserLibrary);
  appendWithSubtype(groups, CollectionType::Album, CollectionSubtype::AlbumSyncedEvent);
  appendWithSubtype(groups, CollectionType::Album, CollectionSubtype::AlbumSyncedAlbum);
  appendWithSubtype(groups, CollectionType::Album, CollectionSubtype::AlbumImported);
  return groups;
}

std::vector<platform::Error> LMManagedAssetContext::unreadLibraryFolders() { return library()->unreadFolders(); }

std::optional<AssetCollection> LMManagedAssetContext::userLibraryAssetsGroup() {
  std::vector<AssetCollection> found;
  appendWithSubtype(found, CollectionType::SmartAlbum, CollectionSubtype::SmartAlbumUserLibrary);
  if (found.empty()) return std::nullopt;
  return found.back();
}

platform::Result<AssetCollection> LMManagedAssetContext::addAssetsGroupWithName(const std::string& name) {
  std::string created;
  auto status = library()->performChangesAndWait([&](photos::ChangeRequests& changes) {
    created = changes.creationRequestForAssetCollectionWithTitle(name);
  });
  if (!status) return status.error();
  auto album = assetsGroupWithAlbumId(created);
  if (!album) {
    // The library said yes but has no such album: the caller needs one.
    return LMUtils::localErrorWithErrorCode(
        kLMLocalErrorAssetsGroup,
        {{kLMErrorReasonKey, "Create album fail"}, {kLMErrorDescriptionKey, kLMErrorTitleAssetsGroup}});
  }
  return std::move(*album);
}

platform::Status LMManagedAssetContext::addAssetImage(const photos::Asset& asset, const AssetCollection& group) {
  return library()->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.addAssets(group.localIdentifier, {asset.localIdentifier});
  });
}

platform::Result<photos::Asset> LMManagedAssetContext::addAssetSource(const std::string& path, bool isVideo,
                                                                      const AssetCollection& group) {
  auto missing = [](const char* reason) {
    return LMUtils::localErrorWithErrorCode(kLMLocalErrorGeneral,
                                            {{kLMErrorReasonKey, reason}, {kLMErrorDescriptionKey, kLMErrorTitlePhoto}});
  };
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return missing("Missing temporary file.");
  std::string created;
  auto status = library()->performChangesAndWait([&](photos::ChangeRequests& changes) {
    created = isVideo ? changes.creationRequestForAssetFromVideoAtFileURL(path)
                      : changes.creationRequestForAssetFromImageAtFileURL(path);
    if (!isCameraRoll(group)) changes.addAssets(group.localIdentifier, {created});
  });
  if (!status) return status.error();
  auto asset = assetImageWithAssetID(created);
  if (!asset) return missing("The saved asset cannot be found.");
  return std::move(*asset);
}

platform::Status LMManagedAssetContext::deleteAsset(const photos::Asset& asset, const AssetCollection& group) {
  if (!group.canPerformEditOperation(photos::EditOperation::RemoveContent)) {
    return LMUtils::localErrorWithErrorCode(kLMLocalErrorUnsupportedOperation,
                                            {{kLMErrorReasonKey, "Can't remove asset from album."},
                                             {kLMErrorDescriptionKey, kLMErrorTitleUnsupportedOperation}});
  }
  auto again = assetImageWithAssetID(asset.localIdentifier);
  return library()->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.removeAssets(group.localIdentifier, {again ? again->localIdentifier : asset.localIdentifier});
  });
}

}  // namespace lumora
