// The local cloud for a benchmark run: started on an ephemeral loopback port
// with its data in "cloud" under a fresh directory that goes with it (the
// benchmark may keep its own files beside it), and "lumora" service tokens
// of a known key for the users the benchmark signs in as.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "server/CloudServer.h"

namespace cloudbench {

class BenchCloud {
 public:
  explicit BenchCloud(const std::string& name = "lumora-cloud-bench") {
    std::string pattern = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) std::abort();
    dir_ = pattern;
    std::string error;
    server_ = localcloud::CloudServer::create(dir_ / "cloud", &error);
    if (!server_ || !server_->start(0, &error)) {
      std::cerr << "cannot start the local cloud: " << error << "\n";
      std::abort();
    }
  }
  ~BenchCloud() {
    server_->stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  BenchCloud(const BenchCloud&) = delete;
  BenchCloud& operator=(const BenchCloud&) = delete;

  localcloud::CloudServer& server() { return *server_; }
  const std::filesystem::path& dir() const { return dir_; }

  // A live "lumora" service token of `userId` whose requests are signed
  // with `key` (Base64 of 16 bytes).
  std::string serviceToken(std::int64_t userId, const std::string& key) {
    localcloud::LoginGrant grant;
    grant.userId = userId;
    grant.serviceId = "lumora";
    grant.ssecurity = key;
    return server_->store().issueServiceToken(grant);
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<localcloud::CloudServer> server_;
};

}  // namespace cloudbench
