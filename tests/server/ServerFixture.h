// Test fixture for the local cloud: a server on an ephemeral port over a
// fresh data directory, plus helpers that speak the account protocol with
// cpp-httplib's client.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "server/CloudServer.h"
#include "support/TestHome.h"

namespace servertest {

using Json = nlohmann::json;

// A reply decoded: status, the JSON after the "&&&START&&&" prefix (null
// when the body is not in that form) and the cookies it set.
struct Reply {
  int status = 0;
  bool prefixed = false;
  Json json;
  std::string body;
  std::map<std::string, std::string> cookies;
  int code() const { return json.is_object() ? json.value("code", -1) : -1; }
};

// One device: the cookies it keeps between requests, like the client's
// cookie store.
struct Device {
  std::map<std::string, std::string> cookies;
  std::string cookieHeader() const;
  void absorb(const Reply& reply);
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Restarts the server over the same data directory (new object, new port).
  void restart();

  std::unique_ptr<httplib::Client> client() const;
  Reply get(const std::string& pathAndQuery, Device* device = nullptr);
  Reply post(const std::string& path, const httplib::Params& form, Device* device = nullptr);
  // POSTs JSON to an admin endpoint; `json` is the parsed reply (discarded
  // when it is not JSON).
  Reply adminPost(const std::string& path, const Json& body);

  // The login-page step: GET /pass/serviceLogin for sid.
  Reply serviceLogin(Device& device, const std::string& sid = "lumora",
                     const httplib::Params& extra = {});
  // The password step after a 70016 reply `page`.
  Reply passwordStep(Device& device, const Reply& page, const std::string& user,
                     const httplib::Params& credentials);
  // serviceLogin + passwordStep with a plain password.
  Reply passwordLogin(Device& device, const std::string& user, const std::string& password,
                      const std::string& sid = "lumora");
  // The service-token GET on a login reply's location with a clientSign.
  Reply serviceTokenStep(Device& device, const Reply& login,
                         std::optional<std::string> sign = std::nullopt,
                         const std::string& extraQuery = {});

  std::string host() const;

  testsupport::TestHome home_;
  std::filesystem::path dataDir_;
  std::unique_ptr<localcloud::CloudServer> server_;
};

// A reply whose body is plain JSON (admin and statistics replies): `json`
// is discarded when the body is not JSON.
Reply plainJsonReply(const httplib::Result& result);

// Percent-encodes a query value.
std::string enc(const std::string& value);

// A POST written straight to a socket, with no Content-Type (cpp-httplib's
// client always adds one), as "Connection: close"; `chunked` sends the body
// as one chunk of unannounced length. The status and body of the reply;
// status 0 when the exchange failed.
struct RawReply {
  int status = 0;
  std::string body;
};
RawReply rawPost(int port, const std::string& path, const std::string& body,
                 const std::string& cookie = {}, bool chunked = false);

}  // namespace servertest
