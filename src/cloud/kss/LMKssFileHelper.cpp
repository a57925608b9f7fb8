#include "cloud/kss/LMKssFileHelper.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "cloud/kss/LMKssBlockStream.h"
#include "cloud/kss/LMKssDescription.h"
#include "cloud/request/LMDataRequestOperation.h"
#include "cloud/request/LMHTTPRequestSerialization.h"
#include "cloud/request/LMHTTPResponseSerialization.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/http/UrlError.h"
#include "platform/storage/OwnFile.h"
#include "utils/LMErrors.h"
#include "utils/LMLogRedaction.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

constexpr int kAttempts = 3;
constexpr const char* kBlockCompleted = "BLOCK_COMPLETED";

struct Outcome {
  std::optional<platform::Bytes> data;
  std::optional<platform::Error> error;
  std::optional<platform::http::Response> response;
};

// Runs the operation (the caller's way, or on its own) until it has ended.
Outcome runAndWait(const std::shared_ptr<LMDataRequestOperation>& operation,
                   const LMKssFileHelper::Transfer& transfer) {
  if (transfer) {
    transfer(operation);
  } else {
    operation->start();
  }
  operation->waitUntilFinished();
  return Outcome{operation->responseData(), operation->error(), operation->response()};
}

// Where the blocks of a download go: a file in the caches directory, or
// memory. A file is written on a writer thread of its own, one block at a
// time, while the next block comes in; a block's buffer comes back for the
// next block once it is written.
class Destination {
 public:
  ~Destination() {
    (void)settle();  // a failed download: the file keeps what was written
    if (fd_ >= 0) ::close(fd_);
  }

  // Creates or empties the file: only a file of the downloads' own (a
  // symbolic link or a pipe in its place is refused, left as it lies; a
  // file with a second name is replaced, the other name keeping its bytes).
  platform::Status openFile(const std::string& path) {
    fd_ = platform::openOwnFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd_ < 0) return platform::posixError(errno, "Cannot open " + path);
    path_ = path;
    writer_ = std::make_unique<platform::SerialQueue>("LMKssFileWriter");
    return platform::Status::success();
  }

  // Takes a checked block; a failure of the block written before it.
  platform::Status append(platform::Bytes block) {
    if (!writer_) {
      bytes_.insert(bytes_.end(), block.begin(), block.end());
      free_ = std::move(block);
      return platform::Status::success();
    }
    if (auto written = settle(); !written.ok()) return written;
    std::lock_guard<std::mutex> guard(pending_->mutex);
    pending_->busy = true;
    writer_->async([pending = pending_, fd = fd_, path = path_, block = std::move(block)]() mutable {
      platform::Status status = writeAll(fd, block, path);
      std::lock_guard<std::mutex> guard(pending->mutex);
      pending->status = std::move(status);
      pending->spare = std::move(block);
      pending->busy = false;
      pending->done.notify_all();
    });
    return platform::Status::success();
  }

  // A block buffer to fill again (empty when none is free yet).
  platform::Bytes spare() { return std::move(free_); }

  // Closes the file once every block is written; the path, or the bytes
  // collected.
  platform::Result<LMKssFileHelper::FileResult> finish() {
    if (!writer_) return LMKssFileHelper::FileResult(std::move(bytes_));
    if (auto written = settle(); !written.ok()) return written.error();
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return platform::posixError(errno, "Cannot write " + path_);
    return LMKssFileHelper::FileResult(path_);
  }

 private:
  struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    bool busy = false;
    platform::Status status;
    platform::Bytes spare;
  };

  static platform::Status writeAll(int fd, const platform::Bytes& block, const std::string& path) {
    if (platform::writeWhole(fd, block.data(), block.size())) return platform::Status::success();
    return platform::posixError(errno, "Cannot write " + path);
  }

  // Waits for the block being written; how its write went.
  platform::Status settle() {
    if (!writer_) return platform::Status::success();
    std::unique_lock<std::mutex> lock(pending_->mutex);
    pending_->done.wait(lock, [this] { return !pending_->busy; });
    if (!pending_->spare.empty()) free_ = std::move(pending_->spare);
    return pending_->status;
  }

  int fd_ = -1;
  std::string path_;
  std::unique_ptr<platform::SerialQueue> writer_;
  std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
  platform::Bytes bytes_;
  platform::Bytes free_;
};

