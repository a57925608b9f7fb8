#include "server/services/UploadService.h"

#include <fstream>
#include <functional>
#include <memory>
#include <system_error>

#include "server/services/Crypto.h"
#include "server/services/FileCrypto.h"
#include "server/http/HttpServer.h"

namespace localcloud {
namespace {

constexpr const char* kTempDir = "tmp";
constexpr const char* kTempSuffix = ".part";

// One upload's temporary file: removed unless committed.
class PartialFile {
 public:
  explicit PartialFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~PartialFile() {
    out_.close();
    std::error_code ignored;
    if (!committed_) std::filesystem::remove(path_, ignored);
  }
  bool open() {
    out_.open(path_, std::ios::binary | std::ios::trunc);
    return out_.is_open();
  }
  bool write(const char* data, std::size_t size) {
    out_.write(data, static_cast<std::streamsize>(size));
    return out_.good();
  }
  // Moves the finished file to `target` (an equal one may be there already).
  bool commit(const std::filesystem::path& target) {
    out_.close();
    if (out_.fail()) return false;
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    std::filesystem::rename(path_, target, error);
    committed_ = !error;
    return committed_;
  }

 private:
  std::filesystem::path path_;
  std::ofstream out_;
  bool committed_ = false;
};

}  // namespace

UploadService::UploadService(std::filesystem::path dataDir) : root_(std::move(dataDir) / "uploads") {
  std::error_code ignored;
  std::filesystem::create_directories(root_ / kTempDir, ignored);
  // Leftovers of a run that stopped mid-upload are not uploads.
  for (const auto& entry : std::filesystem::directory_iterator(root_ / kTempDir, ignored)) {
    std::filesystem::remove(entry.path(), ignored);
  }
}

void UploadService::registerOn(SignedEndpoints& endpoints) {
  endpoints.postStreaming(kPath, kServiceId, std::bind_front(&UploadService::upload, this));
}

SignedReply UploadService::upload(const SignedRequest& req, const httplib::ContentReader& body) {
  if (!req.http.is_multipart_form_data()) {
    return SignedReply::error(cloudcode::kBadRequest, "a multipart body is expected");
  }
  {
    std::lock_guard lock(mutex_);
    ++receiving_;
  }
  struct Done {
    UploadService& self;
    ~Done() {
      std::lock_guard lock(self.mutex_);
      --self.receiving_;
      self.idle_.notify_all();
    }
  } done{*this};

  PartialFile file(root_ / kTempDir / (crypto::randomToken(12) + kTempSuffix));
  crypto::Sha1Stream digest;
  if (!digest.ok() || !file.open()) {
    return SignedReply::error(cloudcode::kServerError, "the upload cannot be stored");
  }
  int fileParts = 0;
  bool inFile = false;
  std::string fileName;
  std::uint64_t size = 0;
  std::size_t fieldBytes = 0;
  std::string refusal;
  // A part's header is held whole until it ends: bounded, as is what
  // arrives between two pieces the reader hands on.
  HttpServer::limitUnheardBody(kMaxPartHeaderBytes);
  bool whole = body(
      [&](const httplib::MultipartFormData& part) {
        HttpServer::heardBody();
        inFile = part.name == "file";
        if (inFile && ++fileParts > 1) refusal = "more than one file part";
        if (inFile) fileName = part.filename;
        return refusal.empty();
      },
      [&](const char* data, std::size_t length) {
        HttpServer::heardBody();
        if (!inFile) {
          fieldBytes += length;
          if (fieldBytes > kMaxFieldBytes) refusal = "the fields are too large";
          return refusal.empty();
        }
        size += length;
        if (size > kMaxFileBytes) refusal = "the file is too large";
        if (refusal.empty()) digest.update(std::string_view(data, length));
        if (refusal.empty() && !file.write(data, length)) refusal = "the disk refused the file";
        return refusal.empty();
      });
  if (!refusal.empty()) return SignedReply::error(cloudcode::kBadRequest, refusal);
  if (!whole) return SignedReply::error(cloudcode::kBadRequest, "the body did not arrive whole");
  if (fileParts == 0) return SignedReply::error(cloudcode::kBadRequest, "file is missing");

  const std::string sha1Hex = digest.finishHex();
  if (sha1Hex.empty() || !file.commit(root_ / std::to_string(req.userId) / sha1Hex)) {
    return SignedReply::error(cloudcode::kServerError, "the upload cannot be stored");
  }
  return SignedReply::ok(nlohmann::json{{"size", size}, {"sha1", sha1Hex}, {"fileName", fileName}});
}

std::vector<std::filesystem::path> UploadService::committedFiles(std::int64_t userId) const {
  std::vector<std::filesystem::path> files;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(root_ / std::to_string(userId), ignored)) {
    files.push_back(entry.path());
  }
  return files;
}

std::size_t UploadService::pendingFiles() const {
  std::size_t count = 0;
  std::error_code ignored;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(root_ / kTempDir, ignored)) {
    ++count;
  }
  return count;
}

bool UploadService::waitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, timeout, [this] { return receiving_ == 0; });
}

}  // namespace localcloud
