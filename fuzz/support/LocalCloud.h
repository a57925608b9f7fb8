// The local cloud for the fuzz targets that talk to it: started in-process
// on a loopback port over a fresh data directory in memory (see
// scratchDirectory), with one
// account (user 10001) and a live service token for each signed service id,
// as a login would leave them. renew() starts over with a new directory
// (removing the old), so what the inputs store does not pile up.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "server/CloudServer.h"
#include "support/Fuzz.h"

namespace fuzz {

class LocalCloud {
 public:
  static constexpr std::int64_t kUserId = 10001;

  struct Login {
    std::string serviceToken;
    std::string security;
  };

  LocalCloud() { renew(); }
  ~LocalCloud() { drop(); }

  void renew() {
    drop();
    dataDir_ = scratchDirectory("cloud");
    std::string error;
    server_ = localcloud::CloudServer::create(dataDir_, &error);
    if (!server_ || !server_->seedAccount(kUserId, "fuzzer", "fuzz-password") || !server_->start(0, &error)) {
      std::abort();
    }
    auto& store = server_->store();
    std::string passToken = store.issuePassToken(kUserId, "fuzz-device");
    logins_.clear();
    for (const char* sid : {"lumora", "deviceinfo", "passportapi", "tessorfeedbackapi"}) {
      auto grant = store.createLoginGrant(kUserId, sid, passToken);
      logins_[sid] = Login{store.issueServiceToken(grant), grant.ssecurity};
    }
  }

  localcloud::CloudServer& server() { return *server_; }
  int port() const { return server_->port(); }
  const Login& login(const std::string& serviceId) const { return logins_.at(serviceId); }
  const std::filesystem::path& dataDir() const { return dataDir_; }

 private:
  void drop() {
    server_.reset();
    std::error_code ignored;
    if (!dataDir_.empty()) std::filesystem::remove_all(dataDir_, ignored);
  }

  std::filesystem::path dataDir_;
  std::unique_ptr<localcloud::CloudServer> server_;
  std::map<std::string, Login> logins_;
};

}  // namespace fuzz
