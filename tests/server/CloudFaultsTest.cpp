#include <gtest/gtest.h>

#include <chrono>

#include "CloudFixture.h"

namespace servertest {
namespace {

using namespace std::chrono_literals;
using localcloud::Fault;

constexpr const char* kRelocation = "/lum/relocation/v3/user/6001/record";

class CloudFaults : public KeyedCloudTest {
 protected:
  CloudFaults() : KeyedCloudTest(6001) {}
  CloudReply relocate() const { return cloud_->post(kRelocation, {{"romCountry", ""}}); }
  // Injects `fault` for the next relocation request and sends it.
  CloudReply relocateOnce(Fault fault) {
    fault.times = 1;
    server_->faults().set(kRelocation, fault);
    return relocate();
  }
};

TEST_F(CloudFaults, RedirectsCarryTheUrlEncrypted) {
  Fault redirect;
  redirect.redirectUrl = "http://127.0.0.1:" + std::to_string(server_->port());
  redirect.permanent = true;
  redirect.times = 1;
  server_->faults().set(kRelocation, redirect);
  // The client keeps the body and the headers and replaces only the URL:
  // a bare origin is completed with the same path, so the signature holds.
  Params wire = cloud_->sign("POST", kRelocation, {{"romCountry", ""}});
  CloudReply reply = cloud_->send("POST", kRelocation, wire);
  ASSERT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.encrypted);
  EXPECT_EQ(reply.code(), 308);
  EXPECT_EQ(reply.data()["redirectUrl"], redirect.redirectUrl + kRelocation);
  EXPECT_EQ(reply.data()["isPermanent"], true);
  CloudReply followed = cloud_->send("POST", kRelocation, wire, std::nullopt,
                                     {{"X-QUENBY-REDIRECT-COUNT", "0"}});
  EXPECT_EQ(followed.code(), 0);
  auto calls = server_->signedEndpoints().recentCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].redirectCount, "");
  EXPECT_EQ(calls[1].redirectCount, "0");

  // A full URL is handed out as it is; a GET keeps its query when the
  // origin alone is given.
  redirect.redirectUrl = "http://elsewhere.example/some/path?x=1";
  redirect.permanent = false;
  server_->faults().set(kRelocation, redirect);
  reply = relocate();
  EXPECT_EQ(reply.data()["redirectUrl"], "http://elsewhere.example/some/path?x=1");
  EXPECT_FALSE(reply.data().contains("isPermanent"));

  SignedClient devices = signedClient(tokenWithKey(6001, "deviceinfo", kTestKey));
  Fault getRedirect;
  getRedirect.redirectUrl = "http://other.example:81/";
  server_->faults().set("/api/user/devices/setting", getRedirect);
  CloudReply listed = devices.get("/api/user/devices/setting", {{"userId", "6001"}});
  std::string url = listed.data()["redirectUrl"];
  EXPECT_EQ(url.rfind("http://other.example:81/api/user/devices/setting?", 0), 0u) << url;
  EXPECT_NE(url.find("signature="), std::string::npos);
}

TEST_F(CloudFaults, ServerErrorsAndOverloadAsTheHostHandlerReadsThem) {
  Fault overload;
  overload.status = 503;
  overload.retryAfter = 120;
  CloudReply busy = relocateOnce(overload);
  EXPECT_EQ(busy.status, 503);
  EXPECT_TRUE(busy.encrypted);
  EXPECT_EQ(busy.code(), 503);
  EXPECT_EQ(busy.data()["retryAfter"], 120);
  EXPECT_EQ(relocate().code(), 0);  // used up

  Fault failure;
  failure.status = 500;
  failure.code = 500;
  CloudReply failed = relocateOnce(failure);
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.code(), 500);
  EXPECT_FALSE(failed.json.contains("data"));

  // Non-2xx statuses with an empty body (the client sees the status alone).
  Fault empty;
  empty.status = 502;
  empty.emptyBody = true;
  CloudReply bare = relocateOnce(empty);
  EXPECT_EQ(bare.status, 502);
  EXPECT_TRUE(bare.body.empty());
  empty.status = 0;  // defaults to 500
  EXPECT_EQ(relocateOnce(empty).status, 500);

  // Without a valid token the fault still answers, in plain JSON.
  overload.times = 1;
  server_->faults().set(kRelocation, overload);
  CloudReply plain = cloud_->send("POST", kRelocation, {}, "userId=6001; serviceToken=x");
  EXPECT_EQ(plain.status, 503);
  EXPECT_FALSE(plain.encrypted);
  EXPECT_EQ(plain.code(), 503);
}

TEST_F(CloudFaults, AdminInjectsCloudFaultsAndSlowReplies) {
  Json redirect = admin("/_admin/faults", {{"path", kRelocation},
                                           {"redirectUrl", "http://127.0.0.1:1"},
                                           {"times", 1}});
  ASSERT_EQ(redirect["ok"], true) << redirect;
  EXPECT_EQ(relocate().code(), 308);
  EXPECT_EQ(admin("/_admin/faults", {{"path", kRelocation}, {"redirectUrl", "ftp://x"}})["ok"],
            false);
  EXPECT_EQ(admin("/_admin/faults", {{"path", kRelocation}, {"retryAfter", "soon"}})["ok"],
            false);

  ASSERT_EQ(admin("/_admin/faults", {{"path", kRelocation},
                                     {"status", 503},
                                     {"retryAfter", 0},
                                     {"times", 1}})["ok"],
            true);
  CloudReply busy = relocate();
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.code(), 503);  // retryAfter alone implies the code
  EXPECT_EQ(busy.data()["retryAfter"], 0);

  ASSERT_EQ(admin("/_admin/faults", {{"path", kRelocation},
                                     {"status", 504},
                                     {"emptyBody", true},
                                     {"times", 1}})["ok"],
            true);
  EXPECT_EQ(relocate().status, 504);

  ASSERT_EQ(admin("/_admin/faults", {{"path", kRelocation}, {"delayMs", 300}, {"times", 1}})["ok"],
            true);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(relocate().code(), 0);  // slow, then served normally
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // Account-service paths keep their own reply form for coded faults.
  ASSERT_EQ(admin("/_admin/faults", {{"path", "/pass/serviceLogin"},
                                     {"code", 503},
                                     {"retryAfter", 5},
                                     {"times", 1}})["ok"],
            true);
  Device device;
  Reply page = serviceLogin(device);
  EXPECT_TRUE(page.prefixed);
  EXPECT_EQ(page.code(), 503);
  EXPECT_EQ(page.json["data"]["retryAfter"], 5);
}

}  // namespace
}  // namespace servertest
