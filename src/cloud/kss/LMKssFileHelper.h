// Moves file contents to and from the cloud's block storage (KSS): the
// upload of one block (already encrypted by the caller) to a storage node,
// and the download of a whole stored file, block by block, each block
// decrypted, checked against its SHA-1 and written to a file in the caches
// directory or collected in memory. Every transfer is an
// LMDataRequestOperation.
//
// Every call is synchronous: it blocks the calling thread until the
// transfer has ended and returns its outcome (the forms that take a finish
// block call it exactly once, on that thread, before they return); so call
// them from worker queues, never from the main thread nor the transfers'
// network thread. Progress blocks run on the network thread. Failures are
// the error returned or handed on (see each call). A transfer that ends
// cancelled (-999 in the URL error domain) is not tried again: the call
// ends with that error. A caller may run the transfers its own way (on a
// queue of its own, so that pausing or cancelling the queue reaches them)
// by passing a Transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Request.h"

namespace lumora {

class LMDataRequestOperation;

// The storage service's own errors.
inline constexpr const char* kLMKssErrorDomain = "com.quenby.lumora.kss.error";
// A block upload that the node did not answer with "BLOCK_COMPLETED" and a
// commit meta; the user info is the node's reply.
inline constexpr std::int64_t kLMKssErrorBlockNotCompleted = -20001;

class LMKssFileHelper {
 public:
  LMKssFileHelper() = delete;

  // (bytes written now, written so far, the block's length)
  using SendDataBlock = std::function<void(std::int64_t, std::int64_t, std::int64_t)>;
  // (the commit meta, or nullopt with the error)
  using UploadFinish =
      std::function<void(const std::optional<platform::Json>&, const std::optional<platform::Error>&)>;
  // (bytes received now, bytes of the file received so far, index of the block)
  using ReadDataBlock = std::function<void(std::int64_t, std::int64_t, std::int64_t)>;
  // The full path of the written file, or the file's bytes.
  using FileResult = std::variant<std::string, platform::Bytes>;
  using DownloadFinish =
      std::function<void(const std::optional<FileResult>&, const std::optional<platform::Error>&)>;
  // Starts one transfer its own way (queues it, say); the helper then waits
  // until it has ended or was dropped unstarted (its error() then says so).
  // Empty: the transfer is started on its own.
  using Transfer = std::function<void(const std::shared_ptr<LMDataRequestOperation>&)>;

  // POSTs the block to "<blockUrl>/upload_block_chunk" ("application/
  // octet-stream", unsigned, no cookie) with "file_meta", "block_meta",
  // "chunk_pos" and, when `bodySum` is a number, "body_sum" in the query;
  // up to three attempts. Success is a JSON reply whose "stat" is
  // "BLOCK_COMPLETED" and that carries a "commit_meta", handed to `finish`.
  // After three failed attempts `finish` gets the last attempt's error: the
  // transport error, the JSON reader's (also for an empty reply), or
  // kLMKssErrorBlockNotCompleted with the reply. A redirect the transfer did
  // not follow ends it at once (kLMResponseErrorRedirectNotFollowed).
  static void uploadKSSBlockUrl(const std::string& blockUrl, const platform::Bytes& blockData,
                                const platform::Json& fileMeta, const platform::Json& blockMeta,
                                const platform::Json& bodySum, SendDataBlock didSendDataBlock,
                                UploadFinish finish, std::uint64_t chunkPos = 0,
                                const Transfer& transfer = {});
  // The same with a body read as it goes out (opened anew for each try),
  // such as LMKssEncryptedBody's.
  static void uploadKSSBlockUrl(const std::string& blockUrl, platform::http::BodySource blockBody,
                                const platform::Json& fileMeta, const platform::Json& blockMeta,
                                const platform::Json& bodySum, SendDataBlock didSendDataBlock,
                                UploadFinish finish, std::uint64_t chunkPos = 0,
                                const Transfer& transfer = {});
  // The same, the commit meta or the error returned.
  static platform::Result<platform::Json> uploadKssBlock(const std::string& blockUrl,
                                                         const platform::Bytes& blockData,
                                                         const platform::Json& fileMeta,
                                                         const platform::Json& blockMeta,
                                                         const platform::Json& bodySum,
                                                         const SendDataBlock& didSendDataBlock,
                                                         std::uint64_t chunkPos = 0,
                                                         const Transfer& transfer = {});
  static platform::Result<platform::Json> uploadKssBlock(const std::string& blockUrl,
                                                         platform::http::BodySource blockBody,
                                                         const platform::Json& fileMeta,
                                                         const platform::Json& blockMeta,
                                                         const platform::Json& bodySum,
                                                         const SendDataBlock& didSendDataBlock,
                                                         std::uint64_t chunkPos = 0,
                                                         const Transfer& transfer = {});

  // Downloads the file that `kss` describes (LMKssDescription): each block
  // from its first address, then its second, ... (the first again when it
  // has fewer than three), up to three attempts, decrypted and checked
  // before it is taken. With a file name the blocks go to that file in the
  // caches directory (created or cut to nothing first; a name that is not
  // a plain file name is refused, so nothing is written outside the
  // directory), else into memory. Progress counts the blocks taken plus
  // what the current attempt has received, never a block twice.
  // Errors: the description's (nothing fetched, no file touched); the
  // invalid-parameters error for a bad file name; the file system's for a
  // file that cannot be opened or written; after three failed attempts of a
  // block, the last one's (transport, or "The image block is wrong.").
  // A failed download leaves the blocks taken before it in the file.
  static void downloadKssFileWithKSS(const platform::Json& kss,
                                     const std::optional<std::string>& fileName,
                                     ReadDataBlock didReadDataBlock, DownloadFinish finish,
                                     const Transfer& transfer = {});
  // The same, the file returned.
  static platform::Result<FileResult> downloadKssFile(const platform::Json& kss,
                                                      const std::optional<std::string>& fileName,
                                                      const ReadDataBlock& didReadDataBlock,
                                                      const Transfer& transfer = {});
};

}  // namespace lumora
