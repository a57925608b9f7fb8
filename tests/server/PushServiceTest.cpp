// The push service: its strict forms, the two worlds of its hosts, the
// registration switch, and the server side's secrets.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include <fmt/format.h>

#include "ServerFixture.h"

namespace servertest {
namespace {

using localcloud::PushService;

constexpr const char* kToken = "ab01ff";

class PushServiceTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_TRUE(server_->push().addApp({"2882303761517", "5111", "com.quenby.lumora", "ios-secret", "android-secret"}));
  }

  // A form POST to a push host ("127.0.0.1" production, "localhost" sandbox).
  Reply call(const std::string& path, const httplib::Params& form, const std::string& host = "127.0.0.1",
             const httplib::Headers& headers = {}) {
    httplib::Client client(host, server_->port());
    return plainJsonReply(client.Post(path, headers, form));
  }
  static httplib::Params app(httplib::Params form) {
    form.emplace("appid", "2882303761517");
    form.emplace("apptoken", "5111");
    form.emplace("appversion", "1");
    form.emplace("packagename", "com.quenby.lumora");
    return form;
  }
  static httplib::Params common(httplib::Params form) {
    form.emplace("resourceid", "ip123456");
    return app(std::move(form));
  }
  std::string registerUser(const std::string& host = "127.0.0.1", const std::string& devid = "dev1") {
    Reply reply = call("/pass/register",
                       app({{"sdkversion", "1.3.140901"}, {"devid", devid}, {"model", "x86_64"}, {"platform", "ios9.3"}}),
                       host);
    EXPECT_EQ(reply.json["result"], "ok") << reply.body;
    return std::to_string(reply.json["data"]["userId"].get<std::int64_t>());
  }
  std::string bind(const std::string& userId, const std::string& host = "127.0.0.1", const std::string& regid = {},
                   const std::string& token = kToken) {
    httplib::Params form = common({{"devicetoken", token}, {"userid", userId}});
    if (!regid.empty()) form.emplace("regid", regid);
    Reply reply = call("/v1/ios/register", form, host);
    EXPECT_EQ(reply.json["result"], "ok") << reply.body;
    return reply.json["data"].value("regid", "");
  }
  int code(const Reply& reply) { return reply.json.is_object() ? reply.json.value("code", 0) : -1; }
};

TEST_F(PushServiceTest, DeviceCallsAreCheckedFieldByField) {
  std::string user = registerUser();
  std::string regid = bind(user);
  std::string otherRegid = bind(registerUser("127.0.0.1", "dev2"), "127.0.0.1", {}, "cd02");
  auto with = [](httplib::Params form, const std::string& name, const std::string& value) {
    form.erase(name);
    if (!value.empty()) form.emplace(name, value);
    return form;
  };
  const httplib::Params binding = common({{"devicetoken", "ab01"}, {"userid", user}});
  const httplib::Params alias = common({{"regid", regid}, {"alias", "u1"}});
  const httplib::Params notify = common({{"regid", regid}, {"type", "bar:click"}});
  struct Case {
    const char* what;
    const char* path;
    httplib::Params form;
    int status;
    int code;
  } cases[] = {
      {"a field missing", "/v1/ios/register", with(binding, "resourceid", ""), 400, PushService::kCodeBadRequest},
      {"a field it does not take", "/v1/ios/register", with(binding, "platform", "ios"), 400,
       PushService::kCodeBadRequest},
      {"an upper-case token", "/v1/ios/register", with(binding, "devicetoken", "AB01"), 400,
       PushService::kCodeBadRequest},
      {"half a byte of token", "/v1/ios/register", with(binding, "devicetoken", "ab0"), 400,
       PushService::kCodeBadRequest},
      {"no resource id", "/v1/ios/register", with(binding, "resourceid", "ip12345"), 400,
       PushService::kCodeBadRequest},
      {"a wrong app key", "/v1/ios/register", with(binding, "apptoken", "5112"), 403, PushService::kCodeUnknownApp},
      {"another package", "/v1/ios/register", with(binding, "packagename", "com.other"), 403,
       PushService::kCodeUnknownApp},
      {"an unknown user", "/v1/ios/register", with(binding, "userid", "999"), 200, PushService::kCodeUnknownUser},
      {"another user's registration", "/v1/ios/register", with(binding, "regid", otherRegid), 200,
       PushService::kCodeRegistrationReset},
      {"an unknown registration", "/v1/ios/command/set-alias", with(alias, "regid", "R0"), 200,
       PushService::kCodeRegistrationReset},
      {"an alias with a comma", "/v1/ios/command/set-alias", with(alias, "alias", "a,b"), 400,
       PushService::kCodeBadRequest},
      {"a topic for an alias", "/v1/ios/command/set-alias", with(with(alias, "alias", ""), "topic", "t"), 400,
       PushService::kCodeBadRequest},
      {"another report type", "/v1/ios/notify", with(notify, "type", "bar:open"), 400, PushService::kCodeBadRequest},
      {"an empty message id", "/v1/ios/notify", with(notify, "messageid", ""), 200, 0},
      {"not an iOS platform", "/pass/register",
       app({{"sdkversion", "1"}, {"devid", "d"}, {"model", "m"}, {"platform", "android4"}}), 400,
       PushService::kCodeBadRequest},
  };
  for (const Case& c : cases) {
    Reply reply = call(c.path, c.form);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    EXPECT_EQ(code(reply), c.code) << c.what;
    EXPECT_EQ(reply.json["result"], c.code == 0 ? "ok" : "error") << c.what;
  }
  // An empty message id is sent as no message id at all.
  EXPECT_FALSE(server_->push().received("/v1/ios/notify").back().has("messageid"));

  Reply elsewhere = call("/v1/ios/command/set-alias", alias, "127.0.0.1", {{"Host", "push.example"}});
  EXPECT_EQ(elsewhere.status, 421);
  EXPECT_EQ(code(elsewhere), PushService::kCodeUnknownHost);
  EXPECT_EQ(server_->push().received().back().env, "");
  auto registrations = server_->push().registrations();
  ASSERT_EQ(registrations.size(), 2u);
  EXPECT_TRUE(registrations[0].aliases.empty());
}

