// The event analytics' upload endpoint in the local cloud.
//
// - POST /spi/v1/analytics (the path the default settings document names):
//   a multipart form with one file part per packaged log file ("N.log.zip",
//   field name = file name, type "application/vnd.blackbox.ios.events"),
//   sent with the Tally kit's fixed headers and an API key. Each part is
//   gunzipped and read record by record (time stamp TAB key [TAB length TAB
//   payload] LF, the payload found by its length); the first record of each
//   part must be "metadata" with a JSON object naming "session_id". 200 with
//   an empty body; 400 with {"error"} for anything malformed.
// - Admin: GET /_admin/analytics lists the sessions and their events;
//   DELETE /_admin/analytics forgets everything.
//
// Events are kept per session in memory (tests read them); 503 with
// Retry-After comes from the cloud's fault injector, not from here.
// Ownership: owned by the CloudServer. Threading: handlers run
// concurrently; all state is under one lock. Nothing throws.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace localcloud {

class AnalyticsService {
 public:
  using Json = nlohmann::json;
  static constexpr const char* kPath = "/spi/v1/analytics";

  struct Record {
    std::uint64_t timestamp = 0;
    std::string key;
    std::optional<std::string> payload;
  };
  struct Upload {
    std::string apiKey;
    std::vector<std::string> fileNames;
  };

  void registerOn(httplib::Server& server);
  void registerAdminOn(httplib::Server& server);

  // Every record but "metadata" that arrived for the session, in order.
  std::vector<Record> events(const std::string& sessionId) const;
  std::vector<std::string> sessions() const;
  std::vector<Upload> uploads() const;
  void reset();

  // A whole gzip stream's contents, or none when it is not one.
  static std::optional<std::string> gunzip(const std::string& data);
  // The records of a log file, or none when one is malformed.
  static std::optional<std::vector<Record>> parseRecords(const std::string& data);

 private:
  void receive(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body);

  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Record>> events_;
  std::vector<Upload> uploads_;
};

}  // namespace localcloud
