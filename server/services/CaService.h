// The CA side of the account service: hands out CA tokens (a token and a
// 16-byte CA security key bound to the device that asked), and takes the
// CA logins - the relogin "/pass/serviceLoginCA" (GET) and the password
// step "/pass/serviceLoginAuth2CA" (POST) - whose parameters and cookies
// come encrypted in the random-IV form under that key and signed with it:
//   1. CA switched off (disableFor): 401 "WWW-Authenticate: passportCA-Disabled"
//      with "CA-DISABLE-SECONDS" (the seconds left);
//   2. a "caTag: noSafe" header, else 400;
//   3. the "passport_ca_token" cookie must name a live token of the
//      "deviceId" cookie's device, else 401 "WWW-Authenticate: passportCA";
//   4. "_caSign" = the request signature (method, path, every other
//      parameter as sent, the CA key), else 403; "_nonce" present (else 400)
//      and not used before with the token (else 403);
//   5. every parameter whose name does not start with "_" must decrypt
//      (else 400); the cookies "userId", "passToken" and "ick" are read
//      only in a form that decrypts; a name sent twice is 400.
// The decrypted request is then answered as the plain relogin and password
// step are (AccountService; the password step without login page values),
// and a 200 reply goes out encrypted: the body and every cookie value it
// sets. Replies with other statuses go out as they are.
//
// Ownership: owned by the CloudServer; borrows the Store and the account
// service, which outlive it. Threading: handlers run concurrently; tokens
// and used nonces live in the Store's database (tables ca_tokens,
// ca_nonces), the switch in an atomic. Failures are replies (above); 500
// when a token cannot be stored.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "server/storage/Store.h"

namespace localcloud {

class AccountService;

class CaService {
 public:
  static constexpr const char* kTokenPath = "/ca/getTokenCA";
  static constexpr const char* kReloginPath = "/pass/serviceLoginCA";
  static constexpr const char* kPasswordPath = "/pass/serviceLoginAuth2CA";
  static constexpr const char* kTokenVersion = "0006";
  // Bounds on what clients make the Store keep; the oldest rows go first.
  static constexpr int kMaxTokensPerDevice = 4;
  static constexpr int kMaxTokens = 4096;  // all devices together
  static constexpr int kMaxNoncesPerToken = 256;
  static constexpr std::size_t kMaxDeviceIdLength = 128;

  CaService(Store& store, AccountService& accounts);
  void registerOn(httplib::Server& server);

  // CA logins are refused as switched off for the next `seconds` (0 or less
  // switches CA on again).
  void disableFor(std::int64_t seconds);
  // Every token handed out so far is refused from now on.
  void revokeAllTokens();
  // Live tokens (tests).
  int liveTokenCount();

 private:
  struct Token {
    std::string token;
    std::string security;
    std::string deviceId;
  };

  void issueToken(const httplib::Request& req, httplib::Response& res);
  void caLogin(const httplib::Request& req, httplib::Response& res, bool passwordStep);
  std::optional<Token> liveToken(const std::string& token);
  // Records the nonce for the token; false when it was used before.
  bool useNonce(const std::string& token, const std::string& nonce);
  std::int64_t disabledSecondsLeft() const;

  Store& store_;
  AccountService& accounts_;
  std::atomic<std::int64_t> disabledUntilMs_{0};
};

}  // namespace localcloud
