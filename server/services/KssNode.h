// The block storage node (KSS) of the local cloud and the storage side of
// the file API that hands out its addresses.
//
// A file is stored as blocks of 4 MiB (the last 1 byte to 4 MiB), each kept
// once per content in the local cloud's BlobStore under its SHA-1, so a
// large file costs the node no memory beyond the block in hand.
//
// Storing a file:
//   1. beginUpload (called by the file API with the block digests its
//      client declares): data {"file_meta", "block_metas": [{"block_meta",
//      "is_existed"}], "secure_key" (32 hex digits: a fresh RC4 key of 16
//      bytes), "node_urls": ["<server>/kss"]}. A block whose content a
//      stored file of the same user holds already is "is_existed": true
//      with its "commit_meta" and need not be sent (another user's blocks
//      never count: knowing a digest is no proof of having the content).
//   2. POST <node>/upload_block_chunk?file_meta=..&block_meta=..&chunk_pos=0
//      [&body_sum=<decimal>], "Content-Type: application/octet-stream", the
//      block RC4-encrypted under the secure key as the body, unsigned. The
//      node decrypts it as it arrives (with the upload's key stream, which
//      every block restarts, made ahead from the upload's declaration on:
//      KeyStreams) into a staged file of the sending's own, put in the
//      block's place only when right, and checks its size and SHA-1 against
//      the declared ones; reply (JSON) {"stat": "BLOCK_COMPLETED",
//      "commit_meta"}, the same commit meta for a block sent again.
//      Refusals: HTTP 400 "stat" "BAD_REQUEST" (a parameter missing or
//      malformed, "chunk_pos" not 0, another content type), 404
//      "META_NOT_FOUND" (unknown or dropped upload, or a block meta of
//      another upload), 400 "BLOCK_MISMATCH" (length or SHA-1 differ from
//      the declared block), 500 "STORAGE_ERROR"; each with "msg".
//   3. commitUpload with the commit metas in block order ([{"commit_meta"}],
//      the list the client sends): every block must have been received (or
//      held already), the whole optionally checked against the file's
//      SHA-1 (carried along while blocks arrive in order, else read from
//      the blocks); the blocks move into the blob store and the file gets
//      an id.
// Reading a file: describe hands out {"blocks": [{"urls":
// ["<node>/block/<token>/<index>"], "sha1", "size"}], "secure_key"}, a fresh
// key and link token each time; GET on a block's address answers the block
// RC4-encrypted under that key, its key stream restarted for each block
// (made once per key and kept for the 4 newest keys, 4 MiB each).
// Links are capabilities (no cookie); each user's 64 newest stay valid.
//
// Bounds per user: 16 open uploads (the oldest are dropped with their
// received blocks), 64 links, 50,000 files and 4 GiB (further commits get
// 507). A file has at most 512 blocks (2 GiB).
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
  // One block of an upload, as declared.
  struct UploadBlock {
    std::int64_t index = 0;
    std::string sha1;
    std::int64_t size = 0;
    std::string commitMeta;
  };

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
  // True when a stored file of the user has a block of this content.
  bool holdsBlock(SqlConnection& db, std::int64_t userId, const std::string& sha1) const;
  static std::string stagingName(const std::string& fileMeta, std::int64_t index);

  Store& store_;
  BlobStore& blobs_;
  std::function<int()> port_;
  std::array<std::mutex, 16> uploadLocks_;
  std::mutex runningMutex_;
  std::map<std::string, RunningDigest> running_;  // by file meta
  KeyStreams keyStreams_;  // of uploads by file meta, of downloads by key
};

}  // namespace localcloud
