// The statistics service of the local cloud: POST "/kostats" (usage
// points), "/realtime_network" (network samples) and "/kocrash" (crash
// records). Each takes a form, as multipart/form-data (parts without a file
// name) or URL-encoded, keeps what it received and answers
// {"status":"ok","data":{...}}, the data set per path by tests ({} unless
// set). Refusals are {"status":"fail","msg"} with HTTP 400: a body that is
// no form, a form without fields, a field sent twice, a file part. The
// usage and sample forms are checked by StatsFormCheck, crash forms by
// CrashFormCheck.
//
// What it received is kept in the Store's database (table
// "stats_received"), the newest kMaxKept forms. Admin: GET /_admin/stats
// (?path=...) lists them, DELETE clears them, POST /_admin/stats/reply
// {"path", "data"} sets a path's reply data.
//
// Ownership: owned by the CloudServer; borrows the Store. Threading:
// handlers run concurrently; rows change under the Store's write access,
// the reply data under a lock. Nothing throws.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/Store.h"

namespace localcloud {

class StatsService {
 public:
  using Json = nlohmann::json;
  using Fields = std::vector<std::pair<std::string, std::string>>;

  static constexpr const char* kStatsPath = "/kostats";
  static constexpr const char* kNetworkPath = "/realtime_network";
  static constexpr const char* kCrashPath = "/kocrash";
  static constexpr int kMaxKept = 1024;

  struct Received {
    std::int64_t id = 0;
    std::string path;
    std::string encoding;  // "multipart" or "urlencoded"
    Fields fields;         // in the order received (multipart: by name)

    // The value of a field; "" when it is not there.
    std::string field(const std::string& name) const;
    bool has(const std::string& name) const;
  };

  explicit StatsService(Store& store);
  void registerOn(httplib::Server& server);
  void registerAdminOn(httplib::Server& server);

  // True for the three paths.
  static bool serves(const std::string& path);
  // A refusal's body.
  static Json refusal(const std::string& message);

  // What arrived on `path` (every path when empty), oldest first.
  std::vector<Received> received(const std::string& path = {}) const;
  void clearReceived();
  // The "data" of the path's replies; false unless a path served and an
  // object.
  bool setReplyData(const std::string& path, Json data);

 private:
  void receive(const httplib::Request& req, httplib::Response& res);

  Store& store_;
  mutable std::mutex replyMutex_;
  std::map<std::string, Json> replyData_;
};

}  // namespace localcloud
