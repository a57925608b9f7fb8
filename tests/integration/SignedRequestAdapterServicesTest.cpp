// The adapter base's own cloud calls against the local cloud: relocation of
// the host list, device-information registration and listing, and one
// contact change sent from an LMContactOperation.
#include <gtest/gtest.h>

#include "SignedRequestFixture.h"
#include "cloud/sync/LMContactOperation.h"
#include "cloud/model/LMGroup.h"
#include "cloud/passport/QBPassportsManager.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "utils/ServiceHosts.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "support/Sanitizers.h"

namespace signedtest {
namespace {

using lumora::LMContactOperation;

TEST_F(SignedRequestCloudTest, RelocationReplacesAndSavesTheHostList) {
  loginThroughAccountService();
  std::string moved = "localhost:" + std::to_string(server_->port());
  ASSERT_TRUE(server_->setHostList(Json{{authority(), moved}, {"other.example", "x.example"}}));

  std::optional<platform::Error> error;
  offMain([&] { error = adapter_->requestHostListWithRomCountry(std::nullopt)->error(); });
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(adapter_->hostList()[authority()], moved);
  EXPECT_EQ(adapter_->relocationURL(), "http://" + moved);
  EXPECT_EQ(adapter_->deviceInfoURL(), "http://" + moved);
  EXPECT_EQ(platform::UserDefaults::standard().dictionaryForKey("LumoraHostList"), adapter_->hostList());
  auto sent = calls("/lum/relocation/v3/user/10001/record");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].status, 200);

  // Requests built from the list now reach the moved host.
  offMain([&] { error = adapter_->requestHostListWithRomCountry("CN")->error(); });
  EXPECT_FALSE(error);

  // A reply without "hostList" empties the list.
  ASSERT_TRUE(server_->setHostList(Json::object()));
  offMain([&] { error = adapter_->requestHostListWithRomCountry(std::nullopt)->error(); });
  EXPECT_FALSE(error);
  EXPECT_EQ(adapter_->hostList(), Json::object());
}

TEST_F(SignedRequestCloudTest, RelocationWithoutAUserFailsWithNotLoggedIn) {
  std::shared_ptr<lumora::LMHTTPRequestOperation> operation;
  offMain([&] { operation = adapter_->requestHostListWithRomCountry(std::nullopt); });
  auto error = operation->error();
  ASSERT_TRUE(error);
  EXPECT_FALSE(operation->response());  // nothing was sent
  EXPECT_EQ(error->code(), lumora::kLMLocalErrorNotLoggedIn);
  EXPECT_EQ(error->userInfo()[lumora::kLMErrorReasonKey], "QBPassport isn't logged in.");
}

TEST_F(SignedRequestCloudTest, DeviceRegistrationSignsInTheDeviceServiceAndRegisters) {
  loginThroughAccountService();
  bool finished = false;
  platform::Status result;
  adapter_->registerDeviceInfo([&](const platform::Status& outcome) {
    EXPECT_TRUE(platform::MainQueue::isMainThread());
    result = outcome;
    finished = true;
  });
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return finished; },
                                                   testsupport::scaled(std::chrono::seconds(60))));
  ASSERT_TRUE(result.ok()) << result.error().description();

  auto devicePassport = lumora::QBPassportsManager::sharedManager()->passportForSid("deviceinfo");
  ASSERT_TRUE(devicePassport && devicePassport->serviceToken());

  std::optional<platform::Error> error;
  std::shared_ptr<lumora::LMHTTPRequestOperation> listed;
  offMain([&] {
    listed = adapter_->requestAllDeviceInfo();
    error = listed->error();
  });
  ASSERT_FALSE(error) << error->description();
  Json list = listed->responseObject()->at("data")["list"];
  ASSERT_EQ(list.size(), 1u);
  std::string deviceId = devicePassport->deviceId().value_or("");
  EXPECT_EQ(list[0]["devId"], deviceId.substr(0, 16));
  Json names = Json::array();
  for (const auto& setting : list[0]["setting"]) names.push_back(setting["name"]);
  EXPECT_EQ(names, Json::array({"deviceName", "model", "osVersion", "_phoneInfo"}));
}

