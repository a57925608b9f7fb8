#include "server/services/CaService.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>

#include "server/services/AccountService.h"
#include "server/services/Crypto.h"
#include "server/http/HttpUtil.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

// Cookies a CA client sends as they are; the others it encrypts.
const std::set<std::string> kPlainCookies = {"deviceId", "sdkVersion"};
// The encrypted cookies the login handlers read.
const char* const kEncryptedCookies[] = {"userId", "passToken", "ick"};

void replyChallenge(httplib::Response& res, const std::string& challenge) {
  http::replyText(res, 401, "CA refused");
  res.set_header("WWW-Authenticate", challenge);
}

// "name=value; attributes" with the value put in the CA form; nullopt when
// the value does not encrypt.
std::optional<std::string> encryptedSetCookie(const std::string& header, const std::string& security) {
  std::size_t eq = header.find('=');
  if (eq == std::string::npos) return header;
  std::size_t end = header.find(';', eq);
  std::string value = header.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
  auto encrypted = crypto::randomIvEncrypt(value, security);
  if (!encrypted) return std::nullopt;
  return header.substr(0, eq + 1) + *encrypted + (end == std::string::npos ? "" : header.substr(end));
}

}  // namespace

CaService::CaService(Store& store, AccountService& accounts) : store_(store), accounts_(accounts) {
  store_.createTables("CA logins",
                      "CREATE TABLE IF NOT EXISTS ca_tokens ("
                      " token TEXT PRIMARY KEY, security TEXT NOT NULL, device_id TEXT NOT NULL,"
                      " revoked INTEGER NOT NULL DEFAULT 0);"
                      "CREATE INDEX IF NOT EXISTS ca_tokens_device ON ca_tokens(device_id);"
                      "CREATE TABLE IF NOT EXISTS ca_nonces ("
                      " token TEXT NOT NULL, nonce TEXT NOT NULL, PRIMARY KEY (token, nonce));");
}

void CaService::registerOn(httplib::Server& server) {
  server.Get(kTokenPath, std::bind_front(&CaService::issueToken, this));
  server.Get(kReloginPath, [this](const httplib::Request& req, httplib::Response& res) {
    caLogin(req, res, false);
  });
  server.Post(kPasswordPath, [this](const httplib::Request& req, httplib::Response& res) {
    caLogin(req, res, true);
  });
}

void CaService::disableFor(std::int64_t seconds) {
  disabledUntilMs_ = seconds > 0 ? http::nowMs() + seconds * 1000 : 0;
}

std::int64_t CaService::disabledSecondsLeft() const {
  std::int64_t left = disabledUntilMs_.load() - http::nowMs();
  return left > 0 ? (left + 999) / 1000 : 0;
}

void CaService::revokeAllTokens() {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlStatement(access.connection(), "UPDATE ca_tokens SET revoked = 1").run();
}

int CaService::liveTokenCount() {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), "SELECT COUNT(*) FROM ca_tokens WHERE revoked = 0");
  return st.step() == SQLITE_ROW ? static_cast<int>(st.integer(0)) : 0;
}

std::optional<CaService::Token> CaService::liveToken(const std::string& token) {
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT security, device_id FROM ca_tokens WHERE token = ? AND revoked = 0");
  if (st.bind(1, token).step() != SQLITE_ROW) return std::nullopt;
  return Token{token, st.text(0), st.text(1)};
}

bool CaService::useNonce(const std::string& token, const std::string& nonce) {
  Store::Access access(store_, Store::Access::Mode::Write);
  if (!SqlStatement(access.connection(), "INSERT OR IGNORE INTO ca_nonces (token, nonce) VALUES (?, ?)")
           .bindAll(token, nonce)
           .run() ||
      sqlite3_changes(access.connection().db()) == 0) {
    return false;
  }
  SqlStatement(access.connection(),
               "DELETE FROM ca_nonces WHERE token = ?1 AND rowid <= (SELECT rowid FROM ca_nonces "
               "WHERE token = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)")
      .bindAll(token, kMaxNoncesPerToken)
      .run();
  return true;
}

void CaService::issueToken(const httplib::Request& req, httplib::Response& res) {
  auto p = http::params(req);
  std::string deviceId = http::firstCookie(req, "deviceId");
  if (http::param(p, "_ver") != kTokenVersion || deviceId.empty() ||
      deviceId.size() > kMaxDeviceIdLength) {
    http::replyText(res, 400, "_ver 0006 and a deviceId cookie are required");
    return;
  }
  Token issued{crypto::randomToken(), crypto::base64Encode(crypto::randomBytes(16)), deviceId};
  bool stored = false;
  {
    Store::Access access(store_, Store::Access::Mode::Write);
    stored = SqlStatement(access.connection(), "INSERT INTO ca_tokens (token, security, device_id) VALUES (?, ?, ?)")
                 .bindAll(issued.token, issued.security, issued.deviceId)
                 .run();
    if (stored) {
      // The device's oldest tokens go, with the nonces they used.
      SqlStatement(access.connection(),
                   "DELETE FROM ca_nonces WHERE token IN (SELECT token FROM ca_tokens WHERE "
                   "device_id = ?1 ORDER BY rowid DESC LIMIT -1 OFFSET ?2)")
          .bindAll(deviceId, kMaxTokensPerDevice)
          .run();
      SqlStatement(access.connection(),
                   "DELETE FROM ca_tokens WHERE device_id = ?1 AND rowid <= (SELECT rowid FROM "
                   "ca_tokens WHERE device_id = ?1 ORDER BY rowid DESC LIMIT 1 OFFSET ?2)")
          .bindAll(deviceId, kMaxTokensPerDevice)
          .run();
      SqlStatement(access.connection(),
                   "DELETE FROM ca_nonces WHERE token IN (SELECT token FROM ca_tokens "
                   "ORDER BY rowid DESC LIMIT -1 OFFSET ?1)")
          .bindAll(kMaxTokens)
          .run();
      SqlStatement(access.connection(),
                   "DELETE FROM ca_tokens WHERE rowid <= (SELECT rowid FROM ca_tokens "
                   "ORDER BY rowid DESC LIMIT 1 OFFSET ?1)")
          .bindAll(kMaxTokens)
          .run();
    }
  }
  if (!stored) {
    http::replyText(res, 500, "cannot record the CA token");
    return;
  }
  http::replyJson(res, Json{{"code", 0},
                            {"desc", "ok"},
                            {"data", {{"passport_ca_token", issued.token}, {"casecurity", issued.security}}}});
}

