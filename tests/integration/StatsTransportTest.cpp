// The statistics transport against the local cloud's statistics service:
// result codes, retries and what reaches the service.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/device/Reachability.h"
#include "platform/diagnostics/Console.h"
#include "server/CloudServer.h"
#include "stats/KoANetworkUtils.h"
#include "support/TestHome.h"

namespace {

using localcloud::Fault;
using lumora::KoANetworkUtils;
using platform::Json;

class StatsTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWWAN);
    server_ = localcloud::CloudServer::create(home_.root() / "cloud");
    ASSERT_TRUE(server_ && server_->start(0));
    transport_ = std::make_unique<KoANetworkUtils>(server_->url());
  }
  void TearDown() override { server_->stop(); }

  std::int32_t send(const KoANetworkUtils::Form& form, Json& output) {
    return transport_->doPerformRequest(&KoANetworkUtils::sendStatMessage, form, output);
  }
  std::size_t received() const { return server_->stats().received().size(); }

  testsupport::TestHome home_;
  std::unique_ptr<localcloud::CloudServer> server_;
  std::unique_ptr<KoANetworkUtils> transport_;
  // Forms the service accepts on "/kostats" and "/realtime_network".
  const KoANetworkUtils::Form form_{
      {"app_id", "1"},
      {"app_key", "2"},
      {"device_id", "d"},
      {"version", "1.0"},
      {"app_package", "com.quenby.lumora"},
      {"device_uuid", "d"},
      {"app_version", "1.0"},
      {"time", "1"},
      {"net_value", "[]"},
      {"stat_value", R"([{"content":[{"category":"c","values":[{"key":"k","type":"event","value":"1"}]}],)"
                     R"("startTS":"1","endTS":"2"}])"}};
};

TEST_F(StatsTransport, NothingIsSentWithoutAFormOrANetwork) {
  Json output;
  EXPECT_EQ(send({}, output), -5);
  EXPECT_EQ(transport_->doPerformRequest(nullptr, form_, output), -5);
  platform::Reachability::overrideStatus(platform::NetworkStatus::NotReachable);
  Fault drop;
  drop.drop = true;
  server_->faults().set("/kostats", drop);
  EXPECT_EQ(send(form_, output), -2);
  EXPECT_TRUE(output.is_null());
  // The fault is still armed: no attempt reached the service.
  server_->faults().clear("/kostats");
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  EXPECT_EQ(send(form_, output), 0);
  EXPECT_EQ(received(), 1u);
}

TEST_F(StatsTransport, TimeOutsAndBrokenConnectionsAreTriedThreeTimes) {
  transport_->setTimeoutSeconds(0.3);
  Fault slow;
  slow.delayMs = 5000;  // never answered in time; cut short when the server stops
  slow.drop = true;
  Fault dropped;
  dropped.drop = true;
  struct Case {
    const char* what;
    Fault fault;
    int times;
    std::int32_t code;
  } cases[] = {
      {"two time-outs", slow, 2, 0},
      {"three time-outs", slow, 3, -1},
      {"two drops", dropped, 2, 0},
      {"three drops", dropped, 3, -1},
  };
  for (Case& c : cases) {
    server_->stats().clearReceived();
    c.fault.times = c.times;
    server_->faults().set("/kostats", c.fault);
    Json output;
    EXPECT_EQ(send(form_, output), c.code) << c.what;
    EXPECT_EQ(received(), c.code == 0 ? 1u : 0u) << c.what;
    server_->faults().clear("/kostats");
  }

  // A refused connection is retried too; a transport error of another kind
  // is not.
  KoANetworkUtils nobody("http://127.0.0.1:1");
  Json output;
  EXPECT_EQ(nobody.doPerformRequest(&KoANetworkUtils::sendCrashReport, form_, output), -1);
  KoANetworkUtils plainHttpElsewhere("http://stats.invalid");
  EXPECT_EQ(plainHttpElsewhere.doPerformRequest(&KoANetworkUtils::sendCrashReport, form_, output), -3);
}

