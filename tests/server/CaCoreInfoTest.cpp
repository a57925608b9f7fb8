// The CA side of the account service (tokens, CA relogin and password
// step, what they refuse) and the core-information API, spoken the way
// the phone client speaks them.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "CloudFixture.h"
#include "server/services/CaService.h"
#include "server/services/CoreInfoService.h"
#include "server/services/Crypto.h"

namespace servertest {
namespace {

using localcloud::crypto::randomIvDecrypt;
using localcloud::crypto::randomIvEncrypt;

struct CaToken {
  std::string token;
  std::string security;
};

// One CA request as the client forms it; the fields below let a test
// spoil one part.
struct CaCall {
  std::string method = "POST";
  std::string path = localcloud::CaService::kPasswordPath;
  Params params;                              // plain values
  std::map<std::string, std::string> cookies;  // plain values ("deviceId" stays plain)
  std::string nonce = localcloud::crypto::randomToken(8);
  bool caTag = true;
  bool encryptParams = true;
  bool encryptCookies = true;
  std::optional<std::string> caSign;  // the right one when absent
};

struct CaReply {
  int status = 0;
  std::string challenge;
  std::string disableSeconds;
  Json json;                                   // the decrypted reply
  std::map<std::string, std::string> cookies;  // decrypted values
  int code() const { return json.is_object() ? json.value("code", -1) : -1; }
};

class CaLogin : public CloudTest {
 protected:
  void SetUp() override {
    CloudTest::SetUp();
    ASSERT_TRUE(server_->seedAccount(501, "ann", "pw"));
  }

  Reply fetchToken(const std::string& device, const std::string& version = "0006") {
    Device d;
    if (!device.empty()) d.cookies["deviceId"] = device;
    return get(std::string(localcloud::CaService::kTokenPath) + "?_ver=" + version, &d);
  }
  CaToken token(const std::string& device = "dev-1") {
    Reply reply = fetchToken(device);
    EXPECT_EQ(reply.code(), 0) << reply.body;
    return CaToken{reply.json["data"].value("passport_ca_token", ""), reply.json["data"].value("casecurity", "")};
  }

  CaReply send(const CaToken& token, CaCall call, const std::string& device = "dev-1") {
    const std::string& key = token.security;
    Params wire;
    for (const auto& [name, value] : call.params) {
      wire[name] = call.encryptParams && name.front() != '_' ? randomIvEncrypt(value, key).value_or("") : value;
    }
    wire["_nonce"] = call.nonce;
    wire["_caSign"] = call.caSign.value_or(
        localcloud::crypto::sha1Base64(SignedClient::signingText(call.method, call.path, wire, key)));
    std::string cookie = "deviceId=" + device + "; sdkVersion=iOS-0.1.8; passport_ca_token=" + token.token;
    for (const auto& [name, value] : call.cookies) {
      cookie += "; " + name + "=" + (call.encryptCookies ? randomIvEncrypt(value, key).value_or("") : value);
    }
    httplib::Headers headers{{"Cookie", cookie}};
    if (call.caTag) headers.emplace("caTag", "noSafe");
    std::string form;
    for (const auto& [name, value] : wire) form += (form.empty() ? "" : "&") + enc(name) + "=" + enc(value);
    auto result = call.method == "GET" ? client()->Get(call.path + "?" + form, headers)
                                       : client()->Post(call.path, headers, form, "application/x-www-form-urlencoded");
    CaReply reply;
    if (!result) return reply;
    reply.status = result->status;
    reply.challenge = result->get_header_value("WWW-Authenticate");
    reply.disableSeconds = result->get_header_value("CA-DISABLE-SECONDS");
    if (reply.status != 200) return reply;
    auto plain = randomIvDecrypt(result->body, key).value_or("");
    if (plain.rfind("&&&START&&&", 0) == 0) reply.json = Json::parse(plain.substr(11), nullptr, false);
    auto range = result->headers.equal_range("Set-Cookie");
    for (auto it = range.first; it != range.second; ++it) {
      std::string pair = it->second.substr(0, it->second.find(';'));
      auto eq = pair.find('=');
      reply.cookies[pair.substr(0, eq)] = randomIvDecrypt(pair.substr(eq + 1), key).value_or("(plain)");
    }
    return reply;
  }