void CaService::caLogin(const httplib::Request& req, httplib::Response& res, bool passwordStep) {
  if (std::int64_t left = disabledSecondsLeft(); left > 0) {
    replyChallenge(res, "passportCA-Disabled");
    res.set_header("CA-DISABLE-SECONDS", std::to_string(left));
    return;
  }
  if (req.get_header_value("caTag") != "noSafe") {
    http::replyText(res, 400, "caTag is missing");
    return;
  }
  std::string deviceId = http::firstCookie(req, "deviceId");
  auto token = liveToken(http::firstCookie(req, "passport_ca_token"));
  if (!token || deviceId.empty() || token->deviceId != deviceId) {
    replyChallenge(res, "passportCA");
    return;
  }

  auto sent = http::params(req);
  std::map<std::string, std::string> fields;
  for (const auto& [name, value] : sent) {
    if (!fields.emplace(name, value).second) {
      http::replyText(res, 400, "parameter sent twice: " + name);
      return;
    }
  }
  auto caSign = fields.find("_caSign");
  if (caSign == fields.end()) {
    http::replyText(res, 403, "_caSign is missing");
    return;
  }
  std::string givenSign = caSign->second;
  fields.erase(caSign);
  auto expected = crypto::requestSignature(req.method, req.path, fields, token->security);
  if (!expected || !crypto::constantTimeEquals(givenSign, *expected)) {
    http::replyText(res, 403, "_caSign mismatch");
    return;
  }
  auto nonce = fields.find("_nonce");
  if (nonce == fields.end() || nonce->second.empty()) {
    http::replyText(res, 400, "_nonce is missing");
    return;
  }
  if (!useNonce(token->token, nonce->second)) {
    http::replyText(res, 403, "_nonce was used before");
    return;
  }
  fields.erase(nonce);

  httplib::Params plain;
  for (const auto& [name, value] : fields) {
    if (name.starts_with("_")) {
      plain.emplace(name, value);
      continue;
    }
    auto decrypted = crypto::randomIvDecrypt(value, token->security);
    if (!decrypted) {
      http::replyText(res, 400, "parameter does not decrypt: " + name);
      return;
    }
    plain.emplace(name, *decrypted);
  }
  std::string cookieHeader = "deviceId=" + deviceId;
  if (auto version = http::firstCookie(req, "sdkVersion"); !version.empty()) {
    cookieHeader += "; sdkVersion=" + version;
  }
  for (const char* name : kEncryptedCookies) {
    for (const auto& value : http::cookies(req, name)) {
      if (auto decrypted = crypto::randomIvDecrypt(value, token->security)) {
        cookieHeader += "; " + std::string(name) + "=" + *decrypted;
      }
    }
  }

  // The request as the plain handlers read it.
  httplib::Request inner;
  inner.method = req.method;
  inner.path = req.path;
  for (const auto& [name, value] : req.headers) {
    if (name != "Cookie" && name != "Content-Type" && name != "Content-Length") {
      inner.headers.emplace(name, value);
    }
  }
  inner.headers.emplace("Cookie", cookieHeader);
  if (passwordStep) {
    for (const auto& [name, value] : plain) {
      if (!inner.body.empty()) inner.body += '&';
      inner.body += http::urlEncode(name) + "=" + http::urlEncode(value);
    }
    accounts_.passwordLoginDecrypted(inner, res);
  } else {
    inner.params = std::move(plain);
    accounts_.serviceLoginDecrypted(inner, res);
  }

  if (res.status != 200) return;
  auto body = crypto::randomIvEncrypt(res.body, token->security);
  httplib::Headers headers;
  for (const auto& [name, value] : res.headers) {
    if (name != "Set-Cookie") {
      headers.emplace(name, value);
      continue;
    }
    auto encrypted = encryptedSetCookie(value, token->security);
    if (!encrypted) body.reset();
    headers.emplace(name, encrypted.value_or(""));
  }
  if (!body) {
    res.headers.clear();
    http::replyText(res, 500, "cannot encrypt the reply");
    return;
  }
  res.headers = std::move(headers);
  res.set_content(*body, "text/plain; charset=utf-8");
}

}  // namespace localcloud