TEST_F(SignedRequestCloudTest, DeviceRegistrationWithAShortOrMissingDeviceId) {
  loginThroughAccountService();
  auto manager = lumora::QBPassportsManager::sharedManager();
  auto devicePassport = manager->passportForSid("deviceinfo", kUserIdText);
  platform::Status signedIn;
  offMain([&] { signedIn = adapter_->updateDeviceInfoServiceInfo(); });
  ASSERT_TRUE(signedIn.ok()) << signedIn.error().description();
  std::optional<platform::Error> error;

  // A short id is sent whole rather than read past its end.
  devicePassport->setDeviceId("abc");
  offMain([&] { error = adapter_->requestRegisterDeviceInfo()->error(); });
  ASSERT_FALSE(error) << error->description();
  std::shared_ptr<lumora::LMHTTPRequestOperation> listed;
  offMain([&] {
    listed = adapter_->requestAllDeviceInfo();
    error = listed->error();
  });
  EXPECT_EQ(listed->responseObject()->at("data")["list"][0]["devId"], "abc");

  // No id: nothing is sent.
  devicePassport->setDeviceId(std::nullopt);
  auto before = calls("/api/user/device/setting").size();
  offMain([&] { error = adapter_->requestRegisterDeviceInfo()->error(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), lumora::kLMLocalErrorInvalidParameters);
  EXPECT_EQ(calls("/api/user/device/setting").size(), before);
}

TEST_F(SignedRequestCloudTest, ARedirectedDeviceRequestDecodesWithTheDeviceServicesKey) {
  loginThroughAccountService();
  platform::Status signedIn;
  offMain([&] { signedIn = adapter_->updateDeviceInfoServiceInfo(); });
  ASSERT_TRUE(signedIn.ok()) << signedIn.error().description();
  std::optional<platform::Error> error;
  auto manager = lumora::QBPassportsManager::sharedManager();
  // The two services hold different keys, so decoding under the wrong one fails.
  ASSERT_NE(manager->passportForSid("deviceinfo")->sSecurity(), manager->passportForSid("lumora")->sSecurity());

  localcloud::Fault moved;
  moved.times = 1;
  moved.redirectUrl = server_->url();  // the same path and signed query again
  server_->faults().set("/api/user/devices/setting", moved);
  std::shared_ptr<lumora::LMHTTPRequestOperation> listed;
  offMain([&] {
    listed = adapter_->requestAllDeviceInfo();
    error = listed->error();
  });
  ASSERT_FALSE(error) << error->description();
  EXPECT_TRUE(listed->responseObject()->at("data")["list"].is_array());
  auto sent = calls("/api/user/devices/setting");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].redirectCount, "0");
  EXPECT_EQ(sent[1].status, 200);
}

TEST_F(SignedRequestCloudTest, ContactOperationAddsAndDeletesAGroup) {
  loginThroughAccountService();
  auto group = std::make_shared<lumora::LMGroup>();
  group->name = "Friends";
  group->recordID = 3;
  group->sync = 99;  // an add leaves the tag out

  LMContactOperation add(group, LMContactOperation::kTypeAdd);
  std::optional<platform::Error> error;
  auto added = send("POST", *add.path(std::string(kUserIdText)), add.dictionaryForLumoraJSON(), &error);
  ASSERT_FALSE(error) << error->description();
  Json record = added->responseObject()->at("data");
  EXPECT_EQ(record["content"]["title"], "Friends");
  ASSERT_TRUE(record["content"]["id"].is_number_integer());

  group->serverID = record["content"]["id"].get<std::int64_t>();
  group->sync = record["content"]["tag"].get<std::int64_t>();
  LMContactOperation remove(group, LMContactOperation::kTypeDelete);
  remove.setPurge(true);
  auto removed = send("POST", *remove.path(std::string(kUserIdText)), remove.dictionaryForLumoraJSON(), &error);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(removed->responseObject()->at("data")["content"]["status"], "deleted");
}

}  // namespace
}  // namespace signedtest
