#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "CloudFixture.h"
#include "server/http/HttpUtil.h"
#include "server/services/DeviceInfoService.h"
#include "support/Sanitizers.h"

namespace servertest {
namespace {

constexpr const char* kLimitContacts = "/lum/contact/v2/user/7001/full";
constexpr const char* kLimitRelocation = "/lum/relocation/v3/user/7001/record";
constexpr const char* kRegister = "/api/user/device/setting";
constexpr const char* kLimitList = "/api/user/devices/setting";

class RequestLimits : public KeyedCloudTest {
 protected:
  RequestLimits() : KeyedCloudTest(7001) {}
  void SetUp() override {
    KeyedCloudTest::SetUp();
    devices_ = std::make_unique<SignedClient>(
        signedClient(tokenWithKey(7001, "deviceinfo", kTestKey)));
  }
  CloudReply registerDevice(const std::string& devId, const std::string& content) {
    return devices_->post(kRegister, {{"userId", "7001"}, {"devId", devId}, {"content", content}});
  }
  std::unique_ptr<SignedClient> devices_;
};

TEST_F(RequestLimits, OversizedBodiesAreRefusedUnread) {
  using localcloud::CloudServer;
  const int port = server_->port();
  RawReply tooLarge = rawPost(port, "/pass/serviceLoginAuth2",
                              std::string(CloudServer::kMaxRequestBody + 1, 'a'));
  EXPECT_EQ(tooLarge.status, 413);
  // At the limit the body is read (and refused as a login form that is not one).
  RawReply atLimit = rawPost(port, "/pass/serviceLoginAuth2",
                             std::string(CloudServer::kMaxRequestBody, 'a'));
  EXPECT_EQ(atLimit.status, 400);

  // A body of unannounced length could be any size: refused before it is read.
  EXPECT_EQ(rawPost(port, kLimitContacts, "entry=x", cloud_->cookie(), /*chunked=*/true).status, 411);
}

TEST_F(RequestLimits, DeeplyNestedJsonIsRefusedNotACrash) {
  // Copying or writing out a value nested 100000 deep recurses that deep:
  // it would overflow the stack of the thread serving the request.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string entry = R"({"type":"contact","content":{"note":)" + deep + "}}";
  CloudReply added = cloud_->postUnlabelled(kLimitContacts, cloud_->sign("POST", kLimitContacts,
                                                                    {{"entry", entry}}));
  EXPECT_EQ(added.status, 400);
  EXPECT_EQ(added.code(), 400);
  const SignedClient& devices = *devices_;
  Params device{{"userId", "7001"}, {"devId", "d"},
                {"content", R"([{"name":"n","value":)" + deep + "}]"}};
  EXPECT_EQ(devices.postUnlabelled(kRegister, devices.sign("POST", kRegister, device)).code(), 400);

  // Records nested as real ones are go through; the server still serves.
  Json nested = {{"type", "contact"},
                 {"content", {{"phones", Json::array({{{"type", "home"}, {"v", {1, 2}}}})}}}};
  EXPECT_EQ(cloud_->post(kLimitContacts, {{"entry", nested.dump()}}).code(), 0);
  EXPECT_EQ(cloud_->post(kLimitRelocation, {{"romCountry", ""}}).code(), 0);
}

TEST_F(RequestLimits, OverlongPathsAreRefusedNotACrash) {
  // Matching an 8,000-character path against the signed routes used to
  // recurse once per character and overflow the stack: with or without a
  // token, on a route's own path or under it, the path is now refused.
  const std::string longId(8000, '7');
  for (const std::string& path : {std::string(kLimitContacts) + "/" + longId,
                                  std::string(kLimitContacts) + "/" + longId + "/delete",
                                  "/lum/contact/v2/user/" + longId + "/full",
                                  "/pass/serviceLogin" + std::string(8000, '/')}) {
    SCOPED_TRACE(path.substr(0, 40));
    EXPECT_EQ(cloud_->post(path, {{"entry", "{}"}}).status, 414);
    EXPECT_EQ(cloud_->send("GET", path, {}, "").status, 414);
  }
  // Matching takes no stack per character, even for a path far longer than
  // a request line can carry.
  const std::string huge = std::string(kLimitContacts) + "/" + std::string(200000, '7');
  EXPECT_TRUE(server_->signedEndpoints().serves(huge));
  EXPECT_FALSE(server_->signedEndpoints().serves(huge + "/x"));
  // A long segment under the limit still reaches its route, which judges it.
  CloudReply longSegment = cloud_->post(std::string(kLimitContacts) + "/" + std::string(600, '7'),
                                        {{"entry", "{}"}});
  EXPECT_EQ(longSegment.status, 400);
  EXPECT_TRUE(longSegment.encrypted);
  EXPECT_EQ(cloud_->post(kLimitRelocation, {{"romCountry", ""}}).code(), 0);
}

TEST_F(RequestLimits, DeviceRecordsAreBounded) {
  using localcloud::DeviceInfoService;
  EXPECT_EQ(registerDevice(std::string(DeviceInfoService::kMaxDevIdLength + 1, 'd'), "[]").code(),
            400);
  // (A body this large goes without the form label, which limits it more.)
  std::string bigValue(DeviceInfoService::kMaxContentBytes, 'v');
  Params big{{"userId", "7001"},
             {"devId", "d"},
             {"content", R"([{"name":"n","value":")" + bigValue + R"("}])"}};
  const SignedClient& devices = *devices_;
  EXPECT_EQ(devices.postUnlabelled(kRegister, devices.sign("POST", kRegister, big)).code(), 400);

  // A user's devices: past the limit the device not heard of longest goes.
  for (int i = 0; i < DeviceInfoService::kMaxDevicesPerUser + 2; ++i) {
    ASSERT_EQ(registerDevice("device-" + std::to_string(i), "[]").code(), 0) << i;
  }
  Json list = devices.get(kLimitList, {{"userId", "7001"}}).data()["list"];
  ASSERT_EQ(list.size(), static_cast<std::size_t>(DeviceInfoService::kMaxDevicesPerUser));
  for (const Json& item : list) {
    EXPECT_NE(item["devId"], "device-0");
    EXPECT_NE(item["devId"], "device-1");
  }
}

TEST(RequestJson, NestingIsCountedInOpenListsAndObjectsUpToTheLimit) {
  using localcloud::http::kMaxJsonDepth;
  auto lists = [](int open, const std::string& inner) {
    return std::string(open, '[') + inner + std::string(open, ']');
  };
  auto objects = [](int open, const std::string& inner) {
    std::string text;
    for (int i = 0; i < open; ++i) text += R"({"k": )";
    return text + inner + std::string(open, '}');
  };
  struct Case {
    std::string text;
    bool refused;
  };
  const Case cases[] = {
      {lists(kMaxJsonDepth, "1"), false},
      {lists(kMaxJsonDepth + 1, "1"), true},
      {lists(kMaxJsonDepth + 1, ""), false},  // the innermost list holds nothing deeper
      {lists(kMaxJsonDepth + 2, ""), true},
      {objects(kMaxJsonDepth, R"("[[[{{{")"), false},  // brackets in a text are text
      {objects(kMaxJsonDepth + 1, "null"), true},
      {lists(kMaxJsonDepth, "1") + "]", true},  // not JSON
  };
  for (const Case& c : cases) {
    EXPECT_EQ(localcloud::http::parseJson(c.text).is_discarded(), c.refused) << c.text;
  }
}

// The depth limit costs no more than the parse: a reader that asked after
// every value took time in the square of a list's length (a device's 2300
// settings, 64 devices: half a minute). Measured in processor time against
// a plain parse of the same text, best of three, so a busy machine slows
// both alike.
TEST_F(RequestLimits, ListingLargeDevicesByManyNamesFindsEachNameInOrder) {
  // 64 devices with 64 KiB of settings each, listed by 600 names (each
  // name is looked up, not found by a scan of every device's settings).
  using localcloud::DeviceInfoService;
  // Under ThreadSanitizer, where parsing alone is many times slower, fewer
  // settings take the same paths within the request's time limit.
  constexpr int kSettings = testsupport::kUnderThreadSanitizer ? 400 : 2300;
  Json settings = Json::array();
  for (int i = 0; i < kSettings; ++i) {
    settings.push_back({{"name", "n" + std::to_string(i)}, {"value", ""}});
  }
  ASSERT_LE(settings.dump().size(), DeviceInfoService::kMaxContentBytes);
  const SignedClient& devices = *devices_;
  for (int d = 0; d < DeviceInfoService::kMaxDevicesPerUser; ++d) {
    Params device{{"userId", "7001"}, {"devId", "d" + std::to_string(d)},
                  {"content", settings.dump()}};
    ASSERT_EQ(devices.postUnlabelled(kRegister, devices.sign("POST", kRegister, device)).code(),
              0);
  }
  // The names last in the settings, from the end, each after one that no
  // device has.
  Json names = Json::array();
  for (int i = 0; i < 300; ++i) {
    names.push_back("x" + std::to_string(i));
    names.push_back("n" + std::to_string(kSettings - 1 - i));
  }

  CloudReply listed = devices.get(kLimitList, {{"userId", "7001"}, {"meta", names.dump()}});
  ASSERT_EQ(listed.code(), 0) << listed.body;
  const Json& list = listed.data()["list"];
  ASSERT_EQ(list.size(), static_cast<std::size_t>(DeviceInfoService::kMaxDevicesPerUser));
  for (const Json& device : list) {
    ASSERT_EQ(device["setting"].size(), 300u);
    EXPECT_EQ(device["setting"].front()["name"], "n" + std::to_string(kSettings - 1));
    EXPECT_EQ(device["setting"].back()["name"], "n" + std::to_string(kSettings - 300));
  }
}

}  // namespace
}  // namespace servertest
