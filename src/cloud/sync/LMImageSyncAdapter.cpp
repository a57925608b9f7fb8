#include "cloud/sync/LMImageSyncAdapter.h"

#include <algorithm>
#include <sstream>
#include <system_error>
#include <utility>

#include "account/QBPassport.h"
#include "cloud/model/LMImage.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/Bytes.h"
#include "platform/PrintableText.h"
#include "platform/http/UrlError.h"

namespace lumora {
namespace {

// The system's own album names, in the languages the phone shows them.
constexpr const char* kReservedAlbumNames =
    "我的照片,截屏,截图,my photo,my photos,screenshot,screenshots,我的照片,截圖,camera photos,相机,相機";

const std::set<std::string>& reservedAlbumNames() {
  static const auto& names = *new std::set<std::string>([] {
    std::set<std::string> set;
    std::stringstream text(kReservedAlbumNames);
    for (std::string name; std::getline(text, name, ',');) set.insert(name);
    return set;
  }());
  return names;
}

}  // namespace

std::shared_ptr<LMImageSyncAdapter> LMImageSyncAdapter::sharedAdapter() {
  static std::once_flag once;
  static auto& shared = *new std::shared_ptr<LMImageSyncAdapter>();
  std::call_once(once, [] {
    reservedAlbumNames();
    shared = std::make_shared<LMImageSyncAdapter>();
  });
  return shared;
}

LMImageSyncAdapter::~LMImageSyncAdapter() = default;

// ---- Members ----

platform::SerialQueue& LMImageSyncAdapter::dispatchQueue() {
  std::lock_guard<std::mutex> guard(memberMutex_);
  if (!dispatchQueue_) dispatchQueue_ = std::make_unique<platform::SerialQueue>(kGalleryQueueLabel);
  return *dispatchQueue_;
}

// ---- Rules ----

bool LMImageSyncAdapter::isAlbumNameReserved(const std::optional<std::string>& name) {
  if (!name || name->empty()) return false;
  return reservedAlbumNames().contains(platform::lowerCased(*name));
}

bool LMImageSyncAdapter::shouldStopBackupImageWithError(const platform::Error& error) {
  const std::string& domain = error.domain();
  const std::int64_t code = error.code();
  auto among = [code](std::initializer_list<std::int64_t> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  };
  bool stop = false;
  if (domain == platform::kPOSIXErrorDomain) {
    stop = true;
  } else if (domain == kLMLocalErrorDomain) {
    stop = code == kLMLocalErrorCancelled;
  } else if (domain == platform::http::kURLErrorDomain) {
    // Authentication cancelled, offline, DNS failure, connection lost,
    // cannot connect, cannot find host.
    stop = among({-1012, -1009, -1006, -1005, -1004, -1003});
  } else if (domain == platform::photos::kAssetsLibraryErrorDomain) {
    stop = among({-3312, -3311, -3310});
  } else if (domain == kLMServerErrorDomain) {
    stop = among({50006, 50009, 50021});
  } else if (domain == QBPassport::kErrorDomain) {
    stop = among({81003, 70016});
  }
  return stop;
}

// ---- Album relation and cached files ----

platform::Status LMImageSyncAdapter::saveRelationServerAlbum(const LMAlbum& serverAlbum,
                                                            const platform::photos::AssetCollection& localAlbum) {
  return saveAlbumRelation(serverAlbum, LMAlbum::initWithAssetsGroup(&localAlbum));
}

platform::Status LMImageSyncAdapter::saveRelationServerAlbum(const LMAlbum& serverAlbum,
                                                            platform::photos::AssetsGroup localAlbum,
                                                            platform::photos::AssetsLibrary& library) {
  return saveAlbumRelation(serverAlbum, LMAlbum::initWithAssetsGroup(&localAlbum, library));
}

platform::Status LMImageSyncAdapter::saveAlbumRelation(const LMAlbum& serverAlbum,
                                                      const std::optional<LMAlbum>& localAlbum) {
  // An album of the other interface fills nothing: a relation without its
  // local album would bind nothing.
  if (!localAlbum || !localAlbum->assetID || localAlbum->assetID->empty()) {
    platform::Error error = LMUtils::localErrorWithErrorCode(
        kLMLocalErrorGeneral,
        {{kLMErrorReasonKey, "The local album has no identifier."}, {kLMErrorDescriptionKey, kLMErrorTitlePhoto}});
    LM_LOG_ERROR("{}", error.description());
    return error;
  }
  auto store = context();
  auto found = store->searchAlbumRelationByAssetID(localAlbum->assetID);
  if (!found) return found.error();
  LMAlbumRelation relation = found->value_or(LMAlbumRelation());
  relation.assetID = localAlbum->assetID;
  relation.serverID = serverAlbum.serverID;
  relation.serverSync = serverAlbum.sync;
  // The store's answer is not examined: a row it refused is made again by
  // the next download or backup of the album.
  if (*found) {
    store->updateAlbumRelation(relation);
  } else {
    store->addAlbumRelation(relation);
  }
  return platform::Status::success();
}

platform::Status LMImageSyncAdapter::saveImageRelation(const LMImageRelation& values) {
  auto store = context();
  LMImageRelation relation = values;
  relation.primaryID.reset();
  auto found = store->searchImageRelationByServerID(values.serverID, values.assetID, values.assetGroupID);
  if (!found) return found.error();
  if (*found) relation.primaryID = (*found)->primaryID;
  const bool saved = relation.primaryID ? store->updateImageRelation(relation) : store->addImageRelation(relation);
  if (saved) return platform::Status::success();
  platform::Error error = LMUtils::localErrorWithErrorCode(
      kLMLocalErrorDatabase,
      {{kLMErrorReasonKey, "The image relation cannot be saved."}, {kLMErrorDescriptionKey, kLMErrorTitleDatabase}});
  LM_LOG_ERROR("{}", error.description());
  return error;
}

void LMImageSyncAdapter::removeImageObjectWithFileName(const std::string& fileName) {
  // Only in the downloads' own folder. A folder at the name (a crash or an
  // older version may leave one) is the sync's own too: it goes with what
  // it holds, never followed out through a link.
  const auto path = LMUtils::fileInDirectory(LMUtils::imageTransferDirectory(), fileName);
  if (!path) {
    LM_LOG_ERROR("Not removing a cached file: \"{}\" is not a plain file name", platform::printableText(fileName));
    return;
  }
  if (auto removed = LMUtils::removeTransferFile(*path, /*folderToo=*/true); !removed.ok()) {
    LM_LOG_ERROR("{}", removed.error().description());
  }
}

// ---- Suspension, resumption, cancellation ----

platform::Error LMImageSyncAdapter::cancellationError() {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorCancelled,
      {{kLMErrorReasonKey, "Backup process is cancelled."}, {kLMErrorDescriptionKey, kLMErrorTitleSync}});
}

