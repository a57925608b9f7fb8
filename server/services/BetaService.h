// The crash-reporting vendor's beta service in the local cloud.
//
// - GET /spi/v2/platforms/ios/apps/{bundle id}/beta_update_check with the
//   query "build_version", "display_version", "instance" and "source": the
//   SDK's headers are checked, and "X-Blackbox-Beta-Token" must name a
//   build handed out here ("2:" and a token offered). Answered 200 with the
//   offer {"url", "version_string"} for that token, {} when none is set;
//   401 for an unknown token; 400 for a bad request, each with {"error"}.
// - Admin: POST /_admin/beta {"token", "url", "version_string"} offers a
//   build for a token; GET /_admin/beta gives {"requests"}.
//
// Ownership: owned by the CloudServer. Threading: handlers run
// concurrently; state is under one lock. Nothing throws.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace localcloud {

class BetaService {
 public:
  using Json = nlohmann::json;

  void registerOn(httplib::Server& server);
  void registerAdminOn(httplib::Server& server);

  // A known token (without its "2:" prefix); an empty url offers nothing.
  void offer(const std::string& token, const std::string& url, const Json& versionString);
  // Update checks answered so far (refused ones too).
  std::size_t requestCount() const;

 private:
  void check(const httplib::Request& req, httplib::Response& res);

  mutable std::mutex mutex_;
  std::map<std::string, Json> offers_;  // token -> reply
  std::size_t requests_ = 0;
};

}  // namespace localcloud
