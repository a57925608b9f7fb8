#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "ServerFixture.h"

namespace servertest {
namespace {

using localcloud::StatsService;

class StatsServiceTest : public ServerTest {
 protected:
  Reply send(const std::string& path, const std::string& body, const std::string& contentType) {
    return plainJsonReply(client()->Post(path, body, contentType.c_str()));
  }
  Reply multipart(const std::string& path, const httplib::MultipartFormDataItems& items) {
    return plainJsonReply(client()->Post(path, items));
  }
  // Forms the two services accept, and the same with one field changed
  // (nullopt: left out).
  static httplib::Params statsForm() {
    return {{"app_id", "1"}, {"app_key", "2"}, {"device_id", "d"}, {"version", "1.0"}, {"stat_value", kPackages}};
  }
  static httplib::Params networkForm() {
    return {{"app_id", "1"},        {"app_key", "2"},       {"app_package", "p"}, {"device_uuid", "d"},
            {"app_version", "1.0"}, {"time", "1500000000000"}, {"net_value", kSamples}};
  }
  static httplib::Params with(httplib::Params form, const std::string& name, const std::optional<std::string>& value) {
    form.erase(name);
    if (value) form.emplace(name, *value);
    return form;
  }
  static constexpr const char* kPackages =
      R"([{"content":[{"category":"ui","values":[{"key":"tap","type":"event","value":"3","params":{"a":"1"}}]},)"
      R"({"category":"kostat_session","values":[{"start":"1000","end":"2000","env":"WIFI"}]},)"
      R"({"category":"kostat_pv","index":"New York","values":["1"]}],"startTS":"1000","endTS":"2000"}])";
  static constexpr const char* kSamples =
      R"([{"url":"http://a","data":[{"cost":12,"t":1500000000000.0,"code":0,"net":"WIFI","dns":"1.2.3.4"}]}])";
};

TEST_F(StatsServiceTest, MultipartAndUrlEncodedFormsAreKeptAndAnswered) {
  // Far beyond the 8 KiB that cpp-httplib takes in a labelled form.
  const std::string big(20000, ' ');
  const std::string statValue =
      R"([{"content":[{"category":"kostat_pv","index":"New York","values":["1"]}],"startTS":"1","endTS":"1"}])" + big;
  Reply kept = multipart(StatsService::kStatsPath,
                         {{"stat_value", statValue, "", ""}, {"app_id", "2882303761517", "", ""},
                          {"app_key", "5601751", "", ""}, {"device_id", "d", "", ""}, {"version", "1.0", "", ""}});
  ASSERT_EQ(kept.status, 200);
  EXPECT_EQ(kept.json, (Json{{"status", "ok"}, {"data", Json::object()}}));

  ASSERT_TRUE(server_->stats().setReplyData(StatsService::kNetworkPath,
                                            Json{{"sample_rate", 10000}, {"delay", 61000}, {"ban_time", 0}}));
  EXPECT_FALSE(server_->stats().setReplyData("/elsewhere", Json::object()));
  EXPECT_FALSE(server_->stats().setReplyData(StatsService::kNetworkPath, Json::array()));
  const std::string netValue =
      R"([{"url":"http://a/?q= &=)" + std::string(9000, 'x') + R"(","data":[{"cost":1,"t":2.0,"code":200}]}])";
  Reply network = post(StatsService::kNetworkPath, {{"net_value", netValue}, {"time", "1"}, {"app_id", "1"},
                                                    {"app_key", "2"}, {"app_package", "p"}, {"device_uuid", "d"},
                                                    {"app_version", "1.0"}});
  ASSERT_EQ(network.status, 200);
  EXPECT_EQ(Json::parse(network.body)["data"]["delay"], 61000);

  auto forms = server_->stats().received();
  ASSERT_EQ(forms.size(), 2u);
  EXPECT_EQ(forms[0].path, "/kostats");
  EXPECT_EQ(forms[0].encoding, "multipart");
  EXPECT_EQ(forms[0].field("stat_value"), statValue);
  EXPECT_EQ(forms[0].field("app_id"), "2882303761517");
  EXPECT_EQ(forms[1].encoding, "urlencoded");
  EXPECT_EQ(forms[1].field("net_value"), netValue);
  EXPECT_EQ(server_->stats().received(StatsService::kNetworkPath).size(), 1u);

  // The admin view lists the same, and clears it.
  auto listed = client()->Get("/_admin/stats?path=/kostats");
  ASSERT_TRUE(listed);
  Json list = Json::parse(listed->body)["received"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["fields"][0], Json::array({"app_id", "2882303761517"}));
  ASSERT_TRUE(client()->Delete("/_admin/stats"));
  EXPECT_TRUE(server_->stats().received().empty());
}

TEST_F(StatsServiceTest, WhatIsNoFormIsRefused) {
  struct Case {
    const char* what;
    std::string body;
    std::string contentType;
  } cases[] = {
      {"no fields", "", "application/x-www-form-urlencoded"},
      {"a field twice", "a=1&a=2", "application/x-www-form-urlencoded"},
      {"JSON", "{\"a\":1}", "application/json"},
  };
  for (const Case& c : cases) {
    Reply reply = send(StatsService::kCrashPath, c.body, c.contentType);
    EXPECT_EQ(reply.status, 400) << c.what;
    EXPECT_EQ(reply.json["status"], "fail") << c.what;
    EXPECT_TRUE(reply.json["msg"].is_string()) << c.what;
  }
  Reply file = multipart(StatsService::kCrashPath, {{"crash", "x", "crash.txt", "text/plain"}});
  EXPECT_EQ(file.status, 400);
  Reply twice = multipart(StatsService::kCrashPath, {{"a", "1", "", ""}, {"a", "2", "", ""}});
  EXPECT_EQ(twice.status, 400);
  EXPECT_TRUE(server_->stats().received().empty());
}

TEST_F(StatsServiceTest, FaultsAnswerInTheServicesFormOrWithTheGivenBody) {
  Reply injected = adminPost("/_admin/faults", Json{{"path", "/kostats"}, {"body", "[]"}, {"times", 1}});
  ASSERT_EQ(injected.status, 200);
  EXPECT_EQ(post("/kostats", {{"a", "1"}}).body, "[]");

  localcloud::Fault refused;
  refused.code = 5;
  refused.times = 1;
  server_->faults().set("/kostats", refused);
  Reply reply = post("/kostats", {{"a", "1"}});
  Json body = Json::parse(reply.body);
  EXPECT_EQ(body["status"], "fail");
  EXPECT_EQ(body["code"], 5);
  EXPECT_EQ(post("/kostats", statsForm()).status, 200);
  EXPECT_EQ(server_->stats().received().size(), 1u);
}

TEST_F(StatsServiceTest, UsageAndSampleFormsAreCheckedFieldByField) {
  struct Case {
    const char* path;
    std::string field;
    std::optional<std::string> value;
    int status;
  } cases[] = {
      {"/kostats", "channel", "App Store", 200},
      {"/kostats", "channel", "", 400},
      {"/kostats", "device_id", std::nullopt, 400},
      {"/kostats", "version", "", 400},
      {"/kostats", "stat_value", "[]", 400},
      {"/kostats", "stat_value", "not json", 400},
      {"/kostats", "stat_value", R"([{"content":[{"category":"c","values":[{"key":"k","value":"1"}]}],"startTS":"1","endTS":"1"}])", 400},
      {"/kostats", "stat_value", R"([{"content":[{"category":"kostat_session","values":[{"start":"x","end":"1"}]}],"startTS":"1","endTS":"1"}])", 400},
      {"/realtime_network", "net_value", "[]", 200},
      {"/realtime_network", "app_channel", "App Store", 400},  // without device_model and device_os
      {"/realtime_network", "app_package", std::nullopt, 400},
      {"/realtime_network", "time", "1.5", 400},
      {"/realtime_network", "net_value", R"([{"url":"http://a","data":[{"cost":1.5,"t":1,"code":0}]}])", 400},
      {"/realtime_network", "net_value", R"([{"url":"http://a","data":[{"cost":1,"t":1,"code":0,"exception":""}]}])", 400},
  };
  for (const Case& c : cases) {
    auto form = with(std::string(c.path) == "/kostats" ? statsForm() : networkForm(), c.field, c.value);
    EXPECT_EQ(post(c.path, form).status, c.status) << c.path << " " << c.field;
  }
  auto channel = with(with(with(networkForm(), "app_channel", "c"), "device_model", "m"), "device_os", "ios9.3");
  EXPECT_EQ(post("/realtime_network", channel).status, 200);
  EXPECT_EQ(post("/kostats", statsForm()).status, 200);
}

TEST_F(StatsServiceTest, CrashFormsAreCheckedFieldByField) {
  // MD5 of "abc", upper-case.
  const std::string digest = "900150983CD24FB0D6963F7D28E17F72";
  const std::map<std::string, std::string> valid = {
      {"app_id", "2882303761517"}, {"app_key", "5601751"},     {"device_uuid", "d1"},
      {"device_os", "ios9.3"},     {"device_model", "x86_64"}, {"app_version", "1"},
      {"app_channel", ""},         {"app_start_time", "12000"}, {"app_crash_time", "12500"},
      {"crash_exception_type", "signal:11 -->segmentation violation"},
      {"crash_exception_desc", "NULL " + digest}, {"crash_callstack", "abc"}};
  auto sendWith = [&](const std::string& name, const std::optional<std::string>& value) {
    httplib::MultipartFormDataItems items;
    for (const auto& [field, text] : valid) {
      if (field != name) items.push_back({field, text, "", ""});
    }
    if (value) items.push_back({name, *value, "", ""});
    return multipart(StatsService::kCrashPath, items);
  };
  struct Case {
    std::string field;
    std::optional<std::string> value;  // nullopt: left out
    int status;
  } cases[] = {
      {"device_uuid", std::nullopt, 200},
      {"app_crash_time", "0", 200},
      {"app_id", std::nullopt, 400},
      {"app_key", "", 400},
      {"app_channel", std::nullopt, 400},
      {"device_uuid", "", 400},
      {"crash_callstack", "", 400},
      {"app_start_time", "12000.5", 400},
      {"app_crash_time", "-1", 400},
      {"app_crash_time", "1e4", 400},
      {"crash_exception_desc", digest, 400},
      {"crash_exception_desc", "NULL 900150983cd24fb0d6963f7d28e17f72", 400},
      {"crash_exception_desc", "NULL " + digest + " ", 400},
      {"crash_exception_desc", "NULL D41D8CD98F00B204E9800998ECF8427E", 400},
  };
  for (const Case& c : cases) {
    Reply reply = sendWith(c.field, c.value);
    EXPECT_EQ(reply.status, c.status) << c.field << "=" << c.value.value_or("(left out)");
    EXPECT_EQ(reply.json["status"], c.status == 200 ? "ok" : "fail") << c.field;
  }
  EXPECT_EQ(server_->stats().received(StatsService::kCrashPath).size(), 2u);
}

}  // namespace
}  // namespace servertest