TEST_F(PushServiceTest, ProductionAndSandboxAreWorldsApart) {
  std::string user = registerUser("localhost");
  std::string regid = bind(user, "localhost");
  EXPECT_EQ(code(call("/v1/ios/subscribe", common({{"regid", regid}, {"topic", "news"}}), "127.0.0.1")),
            PushService::kCodeRegistrationReset);
  EXPECT_EQ(code(call("/v1/ios/register", common({{"devicetoken", kToken}, {"userid", user}}), "127.0.0.1")),
            PushService::kCodeUnknownUser);
  EXPECT_EQ(registerUser("localhost"), user) << "a device keeps its user";

  EXPECT_EQ(code(call("/v1/ios/subscribe", common({{"regid", regid}, {"topic", "news"}}), "localhost")), 0);
  EXPECT_EQ(code(call("/v1/ios/command/set-alias", common({{"regid", regid}, {"alias", "u1"}}), "localhost")), 0);
  EXPECT_EQ(bind(user, "localhost", regid), regid) << "binding with the registration keeps it";
  auto registrations = server_->push().registrations();
  ASSERT_EQ(registrations.size(), 1u);
  EXPECT_EQ(registrations[0].env, PushService::kSandbox);
  EXPECT_EQ(registrations[0].topics, std::vector<std::string>{"news"});
  EXPECT_EQ(registrations[0].aliases, std::vector<std::string>{"u1"});

  // The token bound anew without the registration replaces it.
  std::string fresh = bind(user, "localhost");
  EXPECT_NE(fresh, regid);
  EXPECT_EQ(code(call("/v1/ios/unsubscribe", common({{"regid", regid}, {"topic", "news"}}), "localhost")),
            PushService::kCodeRegistrationReset);
  EXPECT_EQ(code(call("/v1/ios/unregister", common({{"regid", fresh}}), "localhost")), 0);
  EXPECT_TRUE(server_->push().registrations().empty());

  // The cloud records which host each request reached.
  auto subscribes = server_->push().received("/v1/ios/subscribe");
  ASSERT_EQ(subscribes.size(), 2u);
  EXPECT_EQ(subscribes[0].env, PushService::kProduction);
  EXPECT_EQ(subscribes[1].env, PushService::kSandbox);
}

