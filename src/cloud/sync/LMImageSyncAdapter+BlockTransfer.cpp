// Block transfers of stored images: one encrypted block up to a storage
// node, a whole image down from its block list. The storage helper does the
// work; here its transfers go onto the adapter's data-request queue, so that
// suspending or cancelling the adapter reaches them.
#include "cloud/kss/LMKssDescription.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/request/LMDataRequestOperation.h"
#include "platform/JsonValues.h"
#include "platform/http/UrlError.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {

LMKssFileHelper::Transfer LMImageSyncAdapter::dataRequestTransfer() {
  return [this](const std::shared_ptr<LMDataRequestOperation>& operation) {
    // A transfer asked for after a cancel never reaches the network: it is
    // cancelled before the queue can start it. cancelSync marks the adapter
    // before it cancels the queue's operations, so one that slipped in
    // between is cancelled just after.
    if (isCancelled()) operation->cancel();
    dataRequestOperationQueue().addOperation(operation);
    if (isCancelled()) operation->cancel();
  };
}

void LMImageSyncAdapter::requestUploadKSSBlockUrl(const std::string& blockUrl, const platform::Bytes& blockData,
                                                  const platform::Json& fileMeta, const platform::Json& blockMeta,
                                                  std::uint64_t chunkPos, std::optional<std::int64_t> bodySum,
                                                  LMKssFileHelper::SendDataBlock didSendDataBlock,
                                                  const LMKssFileHelper::UploadFinish& finish) {
  LMKssFileHelper::uploadKSSBlockUrl(
      blockUrl, blockData, fileMeta, blockMeta, bodySum ? platform::Json(*bodySum) : platform::Json(),
      std::move(didSendDataBlock), finish, chunkPos, dataRequestTransfer());
}

platform::Result<LMKssFileHelper::FileResult> LMImageSyncAdapter::downloadImage(const LMImage& image,
                                                                               const DownloadDataBlock& progress) {
  if (!image.serverID) {
    return LMUtils::invalidParametersError();
  }
  auto reply = requestImageDownloadBlocksWithImageID(*image.serverID)->result();
  if (!reply.ok()) return reply.error();
  const platform::Json* kss = nullptr;
  if (reply->is_object() && reply->contains("data") && (*reply)["data"].is_object()) {
    auto found = (*reply)["data"].find("kss");
    if (found != (*reply)["data"].end() && platform::isNonEmptyObject(*found)) kss = &*found;
  }
  if (!kss) {
    platform::Error error = LMKssError("The kss data is not found.");
    LM_LOG_ERROR("{}", error.description());
    return error;
  }

  const std::int64_t size = image.size.value_or(0);
  LMKssFileHelper::ReadDataBlock read;
  if (progress) {
    read = [progress, size](std::int64_t now, std::int64_t soFar, std::int64_t) { progress(now, soFar, size); };
  }
  // The download's name is this sync's own: whatever an earlier run or
  // anyone else left there goes first (a link itself, never what it leads
  // to), as it goes once the image is in the library.
  if (image.fileName) removeImageObjectWithFileName(*image.fileName);
  auto result = LMKssFileHelper::downloadKssFile(*kss, image.fileName, read, dataRequestTransfer());
  if (!result.ok() && platform::http::isCancelledError(result.error())) {
    platform::Error cancelled = LMUtils::localErrorWithErrorCode(
        kLMLocalErrorCancelled,
        {{kLMErrorReasonKey, "Downloading image is cancelled."}, {kLMErrorDescriptionKey, kLMErrorTitleSync}});
    LM_LOG_ERROR("{}", cancelled.description());
    return cancelled;
  }
  return result;
}

void LMImageSyncAdapter::downloadDataFromImageObject(const LMImage& image,
                                                     const DownloadDataBlock& downloadDataBlock,
                                                     const LMKssFileHelper::DownloadFinish& finish) {
  auto result = downloadImage(image, downloadDataBlock);
  if (!finish) return;
  if (result.ok()) {
    finish(std::move(*result), std::nullopt);
  } else {
    finish(std::nullopt, result.error());
  }
}

}  // namespace lumora
