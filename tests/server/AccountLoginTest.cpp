#include <gtest/gtest.h>

#include "ServerFixture.h"
#include "server/services/Crypto.h"

namespace servertest {
namespace {

class AccountLogin : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_TRUE(server_->seedAccount(1001, "alice", "secret"));
  }
};

TEST_F(AccountLogin, LoginPageAsksForAPasswordWithSignedPageValues) {
  Device device;
  Reply page = serviceLogin(device);
  ASSERT_EQ(page.status, 200);
  EXPECT_TRUE(page.prefixed);
  EXPECT_EQ(page.code(), 70016);
  EXPECT_EQ(page.json["sid"], "lumora");
  EXPECT_EQ(page.json["callback"], host() + "/sts?sid=lumora");
  EXPECT_FALSE(page.json["qs"].get<std::string>().empty());
  EXPECT_EQ(page.json["_sign"].get<std::string>().size(), 28u);

  // A bad pass token is no better than none.
  device.cookies["passToken"] = "forged";
  EXPECT_EQ(serviceLogin(device).code(), 70016);

  // Requests the client never sends are refused outright.
  EXPECT_EQ(get("/pass/serviceLogin?sid=lumora&_json=false").status, 200);  // the web page
  EXPECT_EQ(get("/pass/serviceLogin?_json=true").status, 400);
  EXPECT_EQ(get("/pass/serviceLogin?sid=a%20b&_json=true").status, 400);
  EXPECT_EQ(serviceLogin(device, "lumora", {{"callback", "http://elsewhere/x?sid=lumora"}}).status,
            400);
  EXPECT_EQ(serviceLogin(device, "lumora", {{"callback", "http://elsewhere/sts?sid=other"}}).status,
            400);
  EXPECT_EQ(serviceLogin(device, "lumora", {{"callback", "http://old:1/sts?sid=lumora"}}).code(),
            70016);
}

TEST_F(AccountLogin, PasswordLoginThenServiceTokenBoundToTheLoginKey) {
  Device device;
  device.cookies["deviceId"] = "DEV1";
  Reply login = passwordLogin(device, "alice", "secret");
  ASSERT_EQ(login.code(), 0) << login.body;
  const Json& j = login.json;
  EXPECT_EQ(j["userId"], 1001);
  EXPECT_FALSE(j["passToken"].get<std::string>().empty());
  EXPECT_EQ(localcloud::crypto::base64Decode(j["ssecurity"].get<std::string>())->size(), 16u);
  EXPECT_GT(j["nonce"].get<std::int64_t>(), 0);
  EXPECT_EQ(j["location"].get<std::string>(),
            host() + "/sts?sid=lumora&nonce=" + std::to_string(j["nonce"].get<std::int64_t>()));
  EXPECT_EQ(j["callback"], host() + "/sts?sid=lumora");
  EXPECT_FALSE(j["cUserId"].get<std::string>().empty());
  EXPECT_EQ(login.cookies["cUserId"], j["cUserId"]);
  for (const char* key : {"sid", "qs", "_sign", "desc"}) EXPECT_TRUE(j.contains(key)) << key;

  // A wrong client sign is refused and does not use the login up.
  Reply wrong = serviceTokenStep(device, login, localcloud::crypto::sha1Base64("nonce=1&x"));
  EXPECT_EQ(wrong.code(), 401);
  EXPECT_EQ(wrong.cookies.count("serviceToken"), 0u);
  Reply missingSign = get(j["location"].get<std::string>().substr(host().size()));
  EXPECT_EQ(missingSign.code(), 401);

  Reply token = serviceTokenStep(device, login, std::nullopt, "&_userIdNeedEncrypt=true");
  ASSERT_EQ(token.code(), 0) << token.body;
  ASSERT_EQ(token.cookies.count("serviceToken"), 1u);
  EXPECT_EQ(token.cookies["cUserId"], j["cUserId"]);
  auto info = server_->store().lookupServiceToken(token.cookies["serviceToken"]);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->userId, 1001);
  EXPECT_EQ(info->serviceId, "lumora");
  EXPECT_EQ(info->ssecurity, j["ssecurity"]);

  // The login is used once.
  EXPECT_EQ(serviceTokenStep(device, login).code(), 401);
  // A nonce of another service id is refused.
  Reply other = get("/sts?sid=gallery&nonce=" + std::to_string(j["nonce"].get<std::int64_t>()) +
                    "&clientSign=x");
  EXPECT_EQ(other.code(), 401);
  EXPECT_EQ(get("/sts?sid=lumora&nonce=12ab&clientSign=x").status, 400);
}

