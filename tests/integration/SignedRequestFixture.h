// Fixture of the signed-request round trips: the local cloud on an ephemeral
// port with echo endpoints of its own ("/test/echo/{userId}" for GET and
// POST, "/test/upload/{userId}" for multipart POST) that answer what they
// received after the server's signature check and decryption; every service
// pointed at it; a sync adapter; and ways to sign in (through the account
// service, or with a service token of a known key straight in the store).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cloud/sync/LMSyncAdapter.h"
#include "platform/Error.h"
#include "server/CloudServer.h"
#include "support/TestHome.h"

namespace signedtest {

using platform::Json;

inline constexpr std::int64_t kUserId = 10001;
inline constexpr const char* kUserIdText = "10001";
// Base64 of "0123456789abcdef".
inline constexpr const char* kKnownKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

class SignedRequestCloudTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Signs in through the account service (password login of "alice").
  void loginThroughAccountService();
  // A "lumora" session whose service token the store issued for kKnownKey.
  void signInWithKnownKey();

  // Runs `work` on a worker thread while this thread pumps the main queue
  // (relogins need it); fails the test after 60 s.
  void offMain(const std::function<void()>& work);

  // The adapter's request loop, run off the main thread.
  std::shared_ptr<lumora::LMHTTPRequestOperation> send(const std::string& method,
                                                       const std::string& path,
                                                       const std::optional<Json>& parameters,
                                                       std::optional<platform::Error>* error,
                                                       const std::string& sid = "lumora");

  std::string url(const std::string& path) const { return server_->url() + path; }
  std::string authority() const { return "127.0.0.1:" + std::to_string(server_->port()); }
  std::vector<localcloud::SignedCall> calls(const std::string& path) const;

  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
  std::shared_ptr<lumora::LMSyncAdapter> adapter_;
};

}  // namespace signedtest
