// The file upload service (service id "lumora") over the signed-request
// layer, for bodies too large to hold in memory:
//   POST /lum/file/v3/user/{userId}/upload with a multipart body holding one
//   part "file" (other plain fields are read and ignored). The part is
//   written to a temporary file under <data>/uploads as it arrives, its
//   SHA-1 taken on the way; only when the whole body is in is it committed
//   (renamed to <data>/uploads/<userId>/<sha1 hex>), and the reply data is
//   {"size", "sha1" (hex), "fileName"}.
// A body that breaks off (a cancelled client), that is not multipart, that
// has no "file" part or two, or whose file exceeds kMaxFileBytes commits
// nothing: the temporary file is removed.
//
// Ownership: owned by the CloudServer; keeps its files under the data
// directory. Threading: uploads run concurrently on the server's threads,
// each into a file of its own; the count of uploads in progress is locked.
// Failures: coded replies (400 for a bad body, 500 when the disk refuses);
// nothing throws.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "server/services/SignedEndpoints.h"

namespace localcloud {

class UploadService : public SignedService {
 public:
  static constexpr const char* kServiceId = "lumora";
  static constexpr const char* kPath = "/lum/file/v3/user/{userId}/upload";
  static constexpr std::uint64_t kMaxFileBytes = 2ull * 1024 * 1024 * 1024;
  // What the other fields of an upload may hold together.
  static constexpr std::size_t kMaxFieldBytes = 64 * 1024;
  // The most of the body that may arrive without the multipart reader
  // handing anything on: a part's header is held until it ends.
  static constexpr std::size_t kMaxPartHeaderBytes = 16 * 1024;

  explicit UploadService(std::filesystem::path dataDir);
  void registerOn(SignedEndpoints& endpoints) override;

  // The files committed for a user (tests and inspection).
  std::vector<std::filesystem::path> committedFiles(std::int64_t userId) const;
  // Temporary files of uploads that have not ended (or were left behind).
  std::size_t pendingFiles() const;
  // Waits (real time, bounded) until no upload is being received.
  bool waitUntilIdle(std::chrono::milliseconds timeout) const;

 private:
  SignedReply upload(const SignedRequest& req, const httplib::ContentReader& body);

  std::filesystem::path root_;
  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;
  int receiving_ = 0;
};

}  // namespace localcloud
