#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "ServerFixture.h"
#include "support/Sanitizers.h"

namespace servertest {
namespace {

using namespace std::chrono_literals;
using localcloud::Fault;

class Faults : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_TRUE(server_->seedAccount(3001, "jane", "pw"));
  }
};

TEST_F(Faults, StatusAndCodeAreInjectedForNRequests) {
  Fault status;
  status.status = 503;
  status.times = 2;
  server_->faults().set("/pass/serviceLogin", status);
  Device device;
  EXPECT_EQ(serviceLogin(device).status, 503);
  EXPECT_EQ(serviceLogin(device).status, 503);
  EXPECT_EQ(serviceLogin(device).code(), 70016);  // used up

  Fault code;
  code.code = 70016;
  server_->faults().set("/pass/serviceLoginAuth2", code);  // always
  Reply page = serviceLogin(device);
  for (int i = 0; i < 3; ++i) {
    Reply reply = passwordStep(device, page, "jane", {{"pwd", "pw"}});
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.prefixed);
    EXPECT_EQ(reply.code(), 70016);
  }
  server_->faults().clear("/pass/serviceLoginAuth2");
  EXPECT_EQ(passwordStep(device, page, "jane", {{"pwd", "pw"}}).code(), 0);

  // Both together: the status with a coded body.
  Fault both;
  both.status = 500;
  both.code = 10003;
  both.times = 1;
  server_->faults().set("/sts", both);
  Reply login = passwordStep(device, page, "jane", {{"pwd", "pw"}});
  Reply token = serviceTokenStep(device, login);
  EXPECT_EQ(token.status, 500);
  EXPECT_EQ(token.code(), 10003);
  EXPECT_EQ(serviceTokenStep(device, login).code(), 0);  // the login was not used up
}

TEST_F(Faults, DropBreaksTheReplyAndDelayWaitsForReal) {
  Fault drop;
  drop.drop = true;
  drop.times = 1;
  server_->faults().set("/pass/serviceLogin", drop);
  auto broken = client()->Get("/pass/serviceLogin?sid=lumora&_json=true");
  EXPECT_FALSE(broken);  // the transfer breaks off
  Device device;
  EXPECT_EQ(serviceLogin(device).code(), 70016);

  Fault delay;
  delay.delayMs = 300;
  delay.times = 1;
  server_->faults().set("/pass/serviceLogin", delay);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serviceLogin(device).code(), 70016);  // delayed, then served normally
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // Delays are bounded.
  Fault huge;
  huge.delayMs = 10'000'000;
  server_->faults().set("/x", huge);
  EXPECT_EQ(server_->faults().take("/x")->delayMs, 30000);
}

TEST_F(Faults, StopCutsAnInjectedDelayShort) {
  Fault delay;
  delay.delayMs = 30000;
  server_->faults().set("/pass/serviceLogin", delay);
  int port = server_->port();
  auto pending = std::async(std::launch::async, [port] {
    httplib::Client cli("127.0.0.1", port);
    return static_cast<bool>(cli.Get("/pass/serviceLogin?sid=lumora&_json=true"));
  });
  std::this_thread::sleep_for(100ms);  // let the request reach the delay
  auto start = std::chrono::steady_clock::now();
  server_->stop();
  // Well within the delay it cuts short, however much the build stretches it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::min<std::chrono::seconds>(testsupport::scaled(10s), 20s));
  EXPECT_FALSE(pending.get());
  EXPECT_FALSE(server_->running());
  EXPECT_EQ(server_->port(), 0);
}

