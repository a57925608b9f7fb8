// The feedback service of the local cloud (service id "tessorfeedbackapi"):
// the client's log upload in four exchanges.
//   GET  /upload/v1/requestUpload  "request" (the device information JSON):
//        a single-use upload URL {"uploadUrl"}.
//   POST <uploadUrl> (/upload/v1/file/<ticket>)  multipart, file part
//        "userfile" (a zip): kept on disk; the reply is plain JSON text
//        {"fileId", "size", "sha1"} that the client Base64-encodes as its
//        commit text.
//   POST /upload/v1/commitUpload  "commit": the upload is committed,
//        {"downloadUrl"}.
//   POST /feedback/api/v1/klodata  "data" (the report JSON, its "logFile"
//        one of the caller's committed download URLs): the report is kept.
// Each exchange but the file post carries "appId" = "3" and "sign" = MD5 hex
// of the service's signing key + the payload field's name + its value,
// all AES-encrypted under the caller's security key, and a "signature" over
// method, path and the encrypted fields; replies are encrypted under the
// same key. The caller is named by the cookies "cUserId" (the account's
// encrypted user id) and "serviceToken" (a live token of this service for
// that account). Refusals: 401 (plain JSON) without a valid cookie pair,
// 403 for a wrong signature or sign, 400 for a field that is missing,
// malformed or does not decrypt, 404 for an unknown or already used upload,
// 500 when storing fails.
//
// Zips lie in the service's directory as "<ticket>.zip"; uploads and
// reports are rows in the Store's database; at most kMaxUploadsPerUser
// uploads (with their zips and reports) are kept per user, the oldest going
// first. Ownership: owned by the CloudServer; borrows the Store.
// Threading: handlers run concurrently; rows change under the Store's lock,
// the journal under its own. Nothing throws.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/Store.h"

namespace localcloud {

class FeedbackService {
 public:
  using Json = nlohmann::json;

  static constexpr const char* kServiceId = "tessorfeedbackapi";
  static constexpr const char* kRequestUploadPath = "/upload/v1/requestUpload";
  static constexpr const char* kFilePathPrefix = "/upload/v1/file/";
  static constexpr const char* kCommitPath = "/upload/v1/commitUpload";
  static constexpr const char* kReportPath = "/feedback/api/v1/klodata";
  static constexpr const char* kDownloadPathPrefix = "/feedback/files/";
  static constexpr int kMaxUploadsPerUser = 32;
  static constexpr std::size_t kJournalSize = 256;

  struct Upload {
    std::string ticket;
    std::int64_t userId = 0;
    Json deviceInfo;
    std::string state;  // "requested", "uploaded", "committed", "reported"
    std::filesystem::path zipFile;
    std::string commit;  // as received, line breaks and all
    std::string downloadUrl;
  };
  struct Report {
    std::int64_t userId = 0;
    std::string ticket;
    Json data;
  };

  FeedbackService(Store& store, std::filesystem::path directory, std::function<int()> port);
  void registerOn(httplib::Server& server);

  // What the service has received, oldest first.
  std::vector<Upload> uploads();
  std::vector<Report> reports();
  // "METHOD path status" of every request answered, oldest first.
  std::vector<std::string> journal() const;
  void clearJournal();

 private:
  struct Caller {
    std::int64_t userId = 0;
    std::string security;
  };
  // A verified signed exchange: the decrypted payload field.
  struct Verified {
    Caller caller;
    std::string payload;
  };

  std::optional<Caller> caller(const httplib::Request& req) const;
  // Checks cookies, signature, decryption, appId and sign; answers the
  // refusal itself and returns nullopt.
  std::optional<Verified> verify(const httplib::Request& req, httplib::Response& res,
                                 const std::string& payloadName);
  void requestUpload(const httplib::Request& req, httplib::Response& res);
  void receiveFile(const httplib::Request& req, httplib::Response& res);
  void commitUpload(const httplib::Request& req, httplib::Response& res);
  void receiveReport(const httplib::Request& req, httplib::Response& res);
  std::optional<Upload> findUpload(const std::string& ticket, std::int64_t userId);
  bool setState(const std::string& ticket, const std::string& from, const std::string& to,
                const std::string& column = {}, const std::string& value = {});
  void trimUploads(std::int64_t userId);
  void record(const httplib::Request& req, const httplib::Response& res);

  Store& store_;
  std::filesystem::path directory_;
  std::function<int()> port_;
  mutable std::mutex journalMutex_;
  std::deque<std::string> journal_;
};

}  // namespace localcloud
