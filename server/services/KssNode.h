// The block storage node (KSS) of the local cloud and the storage side of
// the file API that hands out its addresses: a file is stored as blocks of
// 4 MiB, each kept once per content in the local cloud's BlobStore under
// its SHA-1, and its records are in a KssFileStore. The protocol (routes,
// in-process calls, replies, refusals and bounds) is described in
// server/README.md, "Block storage node".
//
// Ownership: owned by the CloudServer; borrows the Store and the BlobStore.
// Threading: handlers and the in-process calls run concurrently; a block's
// body is received and checked under no lock (each sending has a helper
// thread that digests and writes while it decrypts), then the blocks and
// the commit of one upload are put in place one at a time (locks striped by
// file meta; none is held while taking another). Failures: refusals are
// replies (the upload route's "stat", the in-process calls' SignedReply
// codes: 400 malformed, 404 unknown, 507 full, 500 storage); nothing
// throws.
#pragma once

#include <httplib.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/BlobStore.h"
#include "server/services/FileCrypto.h"
#include "server/storage/KeyStreams.h"
#include "server/storage/KssFileStore.h"
#include "server/services/SignedEndpoints.h"
#include "server/storage/Store.h"

namespace localcloud {

class KssNode {
 public:
  static constexpr const char* kNodePath = "/kss";
  static constexpr std::uint64_t kBlockSize = 4 * 1024 * 1024;
  static constexpr std::size_t kMaxBlocks = 512;
  static constexpr int kMaxOpenUploadsPerUser = 16;
  static constexpr int kMaxLinksPerUser = 64;
  static constexpr std::int64_t kMaxFilesPerUser = 50000;
  static constexpr std::uint64_t kMaxBytesPerUser = 4ULL * 1024 * 1024 * 1024;
  static constexpr int kStorageFull = 507;
  // An upload not committed within this long is dropped with its blocks.
  static constexpr std::chrono::hours kUploadLifetime{24};

  // A block as the client declares it: SHA-1 of its plain bytes (40
  // lower-case hex digits) and length.
  struct BlockDigest {
    std::string sha1;
    std::uint64_t size = 0;
  };

  // `port` gives the server's port for the node's addresses.
  KssNode(Store& store, BlobStore& blobs, std::function<int()> port);
  // The upload and block routes (plain, unsigned).
  void registerOn(httplib::Server& server);

  // "http://127.0.0.1:PORT/kss".
  std::string nodeUrl() const;

  // The file API's side; data as described above.
  SignedReply beginUpload(std::int64_t userId, const std::vector<BlockDigest>& blocks);
  // Data {"fileId", "size"}. With `fileSha1` (40 lower-case hex digits) the
  // blocks in order must make a file of that SHA-1, else 400 and the upload
  // is dropped.
  SignedReply commitUpload(std::int64_t userId, const std::string& fileMeta,
                           const nlohmann::json& commitMetas, const std::string& fileSha1 = {});
  SignedReply describe(std::int64_t userId, const std::string& fileId);
  // The blocks of a stored file of the user, in order; nullopt when there
  // is no such file.
  std::optional<std::vector<BlockDigest>> blocksOf(std::int64_t userId, const std::string& fileId);
  // Forgets stored files of the user (their rows and links; the blocks stay
  // in the blob store, which other files may share), in one transaction;
  // files of other users are passed over. False when storing failed.
  bool dropFiles(std::int64_t userId, const std::vector<std::string>& fileIds);

 private:
  // The SHA-1 of an upload's blocks as they came in order, so far: `next`
  // is the first block it does not cover.
  struct RunningDigest {
    std::int64_t next = 0;
    std::unique_ptr<crypto::Sha1Stream> digest;
  };
  static constexpr std::size_t kMaxRunningDigests = 1024;

  void uploadBlock(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& body);
  // A copy of the upload's running digest when block `index` is the next
  // it needs (a fresh one for block 0), else null.
  std::unique_ptr<crypto::Sha1Stream> runningDigestFor(const std::string& fileMeta, std::int64_t index);
  // Keeps `digest` (the running digest through block `index`) unless
  // another sending of the block came first.
  void keepRunningDigest(const std::string& fileMeta, std::int64_t index,
                         std::unique_ptr<crypto::Sha1Stream> digest);
  std::optional<RunningDigest> takeRunningDigest(const std::string& fileMeta);
  void serveBlock(const httplib::Request& req, httplib::Response& res);
  void dropUpload(const std::string& fileMeta, std::int64_t blockCount);
  void trimUploads(std::int64_t userId);
  // Drops the uploads older than kUploadLifetime.
  void expireUploads();
  // Removes staged files that belong to no open upload's block (a sending
  // cut off by a stop of the cloud leaves its part file).
  void cleanStaging();
  std::mutex& uploadLock(const std::string& fileMeta);
  static std::string stagingName(const std::string& fileMeta, std::int64_t index);

  KssFileStore files_;
  BlobStore& blobs_;
  std::function<int()> port_;
  std::array<std::mutex, 16> uploadLocks_;
  std::mutex runningMutex_;
  std::map<std::string, RunningDigest> running_;  // by file meta
  KeyStreams keyStreams_;  // of uploads by file meta, of downloads by key
};

}  // namespace localcloud
