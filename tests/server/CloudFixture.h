// Test side of the signed cloud calls: a client that encrypts and signs
// requests the way the phone client does (its own signing text, the
// server's AES and digest helpers), decrypts the replies, and a fixture
// that logs a user in to get a real service token.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ServerFixture.h"

namespace servertest {

using Params = std::map<std::string, std::string>;

// RC4 of the bytes under the raw key (encrypts and decrypts alike), as the
// clients of the file and block storage send and read them.
std::string rc4(const std::string& bytes, const std::string& key);
// `size` bytes of a pattern that differs with `seed`.
std::string pattern(std::size_t size, int seed);

// A known security key: Base64 of the 16 ASCII bytes "0123456789abcdef".
inline constexpr const char* kTestKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

// A service login: what the client keeps of it for signed calls.
struct CloudLogin {
  std::int64_t userId = 0;
  std::string serviceToken;
  std::string security;  // Base64 AES key
};

struct CloudReply {
  int status = 0;           // 0 when the transfer failed
  std::string body;
  std::string contentType;
  httplib::Headers headers;
  bool encrypted = false;   // the body decrypted under the login's key
  Json json;                // the decrypted (or plain) JSON; null when neither
  int code() const { return json.is_object() ? json.value("code", -1) : -1; }
  const Json& data() const { return json.at("data"); }
};

class SignedClient {
 public:
  SignedClient(int port, CloudLogin login) : port_(port), login_(std::move(login)) {}

  // The parameters as sent: values of names not starting with "_"
  // encrypted, plus "signature".
  Params sign(const std::string& method, const std::string& path, const Params& params) const;
  // The signing text: method, path, sorted "name=value" pairs, key, by "&".
  static std::string signingText(const std::string& method, const std::string& path,
                                 const Params& wire, const std::string& security);

  CloudReply get(const std::string& path, const Params& params) const {
    return send("GET", path, sign("GET", path, params));
  }
  CloudReply post(const std::string& path, const Params& params) const {
    return send("POST", path, sign("POST", path, params));
  }
  // A multipart POST as a file chunk goes: the signed parameters in the
  // query, one file part.
  CloudReply postFile(const std::string& path, const Params& params, const std::string& partName,
                      const std::string& fileName, const std::string& content) const;
  // Sends exactly `wire` (query for GET, form body for POST) with the
  // login's cookie, or `cookie` when given.
  CloudReply send(const std::string& method, const std::string& path, const Params& wire,
                  std::optional<std::string> cookie = std::nullopt,
                  const httplib::Headers& extraHeaders = {}) const;
  // POSTs exactly `wire` as a form body without a content type (as the
  // account client may send a body); status and body only.
  CloudReply postUnlabelled(const std::string& path, const Params& wire) const;
  // Decodes a reply with this login's key.
  CloudReply decode(const httplib::Result& result) const;

  std::string cookie() const;
  // Decrypts (or reads as plain JSON) a reply body.
  Json decodeBody(const std::string& body, bool* encrypted = nullptr) const;
  const CloudLogin& login() const { return login_; }
  std::string encrypt(const std::string& plain) const;

 private:
  int port_;
  CloudLogin login_;
};

class CloudTest : public ServerTest {
 protected:
  // Seeds the account and logs in through the account service for `sid`.
  CloudLogin login(std::int64_t userId, const std::string& name, const std::string& sid);
  // A service token with a chosen security key, straight in the Store.
  CloudLogin tokenWithKey(std::int64_t userId, const std::string& sid,
                          const std::string& security);
  SignedClient signedClient(const CloudLogin& login) const {
    return SignedClient(server_->port(), login);
  }
  // POSTs JSON to an admin endpoint; the parsed reply or null.
  Json admin(const std::string& path, const Json& body);
};

// A CloudTest whose `cloud_` calls the "lumora" services as `userId` with a
// token under kTestKey.
class KeyedCloudTest : public CloudTest {
 protected:
  explicit KeyedCloudTest(std::int64_t userId) : userId_(userId) {}
  void SetUp() override;

  std::int64_t userId_;
  std::unique_ptr<SignedClient> cloud_;
};

}  // namespace servertest