TEST_F(StatsTransport, RepliesAreJudgedByTheirStatus) {
  struct Case {
    std::string body;
    int status;
    std::int32_t code;
    Json output;
  } cases[] = {
      {R"({"status":"ok"})", 200, 0, Json::object()},
      {R"({"status":"ok","data":{"sample_rate":100,"delay":61000}})", 200, 0, {{"sample_rate", 100}, {"delay", 61000}}},
      {R"({"status":"ok","data":[1]})", 200, 0, Json::object()},
      {R"({"status":"fail","msg":"x"})", 200, -5, {{"status", "fail"}, {"msg", "x"}}},
      {R"({"status":"fail","msg":"x"})", 500, -5, {{"status", "fail"}, {"msg", "x"}}},
      {R"({"result":"ok"})", 200, -5, {{"result", "ok"}}},
      {"[]", 200, -6, nullptr},
      {"{}", 200, -6, nullptr},
      {"not json", 200, -6, nullptr},
      {"", 502, -6, nullptr},
  };
  for (const Case& c : cases) {
    Fault fault;
    fault.body = c.body;
    fault.status = c.status;
    fault.times = 1;
    server_->faults().set("/realtime_network", fault);
    Json output;
    EXPECT_EQ(transport_->doPerformRequest(&KoANetworkUtils::sendNetRequestMessage, form_, output), c.code) << c.body;
    EXPECT_EQ(output, c.output) << c.body;
  }

  // The service's own reply data reaches the output.
  server_->stats().setReplyData("/realtime_network", Json{{"ban_time", 1.5e9}});
  Json output;
  EXPECT_EQ(transport_->doPerformRequest(&KoANetworkUtils::sendNetRequestMessage, form_, output), 0);
  EXPECT_EQ(output, (Json{{"ban_time", 1.5e9}}));
}

TEST_F(StatsTransport, LargeFormsArriveWholeAsMultipart) {
  std::string statValue = R"([{"content":[{"category":"New York trip","values":[{"key":"a\"b","type":"event",)"
                          R"("value":"1"}]}],"startTS":"1","endTS":"2"})";
  statValue += std::string(64 * 1024, ' ') + "\r\n]";
  KoANetworkUtils::Form form{{"stat_value", statValue}, {"device_id", "a\"b"}, {"channel", "App Store"},
                             {"app_id", "1"}, {"app_key", "2"}, {"version", "1.0"}};
  Json output;
  ASSERT_EQ(transport_->doPerformRequest(&KoANetworkUtils::sendStatMessage, form, output), 0);
  auto forms = server_->stats().received("/kostats");
  ASSERT_EQ(forms.size(), 1u);
  EXPECT_EQ(forms[0].encoding, "multipart");
  EXPECT_EQ(forms[0].field("stat_value"), statValue);
  EXPECT_EQ(forms[0].field("channel"), "App Store");
  EXPECT_EQ(forms[0].field("device_id"), "a\"b");
}

TEST_F(StatsTransport, TheConsoleDumpShowsTheEventsAndLinksButNoKeyOrToken) {
  std::string dumped;
  platform::setConsoleSink([&](std::string_view line) { dumped.append(line).append("\n"); });
  KoANetworkUtils::Form form = form_;
  for (auto& [name, value] : form) {
    if (name == "app_key") value = "app-key-0123456789";
    if (name == "stat_value") {
      value = R"([{"content":[{"category":"c","values":[{"key":"photo_backup_done","type":"event","value":"1"}]}],)"
              R"("startTS":"1","endTS":"2"}])";
    }
    if (name == "net_value") {
      value = R"([{"url":"https://h/p?serviceToken=tok-0123456789&page=2","data":[{"cost":5,"t":1,"code":200}]}])";
    }
  }
  server_->stats().setReplyData("/kostats", Json{{"token", "reply-token-0123"}, {"accepted", "photo_backup_done"}});
  server_->stats().setReplyData("/realtime_network", Json{{"token", "reply-token-0123"}});
  Json output;
  EXPECT_EQ(transport_->doPerformRequest(&KoANetworkUtils::sendStatMessage, form, output), 0);
  EXPECT_EQ(transport_->doPerformRequest(&KoANetworkUtils::sendNetRequestMessage, form, output), 0);
  platform::setConsoleSink(nullptr);
  for (const char* secret : {"app-key-0123456789", "tok-0123456789", "reply-token-0123"}) {
    EXPECT_EQ(dumped.find(secret), std::string::npos) << secret << " in:\n" << dumped;
  }
  // The form sent (its event's name, the sampled link's other parameters,
  // the sample's time) and the outcome.
  for (const char* shown : {"\"key\":\"photo_backup_done\"", "\"https://h/p?serviceToken=(hidden)&page=2\"",
                            "\"t\":1", "\"accepted\":\"photo_backup_done\"", "\"app_key\":\"(hidden)\""}) {
    EXPECT_NE(dumped.find(shown), std::string::npos) << shown << " not in:\n" << dumped;
  }
}

}  // namespace
