// The backup of one exported image: found in the cloud through the
// delegate, or uploaded block by block and committed; then its relation row.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "cloud/kss/LMKssEncryptedBody.h"
#include "cloud/kss/LMKssKeyStream.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/model/LMAssetJSON.h"
#include "cloud/model/LMBlockDigests.h"
#include "platform/Bytes.h"
#include "platform/PrintableText.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/UrlError.h"
#include "platform/photos/AssetFile.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

platform::Error loggedUploadFailure(platform::Error error) {
  LM_LOG_ERROR("{}", error.description());
  return error;
}

platform::Error uploadFailedError() {
  return loggedUploadFailure(LMUtils::errorForLumoraUnknownErrorWithUserInfo(
      {{kLMErrorReasonKey, "The operation of uploading image is failed."}, {kLMErrorDescriptionKey, "Unknown Error"}}));
}

platform::Error noNodeError() {
  return loggedUploadFailure(LMUtils::errorForLumoraUnknownErrorWithUserInfo(
      {{kLMErrorReasonKey, "No node to upload image block."}, {kLMErrorDescriptionKey, "Unknown Error"}}));
}

platform::Error noTemporaryDataError() {
  return loggedUploadFailure(LMUtils::localErrorWithErrorCode(
      kLMLocalErrorGeneral,
      {{kLMErrorReasonKey, "No temp image data to read."}, {kLMErrorDescriptionKey, "Unknown Error"}}));
}

bool isTrue(const platform::Json& object, const char* key) {
  return assetjson::integerAt(object, key).value_or(0) != 0;
}

// Removes the exported file when it goes out of scope (whatever lies at
// its name but a folder; a link itself, never what it points to).
class TemporaryFileRemoval {
 public:
  explicit TemporaryFileRemoval(const std::optional<std::string>& path) : path_(path) {}
  ~TemporaryFileRemoval() {
    if (path_ && !path_->empty()) (void)LMUtils::removeTransferFile(*path_);
  }
  TemporaryFileRemoval(const TemporaryFileRemoval&) = delete;
  TemporaryFileRemoval& operator=(const TemporaryFileRemoval&) = delete;

 private:
  std::optional<std::string> path_;
};

// What the gallery says about storing one file: the node, the file's meta,
// the key and one entry per block of the file.
struct StoragePlan {
  std::string node;
  platform::Json fileMeta;
  platform::Bytes key;
  platform::Json blocks;
};

platform::Result<StoragePlan> readStoragePlan(const platform::Json& kss, std::int64_t size) {
  StoragePlan plan;
  auto blocks = kss.find("block_metas");
  const std::int64_t blockCount = size > 0 ? (size + kLMBlockSize - 1) / kLMBlockSize : 0;
  // Exactly one entry per block of the file: a shorter list would commit
  // part of the file, a longer one cannot be filled.
  if (blocks == kss.end() || !blocks->is_array() || static_cast<std::int64_t>(blocks->size()) != blockCount) {
    LM_LOG_ERROR("The storage lists {} blocks for a file of {}", blocks != kss.end() && blocks->is_array()
                                                                     ? std::to_string(blocks->size())
                                                                     : std::string("no"),
                 blockCount);
    return uploadFailedError();
  }
  for (const auto& block : *blocks) {
    if (!block.is_object()) return uploadFailedError();
  }
  plan.blocks = *blocks;
  plan.fileMeta = kss.value("file_meta", platform::Json());
  auto keyText = assetjson::textAt(kss, "secure_key");
  auto key = keyText ? platform::hexData(*keyText) : std::nullopt;
  if (!key || key->empty()) {
    LM_LOG_ERROR("The storage key is missing or not hexadecimal");
    return uploadFailedError();
  }
  plan.key = std::move(*key);
  auto nodes = assetjson::listAt(kss, "node_urls");
  if (!nodes || !nodes->is_array() || !(*nodes)[0].is_string() || (*nodes)[0].get<std::string>().empty()) {
    return noNodeError();
  }
  plan.node = (*nodes)[0].get<std::string>();
  return plan;
}

