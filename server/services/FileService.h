// The contact photo file service (service id "lumora"), over the
// signed-request layer; every request carries "type" = "ico".
//   POST /lum/file/v2/user/{userId}/full/digest  "digest" (SHA-1 hex):
//        data {"fileId"} when the caller has a file of that content, else {}.
//   POST /lum/file/v2/user/{userId}/full  (first chunk) multipart, one
//        file part "uploadfile0"; "st" "1" (more follow) or "2" (last),
//        "ckeyhint", with "st" "2" also "ext" and "digest". The part holds
//        the chunk RC4-encrypted under MD5(ckeyhint). Data: {"tmpid",
//        "_hostingserver"} after a chunk that is not the last, {"fileId"}
//        after the last.
//   POST /lum/file/v2/user/{userId}/full/more  (further chunks) the same,
//        plus "tmpid", "_hostingserver" (sent in clear) and "offset".
//   GET  /lum/file/v2/user/{userId}/full  "fileId", "retry": data
//        {"data": {"fileId", "mfs": {"ckey", "fileSha1", "tmpUrl"}}}.
//   GET  /lum/file/tmp/<token>  (the "tmpUrl", plain, unsigned): the file
//        RC4-encrypted under the bytes of the hex "ckey", streamed.
// Chunks are 4 MiB but the last (1 byte to 4 MiB); a further chunk must
// start where the upload stands, or repeat the chunk received last (a
// resend after a lost reply). The assembled file's SHA-1 must be "digest";
// a file reaching 20 MiB is refused with code 80004 and its upload
// dropped. A file whose content the caller already has keeps its file id.
//
// Files lie in the BlobStore under DIR/blobs; files, uploads and download
// links are rows of the Store's database (files, file_uploads,
// file_links). Bounded per user: 16 open uploads and 64 download links
// (the oldest go first), 50,000 files and 4 GiB (further files are refused
// with code 507).
//
// Ownership: owned by the CloudServer; borrows the Store and the BlobStore.
// Threading: handlers run concurrently; the chunks of one upload are taken
// one at a time (upload locks striped by tmpid; none is held while taking
// another).
// Failures: coded replies (400 malformed, 404 unknown upload or file,
// 80004, 507, 500 storage); nothing throws.
#pragma once

#include <httplib.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "server/storage/BlobStore.h"
#include "server/services/SignedEndpoints.h"
#include "server/storage/Store.h"

namespace localcloud {

class FileService : public SignedService {
 public:
  static constexpr const char* kBasePath = "/lum/file/v2/user/{userId}/full";
  static constexpr const char* kTemporaryPathPrefix = "/lum/file/tmp/";
  static constexpr const char* kFileType = "ico";
  static constexpr const char* kFilePart = "uploadfile0";
  static constexpr const char* kHostingServer = "lumora-file-1";
  static constexpr std::size_t kChunkSize = 4 * 1024 * 1024;
  static constexpr std::uint64_t kMaxFileSize = 20 * 1024 * 1024;  // refused from here on
  static constexpr int kFileTooLarge = 80004;
  static constexpr int kStorageFull = 507;
  static constexpr int kMaxOpenUploadsPerUser = 16;
  static constexpr int kMaxLinksPerUser = 64;
  static constexpr std::int64_t kMaxFilesPerUser = 50000;
  static constexpr std::uint64_t kMaxBytesPerUser = 4ULL * 1024 * 1024 * 1024;

  // One chunk as received: decrypted, with what its request says of it.
  struct Chunk {
    std::string plain;
    bool last = false;
    std::string ext;     // "" unless sent
    std::string digest;  // "" unless sent
  };

  // `port` gives the server's port for the links' host when a request
  // names none. Files go into `blobs`, the local cloud's one blob store.
  FileService(Store& store, BlobStore& blobs, std::function<int()> port);
  void registerOn(SignedEndpoints& endpoints) override;
  // The temporary download links (plain routes).
  void registerDownloadsOn(httplib::Server& server);

 private:
  SignedReply digest(const SignedRequest& req);
  SignedReply firstChunk(const SignedRequest& req);
  SignedReply moreChunk(const SignedRequest& req);
  SignedReply describe(const SignedRequest& req);
  void serveLink(const httplib::Request& req, httplib::Response& res);
  // Stores a staged upload as a file of the user: its file id, or the
  // refusal.
  SignedReply finish(std::int64_t userId, const std::string& staged, const Chunk& last);
  void dropUpload(const std::string& tmpId);
  void trimUploads(std::int64_t userId);
  std::mutex& uploadLock(const std::string& tmpId);

  Store& store_;
  BlobStore& blobs_;
  std::function<int()> port_;
  std::array<std::mutex, 16> uploadLocks_;
};

}  // namespace localcloud