  static CaCall passwordCall(const std::string& password = "pw") {
    CaCall call;
    call.params = {{"user", "ann"}, {"sid", "lumora"}, {"callback", ""}, {"_json", "true"}, {"pwd", password}};
    return call;
  }
};

TEST_F(CaLogin, TokensAreHandedOutPerDevice) {
  EXPECT_EQ(fetchToken("dev-1", "0005").status, 400);
  EXPECT_EQ(fetchToken("").status, 400);
  EXPECT_EQ(fetchToken(std::string(200, 'd')).status, 400);

  CaToken first = token();
  auto key = localcloud::crypto::base64Decode(first.security);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->size(), 16u);
  // A device keeps its newest four tokens; the oldest stops working.
  for (int i = 0; i < localcloud::CaService::kMaxTokensPerDevice; ++i) token();
  EXPECT_EQ(server_->ca().liveTokenCount(), localcloud::CaService::kMaxTokensPerDevice);
  EXPECT_EQ(send(first, passwordCall()).challenge, "passportCA");
}

TEST_F(CaLogin, RefusesWhatTheClientWouldNotSend) {
  CaToken ca = token();
  struct Case {
    const char* what;
    CaCall call;
    std::string device;
    int status;
    const char* challenge;
  };
  CaCall noTag = passwordCall();
  noTag.caTag = false;
  CaCall badSign = passwordCall();
  badSign.caSign = "AAAA";
  CaCall plainParams = passwordCall();
  plainParams.encryptParams = false;
  CaCall noNonce = passwordCall();
  noNonce.nonce = "";
  CaCall reused = passwordCall();
  reused.nonce = "once";
  send(ca, reused);
  const Case cases[] = {
      {"no caTag", noTag, "dev-1", 400, ""},
      {"another device's token", passwordCall(), "dev-2", 401, "passportCA"},
      {"a wrong _caSign", badSign, "dev-1", 403, ""},
      {"parameters in plain text", plainParams, "dev-1", 400, ""},
      {"no _nonce", noNonce, "dev-1", 400, ""},
      {"a nonce used before", reused, "dev-1", 403, ""},
  };
  for (const auto& c : cases) {
    CaReply reply = send(ca, c.call, c.device);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(reply.challenge, c.challenge) << c.what;
  }
  EXPECT_EQ(send(CaToken{"unknown", ca.security}, passwordCall()).challenge, "passportCA");

  server_->ca().disableFor(60);
  CaReply off = send(ca, passwordCall());
  EXPECT_EQ(off.status, 401);
  EXPECT_EQ(off.challenge, "passportCA-Disabled");
  EXPECT_EQ(off.disableSeconds, "60");
  EXPECT_EQ(admin("/_admin/ca", Json{{"disabledSeconds", 0}, {"revokeTokens", true}})["ok"], true);
  EXPECT_EQ(send(ca, passwordCall()).challenge, "passportCA");
}

TEST_F(CaLogin, LoginsAnswerEncrypted) {
  CaToken ca = token();
  EXPECT_EQ(send(ca, passwordCall("wrong")).code(), 70016);

  CaReply login = send(ca, passwordCall());
  ASSERT_EQ(login.code(), 0) << login.json;
  EXPECT_EQ(login.json["userId"], 501);
  EXPECT_EQ(login.cookies["cUserId"], server_->store().accountById(501)->cUserId);
  // The login goes on to the plain service-token step.
  Device device;
  Reply asReply;
  asReply.json = login.json;
  EXPECT_EQ(serviceTokenStep(device, asReply).code(), 0);

  // The relogin takes the pass token only in the CA form.
  std::string passToken = login.json["passToken"];
  CaCall relogin;
  relogin.method = "GET";
  relogin.path = localcloud::CaService::kReloginPath;
  relogin.params = {{"sid", "lumora"}, {"_json", "true"}};
  relogin.cookies = {{"userId", "501"}, {"passToken", passToken}};
  CaReply again = send(ca, relogin);
  EXPECT_EQ(again.code(), 0) << again.json;
  EXPECT_EQ(again.json["passToken"], passToken);
  relogin.encryptCookies = false;
  relogin.nonce = "another";
  EXPECT_EQ(send(ca, relogin).code(), 70016);
}

class CoreInfo : public CloudTest {
 protected:
  void SetUp() override {
    CloudTest::SetUp();
    localcloud::AccountOptions options;
    options.phone = "13800000001";
    ASSERT_TRUE(server_->seedAccount(601, "bob", "pw", options));
    ASSERT_TRUE(server_->seedAccount(602, "cat", "pw"));
  }
  CloudReply fetch(std::int64_t userId, const std::string& sid, const std::string& asUser) {
    return signedClient(tokenWithKey(userId, sid, kTestKey)).get(localcloud::CoreInfoService::kPath, {{"userId", asUser}});
  }
};

TEST_F(CoreInfo, ProfileOfTheCaller) {
  CloudReply plain = fetch(601, "passportapi", "601");
  ASSERT_EQ(plain.code(), 0) << plain.body;
  EXPECT_TRUE(plain.encrypted);
  EXPECT_EQ(plain.data()["userId"], 601);
  EXPECT_EQ(plain.data()["userName"], "bob");
  EXPECT_EQ(plain.data()["userAddresses"],
            Json::array({Json{{"address", "13800000001"}, {"verified", 1}, {"addressType", 1}, {"flags", 2}}}));

  Json profile = {{"userName", "Bob B"},
                  {"locale", "en_GB"},
                  {"userAddresses", Json::array({Json{{"address", "b@x.org"}, {"verified", 1}, {"addressType", 2}, {"flags", 2}}})}};
  ASSERT_EQ(admin("/_admin/coreInfo", Json{{"userId", 601}, {"profile", profile}})["ok"], true);
  CloudReply set = fetch(601, "passportapi", "601");
  EXPECT_EQ(set.data()["userName"], "Bob B");
  EXPECT_EQ(set.data()["locale"], "en_GB");
  EXPECT_EQ(set.data()["userAddresses"], profile["userAddresses"]);

  EXPECT_EQ(fetch(601, "passportapi", "602").status, 403);
  EXPECT_EQ(fetch(601, "lumora", "601").status, 401);
}

TEST_F(CoreInfo, ProfilesTheReplyCannotCarryAreRefused) {
  auto address = [](Json changes) {
    Json entry = {{"address", "p"}, {"verified", 1}, {"addressType", 1}, {"flags", 0}};
    entry.update(changes);
    return Json{{"userAddresses", Json::array({entry})}};
  };
  const Json refused[] = {
      Json::array(),
      Json{{"userName", 5}},
      Json{{"icon", std::string(300, 'i')}},
      Json{{"userAddresses", Json::object()}},
      Json{{"userAddresses", Json(localcloud::CoreInfoService::kMaxAddresses + 1, Json::object())}},
      address({{"address", ""}}),
      address({{"verified", 2}}),
      address({{"flags", -1}}),
      address({{"addressType", "1"}}),
  };
  for (const Json& profile : refused) {
    std::string error;
    EXPECT_FALSE(server_->coreInfo().setProfile(601, profile, &error)) << profile;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(server_->coreInfo().setProfile(999, Json::object()));
  EXPECT_TRUE(server_->coreInfo().setProfile(602, address(Json::object())));
}

}  // namespace
}  // namespace servertest
