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
//      node decrypts it and checks its size and SHA-1 against the declared
//      ones; reply (JSON) {"stat": "BLOCK_COMPLETED", "commit_meta"}, the
//      same commit meta for a block sent again. Refusals: HTTP 400 "stat"
//      "BAD_REQUEST" (a parameter missing or malformed, "chunk_pos" not 0,
//      another content type), 404 "META_NOT_FOUND" (unknown or dropped
//      upload, or a block meta of another upload), 400 "BLOCK_MISMATCH"
//      (length or SHA-1 differ from the declared block), 500
//      "STORAGE_ERROR"; each with "msg".
//   3. commitUpload with the commit metas in block order ([{"commit_meta"}],
//      the list the client sends): every block must have been received (or
//      held already), the whole optionally checked against the file's
//      SHA-1; the blocks move into the blob store and the file gets an id.
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
// Threading: handlers and the in-process calls run concurrently; the blocks
// and the commit of one upload are taken one at a time (locks striped by
// file meta; none is held while taking another). Failures: refusals are
// replies (the upload route's "stat", the in-process calls' SignedReply
// codes: 400 malformed, 404 unknown, 507 full, 500 storage); nothing
// throws.
#pragma once

#include <httplib.h>

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/BlobStore.h"
#include "server/SignedEndpoints.h"
#include "server/Store.h"

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
  // Forgets a stored file of the user (its rows and links; the blocks stay
  // in the blob store, which other files may share). False when there is
  // no such file of the user or storing failed.
  bool dropFile(std::int64_t userId, const std::string& fileId);

 private:
  // One block of an upload, as declared.
  struct UploadBlock {
    std::int64_t index = 0;
    std::string sha1;
    std::int64_t size = 0;
    std::string commitMeta;
  };

  void uploadBlock(const httplib::Request& req, httplib::Response& res);
  void serveBlock(const httplib::Request& req, httplib::Response& res);
  void dropUpload(const std::string& fileMeta, std::int64_t blockCount);
  void trimUploads(std::int64_t userId);
  std::mutex& uploadLock(const std::string& fileMeta);
  // True when a stored file of the user has a block of this content.
  bool holdsBlock(SqlConnection& db, std::int64_t userId, const std::string& sha1) const;
  // The SHA-1 (hex) of an upload's blocks in order, read from staging (or
  // from the store for the blocks held already); nullopt when one cannot
  // be read.
  std::optional<std::string> digestOf(const std::string& fileMeta,
                                      const std::vector<UploadBlock>& blocks) const;
  static std::string stagingName(const std::string& fileMeta, std::int64_t index);
  // The key stream of a download key over one block's length: every block
  // restarts it, so it is made once per key (the newest few are kept).
  std::shared_ptr<const std::string> keyStream(const std::string& key);

  Store& store_;
  BlobStore& blobs_;
  std::function<int()> port_;
  std::array<std::mutex, 16> uploadLocks_;
  std::mutex keyStreamsMutex_;
  std::list<std::pair<std::string, std::shared_ptr<const std::string>>> keyStreams_;  // newest first
};

}  // namespace localcloud