TEST_F(Faults, AdminEndpointsSeedInspectAndInject) {
  EXPECT_EQ(get("/_admin/ping").status, 200);
  Reply seeded = adminPost("/_admin/accounts", {{"userId", 3002},
                                                {"loginName", "kim"},
                                                {"password", "pw"},
                                                {"needsCaptcha", true}});
  ASSERT_EQ(seeded.status, 200) << seeded.body;
  EXPECT_TRUE(server_->store().findAccount("kim")->options.needsCaptcha);
  EXPECT_EQ(adminPost("/_admin/accounts", {{"userId", "x"}}).status, 400);
  EXPECT_EQ(adminPost("/_admin/accounts", {{"userId", 3003}, {"loginName", "kim"},
                                           {"password", "pw"}}).status,
            400);  // login name taken
  EXPECT_EQ(client()->Post("/_admin/accounts", "[1]", "application/json")->status, 400);

  Device device;
  EXPECT_EQ(get("/_admin/captcha").status, 404);
  get("/pass/getCode?icodeType=login", &device);
  Reply captcha = get("/_admin/captcha?ick=" + enc(device.cookies["ick"]));
  ASSERT_EQ(captcha.status, 200);
  EXPECT_EQ(Json::parse(captcha.body)["code"], *server_->captchaCode(device.cookies["ick"]));
  EXPECT_EQ(get("/_admin/phoneTicket?user=kim").status, 404);

  ASSERT_EQ(adminPost("/_admin/faults", {{"path", "/pass/serviceLogin"}, {"status", 502},
                                         {"times", 1}}).status,
            200);
  EXPECT_EQ(serviceLogin(device).status, 502);
  EXPECT_EQ(serviceLogin(device).code(), 70016);
  EXPECT_EQ(adminPost("/_admin/faults", {{"path", "/_admin/ping"}, {"status", 500}}).status, 400);
  EXPECT_EQ(adminPost("/_admin/faults", {{"path", "/a"}, {"status", 42}}).status, 400);

  // A coded fault that lets one request through first and adds its data.
  ASSERT_EQ(adminPost("/_admin/faults", {{"path", "/pass/serviceLogin"},
                                         {"code", 1},
                                         {"skip", 1},
                                         {"data", {{"syncTag", 0}}}})
                .status,
            200);
  EXPECT_EQ(serviceLogin(device).code(), 70016);
  Reply coded = serviceLogin(device);
  EXPECT_EQ(coded.code(), 1);
  EXPECT_EQ(coded.json["data"]["syncTag"], 0);
  EXPECT_EQ(serviceLogin(device).code(), 1);
  EXPECT_EQ(client()->Delete("/_admin/faults")->status, 200);
  EXPECT_EQ(serviceLogin(device).code(), 70016);

  Reply login = passwordLogin(device, "jane", "pw");
  device.cookies["passToken"] = login.json["passToken"];
  ASSERT_EQ(adminPost("/_admin/revoke", {{"userId", 3001}}).status, 200);
  EXPECT_EQ(serviceLogin(device).code(), 70016);
}

TEST_F(Faults, AdminNumbersMustBeWholeAndInRange) {
  // 2^32 + 1 is no count of requests (it is not read as 1), nor is 1.5.
  EXPECT_EQ(adminPost("/_admin/faults", {{"path", "/a"}, {"times", 4294967297LL}}).status, 400);
  EXPECT_EQ(adminPost("/_admin/faults", {{"path", "/a"}, {"delayMs", 1.5}}).status, 400);
  EXPECT_EQ(adminPost("/_admin/faults", {{"path", "/a"}, {"skip", -1}}).status, 400);
  EXPECT_EQ(adminPost("/_admin/faults", {{"path", "/a"}, {"data", 1}}).status, 400);
  EXPECT_EQ(adminPost("/_admin/accounts",
                      {{"userId", 1e30}, {"loginName", "big"}, {"password", "pw"}})
                .status,
            400);
  EXPECT_EQ(adminPost("/_admin/faults", {{"path", "/a"}, {"times", 2}}).status, 200);
}

TEST_F(Faults, LoginsAndTokensSurviveARestartOnTheSameData) {
  Device device;
  Reply page = serviceLogin(device);
  Reply login = passwordStep(device, page, "jane", {{"pwd", "pw"}});
  Reply token = serviceTokenStep(device, login);
  ASSERT_EQ(token.code(), 0);
  std::string serviceToken = token.cookies["serviceToken"];

  restart();
  auto info = server_->store().lookupServiceToken(serviceToken);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->userId, 3001);
  EXPECT_EQ(info->ssecurity, login.json["ssecurity"]);
  // The pass token still signs in, and page values signed before the
  // restart still verify.
  device.cookies["passToken"] = login.json["passToken"];
  EXPECT_EQ(serviceLogin(device).code(), 0);
  Device fresh;
  EXPECT_EQ(passwordStep(fresh, page, "jane", {{"pwd", "pw"}}).code(), 0);
}

TEST_F(Faults, ServerRefusesADoubleStartAndRestartsAfterStop) {
  std::string error;
  EXPECT_FALSE(server_->start(0, &error));
  EXPECT_FALSE(error.empty());
  // Neither a second server on this data folder nor one on this port.
  EXPECT_FALSE(localcloud::CloudServer::create(dataDir_, &error));
  auto other = localcloud::CloudServer::create(home_.root() / "other", &error);
  ASSERT_TRUE(other) << error;
  EXPECT_FALSE(other->start(server_->port(), &error));
  server_->stop();
  server_->stop();  // idempotent
  ASSERT_TRUE(server_->start(0, &error)) << error;
  Device device;
  EXPECT_EQ(serviceLogin(device).code(), 70016);
}

}  // namespace
}  // namespace servertest