// One block: up to three attempts, rotating through its addresses. The
// plain block, or the last attempt's error.
platform::Result<platform::Bytes> downloadBlock(const LMKssBlock& block,
                                                const std::shared_ptr<LMKssKeyStream>& keyStream,
                                                std::int64_t index, std::uint64_t taken,
                                                const LMKssFileHelper::ReadDataBlock& progress,
                                                platform::Bytes buffer,
                                                const LMKssFileHelper::Transfer& transfer) {
  platform::Error error;
  for (std::size_t attempt = 0; attempt < kAttempts; ++attempt) {
    platform::http::Request request;
    request.url = attempt < block.urls.size() ? block.urls[attempt] : block.urls.front();
    auto operation = LMDataRequestOperation::initWithRequest(std::move(request));
    auto stream = std::make_shared<LMKssBlockStream>(keyStream, block.size, std::move(buffer));
    operation->setOutputStream(stream);
    if (progress) {
      const auto size = static_cast<std::int64_t>(block.size);
      const auto before = static_cast<std::int64_t>(taken);
      operation->setReadDataBlock([progress, size, before, index](std::int64_t now, std::int64_t total,
                                                                  std::int64_t) {
        progress(now, before + std::min(total, size), index);
      });
    }
    Outcome outcome = runAndWait(operation, transfer);
    if (outcome.error) {
      error = *outcome.error;
      if (platform::http::isCancelledError(error)) break;
      platform::consoleLog("Block download failed: " + error.description());
      buffer = stream->takeBuffer();
      continue;
    }
    auto plain = stream->takeVerifiedBlock(block.sha1);
    if (plain.ok()) return plain;
    error = plain.error();
    buffer = stream->takeBuffer();
    LM_LOG_ERROR("{}", error.description());
  }
  return error;
}

}  // namespace

namespace {

platform::http::Request blockUploadRequest(const platform::Bytes& blockData, const std::string& blockUrl,
                                           const platform::Json& fileMeta, const platform::Json& blockMeta,
                                           const platform::Json& bodySum, std::uint64_t chunkPos) {
  platform::Json parameters{{"file_meta", fileMeta}, {"block_meta", blockMeta}, {"chunk_pos", chunkPos}};
  if (bodySum.is_number()) parameters["body_sum"] = bodySum;
  return LMHTTPRequestSerialization().postDataRequestWithData(blockData, blockUrl + "/upload_block_chunk",
                                                              parameters);
}

// The tries of one block upload, each sending `request` anew.
platform::Result<platform::Json> uploadBlock(const platform::http::Request& request,
                                             const LMKssFileHelper::SendDataBlock& didSendDataBlock,
                                             const LMKssFileHelper::Transfer& transfer) {
  platform::Error error;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    auto operation = LMDataRequestOperation::initWithRequest(request);
    operation->setSendDataBlock(didSendDataBlock);
    Outcome outcome = runAndWait(operation, transfer);
    if (outcome.error) {
      error = *outcome.error;
      if (platform::http::isCancelledError(error)) break;
      continue;
    }
    // Sent again, the block would meet the same redirect.
    if (outcome.response) {
      if (auto redirected = LMHTTPResponseSerialization::redirectNotFollowedError(*outcome.response)) {
        error = *redirected;
        break;
      }
    }
    const platform::Bytes& body = outcome.data ? *outcome.data : platform::Bytes();
    auto reply = LMUtils::jsonObjectFromString(platform::toString(body));
    if (!reply) {
      error = reply.error();
      continue;
    }
    LM_LOG_VERBOSE("{}", LMLoggableJSONText(*reply));
    if (reply->is_object() && reply->value("stat", platform::Json()) == kBlockCompleted) {
      auto commitMeta = reply->find("commit_meta");
      if (commitMeta != reply->end() && !commitMeta->is_null()) return *commitMeta;
    }
    error = platform::Error(kLMKssErrorDomain, kLMKssErrorBlockNotCompleted,
                            reply->is_object() ? *reply : platform::Json{{"reply", *reply}});
  }
  LM_LOG_ERROR("{}", error.description());
  return error;
}

// Hands an outcome to a finish block.
void finishUpload(const platform::Result<platform::Json>& outcome, const LMKssFileHelper::UploadFinish& finish) {
  if (!finish) return;
  if (outcome.ok()) {
    finish(*outcome, std::nullopt);
  } else {
    finish(std::nullopt, outcome.error());
  }
}

}  // namespace

void LMKssFileHelper::uploadKSSBlockUrl(const std::string& blockUrl, const platform::Bytes& blockData,
                                        const platform::Json& fileMeta, const platform::Json& blockMeta,
                                        const platform::Json& bodySum, SendDataBlock didSendDataBlock,
                                        UploadFinish finish, std::uint64_t chunkPos,
                                        const Transfer& transfer) {
  finishUpload(uploadKssBlock(blockUrl, blockData, fileMeta, blockMeta, bodySum, didSendDataBlock, chunkPos,
                              transfer),
               finish);
}