// The exported file (or the library's own), read one block at a time.
class BlockFile {
 public:
  ~BlockFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // The exported file, else the library's own. A failure at the library's
  // file is the library's answer about the asset: gone when its file is no
  // longer at its path (moved or removed since the export), not a failure;
  // else unreadable, told by its name. The exported file is the app's own.
  platform::Status open(const LMImage& image) {
    if (image.filePath) {
      path_ = *image.filePath;
      fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ >= 0) return platform::Status::success();
      if (errno == ENOENT) return noTemporaryDataError();
      return exportedFileError(errno);
    }
    if (!image.libraryFilePath) return noTemporaryDataError();
    path_ = *image.libraryFilePath;
    library_ = true;
    auto opened = platform::photos::openAssetFile(path_, &opened_);
    if (opened) {
      fd_ = *opened;
      // Another size than the export digested: changed since.
      if (image.size && opened_.st_size != *image.size) {
        return loggedUploadFailure(platform::photos::assetFileChangedError(path_));
      }
      return platform::Status::success();
    }
    const int answer = static_cast<int>(opened.error().code());
    const platform::Error error = platform::photos::assetFileReadError(answer, path_);
    if (!platform::photos::isGoneFileCode(answer)) return loggedUploadFailure(error);
    LM_LOG_INFO("{} is no longer in the library", platform::photos::libraryPathText(path_));
    return error;
  }

  // Exactly `length` bytes from `offset`; a file that ends before is the
  // missing-data error (for the library's file: one changed since it was
  // digested, as is one written since it was opened).
  platform::Status read(std::int64_t offset, std::size_t length, platform::Bytes& into) {
    into.resize(length);
    for (std::size_t done = 0; done < length;) {
      ssize_t got = ::pread(fd_, into.data() + done, length - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && library_) return loggedUploadFailure(platform::photos::assetFileReadError(errno, path_));
      if (got < 0) return exportedFileError(errno);
      if (got == 0 && library_) return loggedUploadFailure(platform::photos::assetFileChangedError(path_));
      if (got == 0) return noTemporaryDataError();
      done += static_cast<std::size_t>(got);
    }
    // Grown or written meanwhile: what was read may be part old, part new.
    if (library_ && platform::photos::assetFileChangedSince(fd_, opened_)) {
      return loggedUploadFailure(platform::photos::assetFileChangedError(path_));
    }
    return platform::Status::success();
  }

 private:
  platform::Error exportedFileError(int code) const {
    const std::string name = platform::printablePath(path_.filename());
    return loggedUploadFailure(platform::posixError(code, "Cannot read the exported copy of " + name));
  }

  std::filesystem::path path_;
  bool library_ = false;
  struct stat opened_ {};  // the library's file as opened
  int fd_ = -1;
};

}  // namespace