TEST_F(AccountLogin, PasswordStepErrors) {
  Device device;
  Reply page = serviceLogin(device);
  // Digest login: the upper-case MD5 of the password, in either case.
  std::string md5 = localcloud::crypto::md5HexUpper("secret");
  EXPECT_EQ(passwordStep(device, page, "alice", {{"hash", md5}}).code(), 0);
  EXPECT_EQ(passwordStep(device, page, "1001", {{"pwd", "secret"}}).code(), 0);

  Reply wrong = passwordStep(device, page, "alice", {{"pwd", "nope"}});
  EXPECT_EQ(wrong.code(), 70016);
  for (const char* key : {"sid", "qs", "_sign", "callback"}) EXPECT_TRUE(wrong.json.contains(key));
  EXPECT_EQ(passwordStep(device, page, "ghost", {{"pwd", "x"}}).code(), 20003);

  localcloud::AccountOptions blockedOptions;
  blockedOptions.blocked = true;
  ASSERT_TRUE(server_->seedAccount(1002, "mallory", "pw", blockedOptions));
  Reply blocked = passwordStep(device, page, "mallory", {{"pwd", "pw"}});
  EXPECT_EQ(blocked.status, 403);
  EXPECT_FALSE(blocked.prefixed);

  // A page value that the server did not sign is refused.
  Reply forged = page;
  forged.json["qs"] = "%3Fsid%3Dother";
  EXPECT_EQ(passwordStep(device, forged, "alice", {{"pwd", "secret"}}).status, 400);
  Reply otherService = page;
  otherService.json["sid"] = "gallery";
  EXPECT_EQ(passwordStep(device, otherService, "alice", {{"pwd", "secret"}}).status, 400);
  EXPECT_EQ(passwordStep(device, page, "alice", {}).status, 400);
  EXPECT_EQ(passwordStep(device, page, "alice", {{"pwd", "secret"}, {"serviceParam", "{bad"}})
                .status,
            400);
  EXPECT_EQ(passwordStep(device, page, "alice",
                         {{"pwd", "secret"}, {"serviceParam", "{\"checkSafePhone\":true}"}})
                .code(),
            0);
}

TEST_F(AccountLogin, PostParametersAreReadFromTheBodyOnly) {
  // What a POST carries in its URL's query does not count, for any account
  // endpoint and whatever the body's label.
  Device device;
  Reply page = serviceLogin(device);
  httplib::Params form{{"user", "alice"}, {"pwd", "secret"}, {"_json", "true"}};
  for (const char* key : {"sid", "callback", "qs", "_sign"}) {
    form.emplace(key, page.json[key].get<std::string>());
  }
  const std::string query = httplib::detail::params_to_query_str(form);
  for (const char* path : {"/pass/serviceLoginAuth2", "/pass/loginStep2", "/auth/sendPhoneTicket",
                           "/auth/verifyPhone"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(client()->Post(std::string(path) + "?" + query, "", "")->status, 400);
    EXPECT_EQ(client()->Post(std::string(path) + "?" + query, httplib::Params{})->status, 400);
    EXPECT_EQ(rawPost(server_->port(), std::string(path) + "?" + query, "").status, 400);
  }
  // Split between the two, the login misses what went into the query.
  httplib::Params body = form;
  body.erase("user");
  EXPECT_EQ(post("/pass/serviceLoginAuth2?user=alice", body, &device).status, 400);
  EXPECT_EQ(post("/pass/serviceLoginAuth2", form, &device).code(), 0);
}

TEST_F(AccountLogin, ReloginWithThePassToken) {
  Device device;
  Reply login = passwordLogin(device, "alice", "secret");
  ASSERT_EQ(login.code(), 0);
  std::string passToken = login.json["passToken"];
  std::string security = login.json["ssecurity"];
  device.cookies["passToken"] = passToken;
  device.cookies["userId"] = "1001";

  Reply relogin = serviceLogin(device);
  ASSERT_EQ(relogin.code(), 0) << relogin.body;
  EXPECT_EQ(relogin.json["passToken"], passToken);
  EXPECT_NE(relogin.json["ssecurity"], security);  // a fresh key per login
  EXPECT_EQ(serviceTokenStep(device, relogin).code(), 0);

  // Signed relogin: valid under a key handed out under this pass token.
  std::string callback = login.json["callback"];
  auto signature = localcloud::crypto::requestSignature(
      "GET", "/pass/serviceLogin",
      {{"sid", "lumora"}, {"_json", "true"}, {"callback", callback}}, security);
  EXPECT_EQ(serviceLogin(device, "lumora", {{"callback", callback}, {"signature", *signature}})
                .code(),
            0);
  EXPECT_EQ(serviceLogin(device, "lumora", {{"callback", callback}, {"signature", "AAAA"}}).code(),
            70016);

  // The user id cookie must name the token's owner.
  ASSERT_TRUE(server_->seedAccount(1003, "bob", "pw"));
  device.cookies["userId"] = "bob";
  EXPECT_EQ(serviceLogin(device).code(), 70016);
  device.cookies["userId"] = "alice";
  EXPECT_EQ(serviceLogin(device).code(), 0);

  // Of two pass token cookies the valid one counts.
  httplib::Headers headers{{"Cookie", "passToken=stale; passToken=" + passToken}};
  auto both = client()->Get("/pass/serviceLogin?sid=lumora&_json=true", headers);
  ASSERT_TRUE(both);
  EXPECT_NE(both->body.find("\"code\":0"), std::string::npos);

  server_->store().revokePassTokens(1001);
  EXPECT_EQ(serviceLogin(device).code(), 70016);
  // A login granted before the revocation gives no service token any more.
  EXPECT_EQ(serviceTokenStep(device, login).code(), 401);
}

TEST_F(AccountLogin, PassportServiceIdStillGetsALocation) {
  Device device;
  Reply login = passwordLogin(device, "alice", "secret", "passport");
  ASSERT_EQ(login.code(), 0);
  EXPECT_EQ(login.json["location"].get<std::string>().rfind(host() + "/sts?sid=passport&", 0), 0u);
}

}  // namespace
}  // namespace servertest
