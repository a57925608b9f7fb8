#include <gtest/gtest.h>

#include "CloudFixture.h"
#include "server/services/Crypto.h"

namespace servertest {
namespace {

constexpr const char* kSignedRelocation = "/lum/relocation/v3/user/4001/record";
constexpr const char* kDevices = "/api/user/devices/setting";

TEST(CloudCrypto, AesMatchesOpensslVectors) {
  // Computed with the openssl command line, key and IV as hex:
  //   K=$(printf 0123456789abcdef | xxd -p); IV=$(printf 7351902846153072 | xxd -p)
  //   printf 'hello' | openssl enc -aes-128-cbc -K $K -iv $IV -base64 -A
  //     -> vLpPIv82hLHCdjSQyNQxHg==
  //   printf '' | ...  -> Q6Y1eGNzDnz305jrTn/Awg==
  //   printf 'CN' | ... -> qw4srcHPvyLuRopMTH6PtQ==
  using namespace localcloud::crypto;
  EXPECT_EQ(aesEncryptBase64("hello", kTestKey), "vLpPIv82hLHCdjSQyNQxHg==");
  EXPECT_EQ(aesEncryptBase64("", kTestKey), "Q6Y1eGNzDnz305jrTn/Awg==");
  EXPECT_EQ(aesEncryptBase64("CN", kTestKey), "qw4srcHPvyLuRopMTH6PtQ==");
  EXPECT_EQ(aesDecryptBase64("vLpPIv82hLHCdjSQyNQxHg==", kTestKey), "hello");
  EXPECT_EQ(aesDecryptBase64("Q6Y1eGNzDnz305jrTn/Awg==", kTestKey), "");
  // 16 bytes of plain text take two blocks.
  EXPECT_EQ(base64Decode(*aesEncryptBase64("0123456789abcdef", kTestKey))->size(), 32u);

  // Refusals: a key that is not 16 bytes, text that is not Base64, a
  // ciphertext that is not whole blocks, a wrong key (bad padding).
  EXPECT_FALSE(aesEncryptBase64("x", "c2hvcnQ="));
  EXPECT_FALSE(aesDecryptBase64("vLpPIv82hLHCdjSQyNQxHg", kTestKey));
  EXPECT_FALSE(aesDecryptBase64("aGVsbG8=", kTestKey));
  EXPECT_FALSE(aesDecryptBase64("", kTestKey));
  EXPECT_NE(aesDecryptBase64("vLpPIv82hLHCdjSQyNQxHg==", "ZmVkY2JhOTg3NjU0MzIxMA=="),
            std::optional<std::string>("hello"));
}

class SignedRequests : public CloudTest {};

TEST_F(SignedRequests, KnownAnswerSignatureIsAcceptedAndTheReplyDecrypts) {
  // The signing text and its signature, computed independently:
  //   T='POST&/lum/relocation/v3/user/10001/record&_t=1&romCountry=qw4srcHPvyLuRopMTH6PtQ=='
  //   printf '%s' "$T&MDEyMzQ1Njc4OWFiY2RlZg==" | openssl dgst -sha1 -binary | base64
  //   -> 7A98bonxPREjcsorhvvL++Cu2u8=
  // ("_t" sorts before "romCountry": "_" is 0x5F, "r" 0x72; "_t" is sent
  // in clear, "romCountry" is the AES text of "CN".)
  const std::string path = "/lum/relocation/v3/user/10001/record";
  Params wire{{"_t", "1"},
              {"romCountry", "qw4srcHPvyLuRopMTH6PtQ=="},
              {"signature", "7A98bonxPREjcsorhvvL++Cu2u8="}};
  EXPECT_EQ(SignedClient::signingText("POST", path, wire, kTestKey),
            "POST&/lum/relocation/v3/user/10001/record&_t=1&romCountry=qw4srcHPvyLuRopMTH6PtQ==&"
            "MDEyMzQ1Njc4OWFiY2RlZg==");
  ASSERT_TRUE(server_->setHostList({{"contacts.example", "127.0.0.1:9"}}));
  SignedClient cloud = signedClient(tokenWithKey(10001, "lumora", kTestKey));
  CloudReply reply = cloud.send("POST", path, wire);
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.contentType.rfind("application/json", 0), 0u);
  EXPECT_TRUE(reply.encrypted);
  EXPECT_EQ(reply.code(), 0);
  EXPECT_EQ(reply.data()["hostList"], Json({{"contacts.example", "127.0.0.1:9"}}));