platform::Result<LMImage> LMImageSyncAdapter::uploadImageBlocks(const LMImage& image) {
  auto asked = requestImageUploadUrlsWithImage(image)->result();
  if (!asked.ok()) return asked.error();
  if (auto state = checkSyncState(); !state) return state.error();
  auto data = assetjson::dictionaryAt(*asked, "data");
  auto content = data ? assetjson::dictionaryAt(*data, "content") : std::nullopt;
  if (!content) return uploadFailedError();
  LMImage serverImage = LMImage::initWithLumoraJSON(*content);
  serverImage.assetID = image.assetID;
  if (isTrue(*data, "fileExists")) return serverImage;
  // The commit names the image: without its id nothing is sent.
  if (!serverImage.serverID) return uploadFailedError();

  auto kss = assetjson::dictionaryAt(*data, "kss");
  if (!kss) return uploadFailedError();
  const std::int64_t size = image.size.value_or(0);
  auto plan = readStoragePlan(*kss, size);
  if (!plan.ok()) return plan.error();
  // Every block restarts the key stream (RC4 under the key, afresh for each
  // block): it is made once, from now on, while the first block is read and
  // its transfer set up.
  std::shared_ptr<LMKssKeyStream> keyStream;
  if (std::any_of(plan->blocks.begin(), plan->blocks.end(),
                  [](const platform::Json& entry) { return !isTrue(entry, "is_existed"); })) {
    keyStream = LMKssKeyStream::start(plan->key, static_cast<std::size_t>(std::min(kLMBlockSize, size)));
  }
  BlockFile file;
  if (auto opened = file.open(image); !opened.ok()) {
    return opened.error();
  }

  // Progress goes to the main thread without holding up the transfer.
  std::weak_ptr<LMImageSyncAdapterDelegate> weakDelegate = delegate();
  auto target = weakDelegate.lock();
  const bool reportsProgress = target && target->didAdapterUploadImageBytesWritten;
  target.reset();
  auto reported = std::make_shared<const LMImage>(serverImage);

  platform::Json commits = platform::Json::array();
  std::optional<platform::Error> failure;
  std::shared_ptr<platform::Bytes> block;
  {
    std::lock_guard<std::mutex> guard(blockBufferMutex_);
    block.swap(blockBuffer_);
  }
  if (!block) block = std::make_shared<platform::Bytes>();
  // Handed back for the next upload, whichever way this one ends.
  struct GiveBack {
    LMImageSyncAdapter& adapter;
    std::shared_ptr<platform::Bytes>& block;
    ~GiveBack() {
      std::lock_guard<std::mutex> guard(adapter.blockBufferMutex_);
      adapter.blockBuffer_ = std::move(block);
    }
  } giveBack{*this, block};
  std::int64_t offset = 0;
  for (const auto& entry : plan->blocks) {
    if (isTrue(entry, "is_existed")) {
      commits.push_back({{"commit_meta", entry.value("commit_meta", platform::Json())}});
      offset += kLMBlockSize;
      continue;
    }
    if (auto state = checkSyncState(); !state) {
      failure = state.error();
      break;
    }
    const auto length = static_cast<std::size_t>(std::min(kLMBlockSize, size - offset));
    // The last block's buffer is reused once its transfer has let it go.
    if (block.use_count() > 1) block = std::make_shared<platform::Bytes>();
    if (auto read = file.read(offset, length, *block); !read.ok()) {
      failure = read.error();
      break;
    }
    LMKssFileHelper::SendDataBlock progress;
    if (reportsProgress) {
      progress = [weakDelegate, reported, offset](std::int64_t written, std::int64_t total, std::int64_t) {
        platform::MainQueue::main().async([weakDelegate, reported, offset, written, total] {
          auto target = weakDelegate.lock();
          if (!target || !target->didAdapterUploadImageBytesWritten) return;
          target->didAdapterUploadImageBytesWritten(*reported, written, offset + total,
                                                    reported->size.value_or(0));
        });
      };
    }
    // Encrypted as it goes out.
    auto commitMeta = LMKssFileHelper::uploadKssBlock(plan->node, LMKssEncryptedBody::source(block, keyStream),
                                                      plan->fileMeta, entry.value("block_meta", platform::Json()),
                                                      platform::Json(), progress, 0, dataRequestTransfer());
    if (!commitMeta.ok()) {
      failure = commitMeta.error();
      break;
    }
    commits.push_back({{"commit_meta", std::move(*commitMeta)}});
    offset += kLMBlockSize;
  }
  if (failure) {
    if (platform::http::isCancelledError(*failure)) {
      return cancellationError();
    }
    return *failure;
  }
  if (auto state = checkSyncState(); !state) return state.error();
  auto confirmed = requestImageConfirmWithImageID(*serverImage.serverID, plan->fileMeta, commits)->result();
  if (!confirmed.ok()) return confirmed.error();
  auto confirmedData = assetjson::dictionaryAt(*confirmed, "data");
  auto stored = confirmedData ? assetjson::dictionaryAt(*confirmedData, "content") : std::nullopt;
  if (!stored) return uploadFailedError();
  return LMImage::initWithLumoraJSON(*stored);
}

void LMImageSyncAdapter::uploadImage(const LMImage& image,
                                     const std::function<void(const LMImage& serverImage)>& success,
                                     const FailBlock& fail) {
  platform::Result<LMImage> outcome = [&] {
    TemporaryFileRemoval removal(image.filePath);
    return uploadImageBlocks(image);
  }();
  if (outcome.ok()) {
    if (success) success(*outcome);
  } else if (fail) {
    fail(outcome.error());
  }
}

platform::Status LMImageSyncAdapter::backupImage(LMImage& image) {
  std::optional<LMImage> serverImage;
  {
    TemporaryFileRemoval removal(image.filePath);
    if (auto target = delegate(); target && target->serverImageInSameAlbumImage) {
      serverImage = target->serverImageInSameAlbumImage(image);
      // An answer without a cloud id names nothing to record.
      if (serverImage && !serverImage->serverID) serverImage.reset();
    }
    if (!serverImage) {
      auto uploaded = uploadImageBlocks(image);
      if (!uploaded.ok()) return uploaded.error();
      serverImage = std::move(*uploaded);
    }
  }
  image.image.reset();

  LMImageRelation relation;
  relation.assetID = image.assetID;
  relation.serverID = serverImage->serverID;
  relation.serverSync = serverImage->sync;
  relation.assetGroupID = image.assetGroupID;
  relation.sha1 = serverImage->sha1;
  relation.size = image.size;
  if (auto saved = saveImageRelation(relation); !saved.ok()) return saved.error();
  return checkSyncState();
}

}  // namespace lumora