bool LMImageSyncAdapter::suspendSync() {
  std::lock_guard<std::recursive_mutex> guard(stateLock_);
  if (!isSyncing() || isCancelled() || isSuspended()) return false;
  setSuspended(true);
  dataRequestOperationQueue().setSuspended(true);
  return true;
}

bool LMImageSyncAdapter::resumeSync() {
  std::lock_guard<std::recursive_mutex> guard(stateLock_);
  if (!isSyncing() || isCancelled() || !isSuspended()) return false;
  setSuspended(false);
  if (suspendSemaphore_) suspendSemaphore_->signal();
  dataRequestOperationQueue().setSuspended(false);
  return true;
}

bool LMImageSyncAdapter::cancelSync() {
  std::lock_guard<std::recursive_mutex> guard(stateLock_);
  if (!isSyncing() || isCancelled()) return false;
  setCancelled(true);
  if (isSuspended()) {
    setSuspended(false);
    if (suspendSemaphore_) suspendSemaphore_->signal();
  }
  LMImage::cancelAllAssetsRequest();
  dataRequestOperationQueue().setSuspended(false);
  dataRequestOperationQueue().cancelAllOperations();
  return true;
}

platform::Status LMImageSyncAdapter::checkSyncState() {
  std::shared_ptr<platform::Semaphore> semaphore;
  {
    std::lock_guard<std::recursive_mutex> guard(stateLock_);
    if (!isSyncing()) return platform::Status::success();
    if (isCancelled()) return cancellationError();
    if (!isSuspended()) return platform::Status::success();
    if (!suspendSemaphore_) suspendSemaphore_ = std::make_shared<platform::Semaphore>(0);
    semaphore = suspendSemaphore_;
  }
  // A user's pause has no deadline: the run waits until resumed or cancelled.
  semaphore->wait();
  std::lock_guard<std::recursive_mutex> guard(stateLock_);
  if (suspendSemaphore_ == semaphore) suspendSemaphore_.reset();
  if (isCancelled()) return cancellationError();
  return platform::Status::success();
}

}  // namespace lumora