  // The same request signed over another path, or with one more pair in
  // the text, is refused.
  wire["signature"] = localcloud::crypto::sha1Base64(
      SignedClient::signingText("POST", path + "/x", wire, kTestKey));
  EXPECT_EQ(cloud.send("POST", path, wire).status, 403);
}

TEST_F(SignedRequests, RealLoginSignsGetAndPost) {
  CloudLogin lumora = login(4001, "ann", "lumora");
  ASSERT_FALSE(lumora.serviceToken.empty());
  CloudReply post = signedClient(lumora).post(kSignedRelocation, {{"romCountry", ""}});
  ASSERT_EQ(post.status, 200) << post.body;
  EXPECT_TRUE(post.encrypted);
  EXPECT_EQ(post.code(), 0);
  EXPECT_EQ(post.data()["hostList"], Json::object());
  // A trailing slash is not part of the signed path.
  EXPECT_EQ(signedClient(lumora).post(std::string(kSignedRelocation) + "/", {{"romCountry", "CN"}})
                .code(),
            0);

  // The device service takes tokens of its own service id only.
  CloudLogin devices = tokenWithKey(4001, "deviceinfo", kTestKey);
  CloudReply get = signedClient(devices).get(kDevices, {{"userId", "4001"}});
  ASSERT_EQ(get.status, 200) << get.body;
  EXPECT_EQ(get.data()["list"], Json::array());
  EXPECT_EQ(signedClient(lumora).get(kDevices, {{"userId", "4001"}}).status, 401);
  EXPECT_EQ(signedClient(devices).post(kSignedRelocation, {{"romCountry", ""}}).status, 401);

  // No parameters at all: the client sends the cookie and no signature.
  //   printf '%s' 'GET&/api/user/devices/setting&MDEyMzQ1Njc4OWFiY2RlZg==' | openssl dgst
  //   -sha1 -binary | base64 -> pd8gRbCUk9bG6Y8l7q3dD0/u1ZM= (an empty dictionary)
  EXPECT_EQ(signedClient(devices).send("GET", kDevices, {}).code(), 400);  // userId missing
  EXPECT_EQ(signedClient(devices)
                .send("GET", kDevices, {{"signature", "pd8gRbCUk9bG6Y8l7q3dD0/u1ZM="}})
                .code(),
            400);  // the signature of no parameters verifies; userId is still missing
  EXPECT_EQ(signedClient(devices)
                .send("GET", kDevices, {{"signature", "pd8gRbCUk9bG6Y8l7q3dD0/u1ZN="}})
                .status,
            403);
}

TEST_F(SignedRequests, TamperedRequestsAreRefused) {
  CloudLogin lumora = login(4001, "ann", "lumora");
  SignedClient cloud = signedClient(lumora);
  Params good = cloud.sign("POST", kSignedRelocation, {{"romCountry", "CN"}, {"_json", "true"}});
  ASSERT_EQ(cloud.send("POST", kSignedRelocation, good).code(), 0);

  auto expectRefused = [&](const Params& wire, int status, int code, const char* what) {
    CloudReply reply = cloud.send("POST", kSignedRelocation, wire);
    EXPECT_EQ(reply.status, status) << what;
    EXPECT_EQ(reply.code(), code) << what;
    EXPECT_TRUE(reply.encrypted) << what;  // the caller's key is known: the error is encrypted
  };
  Params wrong = good;
  wrong["signature"][0] = wrong["signature"][0] == 'A' ? 'B' : 'A';
  expectRefused(wrong, 403, 403, "wrong signature");
  Params unsigned_ = good;
  unsigned_.erase("signature");
  expectRefused(unsigned_, 403, 403, "missing signature");
  Params changed = good;
  changed["_json"] = "false";  // a clear parameter is signed too
  expectRefused(changed, 403, 403, "changed clear parameter");
  Params added = good;
  added["extra"] = cloud.encrypt("1");
  expectRefused(added, 403, 403, "added parameter");

  // Correctly signed, but a value that is not the key's AES text.
  Params plain = cloud.sign("POST", kSignedRelocation, {{"_json", "true"}});
  plain["romCountry"] = "CN";
  plain["signature"] = localcloud::crypto::sha1Base64(
      SignedClient::signingText("POST", kSignedRelocation, plain, lumora.security));
  expectRefused(plain, 400, 400, "undecryptable parameter");
  // Under another key. A wrong key still finds valid padding about once in
  // 256 keys, so both keys are fixed here rather than drawn at login.
  SignedClient keyed = signedClient(tokenWithKey(4001, "lumora", kTestKey));
  Params otherKey = keyed.sign("POST", kSignedRelocation, {{"_json", "true"}});
  otherKey["romCountry"] = *localcloud::crypto::aesEncryptBase64("CN", "ZmVkY2JhOTg3NjU0MzIxMA==");
  otherKey["signature"] = localcloud::crypto::sha1Base64(
      SignedClient::signingText("POST", kSignedRelocation, otherKey, kTestKey));
  CloudReply underOtherKey = keyed.send("POST", kSignedRelocation, otherKey);
  EXPECT_EQ(underOtherKey.status, 400);
  EXPECT_EQ(underOtherKey.code(), 400);

  // A parameter sent twice (query and body) is ambiguous.
  httplib::Client raw("127.0.0.1", server_->port());
  std::string body = "romCountry=" + enc(good["romCountry"]) + "&_json=true&signature=" +
                     enc(good["signature"]);
  auto twice = cloud.decode(raw.Post(std::string(kSignedRelocation) + "?_json=true",
                                     {{"Cookie", cloud.cookie()}}, body,
                                     "application/x-www-form-urlencoded"));
  EXPECT_EQ(twice.status, 400);

  // Another user's path: signed correctly, still forbidden.
  const std::string other = "/lum/relocation/v3/user/4002/record";
  CloudReply foreign = cloud.post(other, {{"romCountry", "CN"}});
  EXPECT_EQ(foreign.status, 403);
  EXPECT_EQ(foreign.code(), 403);
}

TEST_F(SignedRequests, MissingUnknownAndRevokedTokensGet401) {
  CloudLogin lumora = login(4001, "ann", "lumora");
  SignedClient cloud = signedClient(lumora);
  Params wire = cloud.sign("POST", kSignedRelocation, {{"romCountry", "CN"}});

  auto expect401 = [&](const std::string& cookie, const char* what) {
    CloudReply reply = cloud.send("POST", kSignedRelocation, wire, cookie);
    EXPECT_EQ(reply.status, 401) << what;
    EXPECT_FALSE(reply.encrypted) << what;
    EXPECT_EQ(reply.code(), 401) << what;
    EXPECT_TRUE(reply.headers.count("WWW-Authenticate")) << what;
  };
  expect401("", "no cookie");
  expect401("userId=4001", "no token");
  expect401("userId=4001; serviceToken=unknown", "unknown token");
  expect401("userId=4002; serviceToken=" + lumora.serviceToken, "token of another user");
  expect401("userId=(null); serviceToken=(null)", "nil values");
  // A stale token in front of the valid one does not hide it.
  EXPECT_EQ(cloud.send("POST", kSignedRelocation, wire,
                       "userId=4001; serviceToken=stale; serviceToken=" + lumora.serviceToken)
                .code(),
            0);

  // Revoking that one token (admin API): 401 until the client logs in again.
  Json revoked = admin("/_admin/revoke", {{"serviceToken", lumora.serviceToken}});
  ASSERT_EQ(revoked.value("ok", false), true) << revoked;
  expect401(cloud.cookie(), "revoked token");
  EXPECT_EQ(admin("/_admin/revoke", {{"serviceToken", lumora.serviceToken}}).value("ok", true),
            false);

  // The pass token still works: a relogin gives a fresh token that signs.
  Device device;
  device.cookies["passToken"] = server_->store().issuePassToken(4001, "dev");
  Reply relogin = serviceLogin(device, "lumora");
  ASSERT_EQ(relogin.code(), 0) << relogin.body;
  Reply token = serviceTokenStep(device, relogin);
  CloudLogin fresh{4001, token.cookies["serviceToken"], relogin.json["ssecurity"]};
  EXPECT_EQ(signedClient(fresh).post(kSignedRelocation, {{"romCountry", "CN"}}).code(), 0);

  // Revoking by service id leaves the other services' tokens alone.
  CloudLogin devices = tokenWithKey(4001, "deviceinfo", kTestKey);
  ASSERT_EQ(admin("/_admin/revoke", {{"userId", 4001}, {"serviceId", "lumora"}})["ok"], true);
  EXPECT_EQ(signedClient(fresh).post(kSignedRelocation, {{"romCountry", "CN"}}).status, 401);
  EXPECT_EQ(signedClient(devices).get(kDevices, {{"userId", "4001"}}).code(), 0);
  EXPECT_TRUE(server_->store().passTokenOwner(device.cookies["passToken"]));
}

TEST_F(SignedRequests, JournalRecordsRedirectCountsAndOutcomes) {
  CloudLogin lumora = login(4001, "ann", "lumora");
  SignedClient cloud = signedClient(lumora);
  Params wire = cloud.sign("POST", kSignedRelocation, {{"romCountry", "CN"}});
  cloud.send("POST", kSignedRelocation, wire, std::nullopt, {{"X-QUENBY-REDIRECT-COUNT", "3"}});
  cloud.send("POST", kSignedRelocation, wire, "userId=4001; serviceToken=nope");
  auto calls = server_->signedEndpoints().recentCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].redirectCount, "3");
  EXPECT_EQ(calls[0].userId, 4001);
  EXPECT_EQ(calls[0].status, 200);
  EXPECT_EQ(calls[1].userId, 0);
  EXPECT_EQ(calls[1].status, 401);
  Reply listed = get("/_admin/requests");
  Json requests = Json::parse(listed.body)["requests"];
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["path"], kSignedRelocation);
  EXPECT_EQ(client()->Delete("/_admin/requests")->status, 200);
  EXPECT_TRUE(server_->signedEndpoints().recentCalls().empty());
}

}  // namespace
}  // namespace servertest