TEST_F(PushServiceTest, TheSwitchAnswersTheNextCommandWith66007) {
  std::string user = registerUser();
  std::string regid = bind(user);
  ASSERT_EQ(adminPost("/_admin/push/expireNext", Json::object()).status, 200);
  const httplib::Params alias = common({{"regid", regid}, {"alias", "u1"}});
  EXPECT_EQ(code(call("/v1/ios/command/set-alias", alias)), PushService::kCodeRegistrationReset);
  EXPECT_EQ(code(call("/v1/ios/command/set-alias", alias)), PushService::kCodeRegistrationReset)
      << "the registration is gone";
  std::string fresh = bind(user);
  EXPECT_EQ(code(call("/v1/ios/command/set-alias", common({{"regid", fresh}, {"alias", "u1"}}))), 0);
}

TEST_F(PushServiceTest, ServerSideCallsNeedTheAppSecretAndTheirPlatformsFields) {
  const httplib::Headers ios{{"Authorization", "key=ios-secret"}};
  const httplib::Headers android{{"Authorization", "key=android-secret"}};
  struct Case {
    const char* what;
    const char* path;
    httplib::Params form;
    httplib::Headers headers;
    int status;
    int code;
  } cases[] = {
      {"no secret", "/v2/message/topic", {{"topic", "news"}}, {}, 401, PushService::kCodeUnauthorized},
      {"a wrong secret", "/v2/message/topic", {{"topic", "news"}}, {{"Authorization", "key=x"}}, 401,
       PushService::kCodeUnauthorized},
      {"the secret alone", "/v2/message/topic", {{"topic", "news"}}, {{"Authorization", "ios-secret"}}, 401,
       PushService::kCodeUnauthorized},
      {"an iOS message", "/v2/message/regid",
       {{"registration_id", "a,b,c"}, {"description", "hi"}, {"timeToLive", "0"}, {"extra.badge", "1"}}, ios, 200, 0},
      {"an empty id in the list", "/v2/message/regid", {{"registration_id", "a,,c"}}, ios, 400,
       PushService::kCodeBadRequest},
      {"an Android field to iOS", "/v2/message/alias", {{"alias", "u1"}, {"title", "t"}}, ios, 400,
       PushService::kCodeBadRequest},
      {"the platform left in", "/v2/message/alias", {{"alias", "u1"}, {"platform", "ios"}}, ios, 400,
       PushService::kCodeBadRequest},
      {"an Android message", "/v2/message/alias",
       {{"alias", "u1"}, {"title", "t"}, {"notify_type", "-1"}, {"pass_through", "0"}, {"time_to_live", "0"}},
       android, 200, 0},
      {"a pass-through of 2", "/v2/message/topic", {{"topic", "news"}, {"pass_through", "2"}}, android, 400,
       PushService::kCodeBadRequest},
      {"several messages", "/v2/multi_messages/aliases",
       {{"messages", R"([{"target":"u1","message":{"description":"a"}},{"target":"u2","message":{}}])"}}, ios, 200,
       0},
      {"a message without target", "/v2/multi_messages/regids", {{"messages", R"([{"message":{}}])"}}, ios, 400,
       PushService::kCodeBadRequest},
  };
  for (const Case& c : cases) {
    Reply reply = call(c.path, c.form, "127.0.0.1", c.headers);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    EXPECT_EQ(code(reply), c.code) << c.what;
  }

  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::string today = fmt::format("{:04}{:02}{:02}", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
  httplib::Client client("127.0.0.1", server_->port());
  auto counters = [&](const std::string& query, const httplib::Headers& headers) {
    return plainJsonReply(client.Get("/v1/stats/message/counters?" + query, headers));
  };
  std::string query = "start_date=20000101&end_date=" + today + "&restricted_package_name=com.quenby.lumora";
  Reply counted = counters(query, ios);
  ASSERT_EQ(counted.status, 200) << counted.body;
  EXPECT_EQ(counted.json["data"]["counters"], Json::array({Json{{"date", today}, {"sent", 4}}}));
  EXPECT_EQ(counters(query + "&platform=ios", ios).status, 400);
  EXPECT_EQ(counters("start_date=20000230&end_date=20000301&restricted_package_name=com.quenby.lumora", ios).status,
            400);
  EXPECT_EQ(counters("start_date=20000302&end_date=20000301&restricted_package_name=com.quenby.lumora", ios).status,
            400);
  EXPECT_EQ(counters("start_date=20000101&end_date=20000301&restricted_package_name=com.other", ios).status, 403);
  EXPECT_EQ(counters(query, {}).status, 401);
}

}  // namespace
}  // namespace servertest
