// The crash-reporting vendor's report service in the local cloud.
//
// - POST /sdk-api/v1/platforms/ios/apps/{bundle id}/reports: a report
//   package. The SDK's report headers are checked (its user agent, client
//   id and versions, developer token, API key, languages, Accept and
//   Accept-Charset), and Content-Length must be the size of the body that
//   arrived. The body is multipart: "api_key" and "report_id" text parts,
//   then one gzip part per report file, its field name the file name
//   without its last two extensions. Every part is unpacked; record files
//   (".bbxrecord", also symbolicated) must hold one JSON object per line,
//   but for a last line cut off before its line end (a process that died
//   while writing), which is dropped.
//   The report is kept by its id (a report sent again replaces the kept
//   one), answered 201 with {"id"} as "application/json; charset=utf-8".
// - Refusals: 400 with {"error"} for a bad request.
// - Admin: GET /_admin/reports lists the kept reports (files by name and
//   unpacked size, record lines counted); DELETE /_admin/reports forgets them.
//
// State is kept in memory (the newest kMaxReports reports).
// Ownership: owned by the CloudServer. Threading: handlers run
// concurrently; all state is under one lock. Nothing throws.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace localcloud {

class ReportService {
 public:
  using Json = nlohmann::json;
  static constexpr std::size_t kMaxReports = 256;

  struct Report {
    std::string id;
    std::string bundleId;
    std::string apiKey;
    std::map<std::string, std::string> files;  // field name -> unpacked bytes
    std::map<std::string, std::vector<Json>> records;  // field name -> record lines
  };

  void registerOn(httplib::Server& server);
  void registerAdminOn(httplib::Server& server);

  std::optional<Report> report(const std::string& id) const;
  // The kept reports' ids, oldest first.
  std::vector<std::string> reportIds() const;
  std::size_t reportCount() const;
  void clear();

 private:
  void receive(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body);

  mutable std::mutex mutex_;
  std::map<std::string, Report> reports_;
  std::vector<std::string> order_;  // ids, oldest first
};

}  // namespace localcloud