void LMKssFileHelper::uploadKSSBlockUrl(const std::string& blockUrl, platform::http::BodySource blockBody,
                                        const platform::Json& fileMeta, const platform::Json& blockMeta,
                                        const platform::Json& bodySum, SendDataBlock didSendDataBlock,
                                        UploadFinish finish, std::uint64_t chunkPos,
                                        const Transfer& transfer) {
  finishUpload(uploadKssBlock(blockUrl, std::move(blockBody), fileMeta, blockMeta, bodySum, didSendDataBlock,
                              chunkPos, transfer),
               finish);
}

platform::Result<platform::Json> LMKssFileHelper::uploadKssBlock(
    const std::string& blockUrl, const platform::Bytes& blockData, const platform::Json& fileMeta,
    const platform::Json& blockMeta, const platform::Json& bodySum, const SendDataBlock& didSendDataBlock,
    std::uint64_t chunkPos, const Transfer& transfer) {
  return uploadBlock(blockUploadRequest(blockData, blockUrl, fileMeta, blockMeta, bodySum, chunkPos),
                     didSendDataBlock, transfer);
}

platform::Result<platform::Json> LMKssFileHelper::uploadKssBlock(
    const std::string& blockUrl, platform::http::BodySource blockBody, const platform::Json& fileMeta,
    const platform::Json& blockMeta, const platform::Json& bodySum, const SendDataBlock& didSendDataBlock,
    std::uint64_t chunkPos, const Transfer& transfer) {
  platform::http::Request request = blockUploadRequest({}, blockUrl, fileMeta, blockMeta, bodySum, chunkPos);
  request.bodySource = std::move(blockBody);
  return uploadBlock(request, didSendDataBlock, transfer);
}

namespace {

// The whole download; the destination is settled and closed when it
// returns, so a failed download's file holds every block taken.
platform::Result<LMKssFileHelper::FileResult> downloadFile(
    const platform::Json& kss, const std::optional<std::string>& fileName,
    const LMKssFileHelper::ReadDataBlock& progress, const LMKssFileHelper::Transfer& transfer) {
  auto description = LMKssDescription::fromJson(kss);
  if (!description.ok()) return description.error();

  Destination destination;
  if (fileName) {
    auto path = LMUtils::fileInDirectory(LMUtils::imageTransferDirectory(), *fileName);
    if (!path) {
      return LMUtils::invalidParametersError();
    }
    if (auto opened = destination.openFile(path->string()); !opened.ok()) {
      // Not a fault of the system: this image fails, the run goes on.
      LM_LOG_ERROR("{}", opened.error().description());
      return LMUtils::localErrorWithErrorCode(kLMLocalErrorWriteFail,
                                              {{kLMErrorReasonKey, "Write image data to disk fail"},
                                               {kLMErrorDescriptionKey, kLMErrorTitleWriteFail}});
    }
  }

  // Every block restarts the key's stream: it is made once, over the
  // longest block, while the first block's transfer is set up.
  std::uint64_t longest = 0;
  for (const LMKssBlock& block : description->blocks) longest = std::max(longest, block.size);
  const auto keyStream = LMKssKeyStream::start(description->secureKey, static_cast<std::size_t>(longest));

  std::uint64_t taken = 0;
  for (std::size_t index = 0; index < description->blocks.size(); ++index) {
    const LMKssBlock& block = description->blocks[index];
    auto plain = downloadBlock(block, keyStream, static_cast<std::int64_t>(index),
                               taken, progress, destination.spare(), transfer);
    if (!plain.ok()) return plain.error();
    if (auto written = destination.append(std::move(*plain)); !written.ok()) return written.error();
    taken += block.size;
  }
  return destination.finish();
}

}  // namespace

void LMKssFileHelper::downloadKssFileWithKSS(const platform::Json& kss,
                                             const std::optional<std::string>& fileName,
                                             ReadDataBlock didReadDataBlock, DownloadFinish finish,
                                             const Transfer& transfer) {
  auto result = downloadKssFile(kss, fileName, didReadDataBlock, transfer);
  if (!finish) return;
  if (result.ok()) {
    finish(std::move(*result), std::nullopt);
  } else {
    finish(std::nullopt, result.error());
  }
}

platform::Result<LMKssFileHelper::FileResult> LMKssFileHelper::downloadKssFile(
    const platform::Json& kss, const std::optional<std::string>& fileName, const ReadDataBlock& didReadDataBlock,
    const Transfer& transfer) {
  auto result = downloadFile(kss, fileName, didReadDataBlock, transfer);
  if (!result.ok()) LM_LOG_ERROR("{}", result.error().description());
  return result;
}

}  // namespace lumora
