#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "CloudFixture.h"

namespace servertest {
namespace {

constexpr const char* kContacts = "/lum/contact/v2/user/5001/full";

class CloudServices : public KeyedCloudTest {
 protected:
  CloudServices() : KeyedCloudTest(5001) {}
  // A change as the client sends it: the record JSON under "entry".
  CloudReply change(const std::string& path, const Json& record, Params extra = {}) {
    extra["entry"] = record.dump(2);
    return cloud_->post(path, extra);
  }
};

TEST_F(CloudServices, RelocationHandsOutTheHostList) {
  const std::string path = "/lum/relocation/v3/user/5001/record";
  EXPECT_EQ(cloud_->post(path, {{"romCountry", ""}}).data()["hostList"], Json::object());
  Json list = {{"contacts.release.example", "127.0.0.1:8765"}};
  ASSERT_EQ(admin("/_admin/hostList", {{"hostList", list}})["ok"], true);
  CloudReply reply = cloud_->post(path, {{"romCountry", "DE"}});
  EXPECT_EQ(reply.code(), 0);
  EXPECT_EQ(reply.data()["hostList"], list);
  EXPECT_EQ(cloud_->post(path, {}).code(), 400);  // the country is always sent
  EXPECT_EQ(admin("/_admin/hostList", {{"hostList", {{"a", 1}}}})["ok"], false);
  EXPECT_EQ(admin("/_admin/hostList", {{"hostList", "x"}})["ok"], false);
  restart();
  cloud_ = std::make_unique<SignedClient>(server_->port(), cloud_->login());
  EXPECT_EQ(cloud_->post(path, {{"romCountry", ""}}).data()["hostList"], list);
}

TEST_F(CloudServices, DeviceInformationIsRegisteredAndListed) {
  SignedClient devices = signedClient(tokenWithKey(5001, "deviceinfo", kTestKey));
  Json content = Json::array({{{"name", "deviceName"}, {"value", "Ann's phone"}},
                              {{"name", "model"}, {"value", "Phone 6"}},
                              {{"name", "osVersion"}, {"value", "9.3"}},
                              {{"name", "_phoneInfo"}, {"value", Json::array()}}});
  CloudReply registered = devices.post(
      "/api/user/device/setting",
      {{"userId", "5001"}, {"devId", "0123456789abcdef"}, {"content", content.dump(2)}});
  ASSERT_EQ(registered.status, 200) << registered.json;
  EXPECT_EQ(registered.code(), 0);

  Json meta = Json::array({"capability", "deviceName", "model", "osVersion", "_phoneInfo",
                           "channel_id"});
  CloudReply listed =
      devices.get("/api/user/devices/setting", {{"userId", "5001"}, {"meta", meta.dump()}});
  ASSERT_EQ(listed.code(), 0) << listed.json;
  Json list = listed.data()["list"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["devId"], "0123456789abcdef");
  // Only the names asked for that the device has, in the order asked.
  Json setting = list[0]["setting"];
  ASSERT_EQ(setting.size(), 4u);
  EXPECT_EQ(setting[0]["name"], "deviceName");
  EXPECT_EQ(setting[0]["value"], "Ann's phone");
  EXPECT_EQ(setting[3]["name"], "_phoneInfo");
  // Registering again replaces; without meta every setting comes back.
  devices.post("/api/user/device/setting",
               {{"userId", "5001"},
                {"devId", "0123456789abcdef"},
                {"content", R"([{"name":"model","value":"Phone 7"}])"}});
  list = devices.get("/api/user/devices/setting", {{"userId", "5001"}}).data()["list"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["setting"], Json::parse(R"([{"name":"model","value":"Phone 7"}])"));

  // Refusals: another user's id, missing or malformed fields.
  EXPECT_EQ(devices.get("/api/user/devices/setting", {{"userId", "5002"}}).code(), 403);
  EXPECT_EQ(devices.post("/api/user/device/setting",
                         {{"userId", "5002"}, {"devId", "d"}, {"content", "[]"}})
                .code(),
            403);
  EXPECT_EQ(devices.post("/api/user/device/setting", {{"userId", "5001"}, {"content", "[]"}})
                .code(),
            400);
  EXPECT_EQ(devices.post("/api/user/device/setting",
                         {{"userId", "5001"}, {"devId", "d"}, {"content", R"({"a":1})"}})
                .code(),
            400);
  EXPECT_EQ(devices.get("/api/user/devices/setting", {{"userId", "5001"}, {"meta", "[1]"}})
                .code(),
            400);
}

TEST_F(CloudServices, DeviceInformationLoginFollowsTheCloudLogin) {
  // The device-information session copies the cloud login's pass token and
  // logs in again for "deviceinfo" with its own token endpoint as callback.
  ASSERT_TRUE(server_->seedAccount(5003, "dee", "pw"));
  Device device;
  Reply cloudLogin = passwordLogin(device, "dee", "pw");
  ASSERT_EQ(cloudLogin.code(), 0);
  device.cookies["passToken"] = cloudLogin.json["passToken"];
  Reply relogin = serviceLogin(device, "deviceinfo", {{"callback", host() + "/udi/sts"}});
  ASSERT_EQ(relogin.code(), 0) << relogin.body;
  Reply token = serviceTokenStep(device, relogin);
  ASSERT_EQ(token.code(), 0) << token.body;
  SignedClient devices = signedClient(
      CloudLogin{5003, token.cookies["serviceToken"], relogin.json["ssecurity"]});
  EXPECT_EQ(devices.post("/api/user/device/setting",
                         {{"userId", "5003"}, {"devId", "abcdefabcdefabcd"}, {"content", "[]"}})
                .code(),
            0);
  // Another service's token endpoint is still refused as a callback.
  EXPECT_EQ(serviceLogin(device, "deviceinfo", {{"callback", host() + "/udi/other"}}).status, 400);
}

TEST_F(CloudServices, ContactAddModifyDeleteKeepsVersions) {
  Json contact = {{"type", "contact"},
                  {"content", {{"displayName", "Ann"}, {"custom", {{"k", 1}}}}}};
  CloudReply added = change(kContacts, contact, {{"ckey", "12"}});
  ASSERT_EQ(added.code(), 0) << added.json;
  Json stored = added.data();
  EXPECT_EQ(stored["type"], "contact");
  std::int64_t id = stored["content"]["id"];
  std::int64_t tag = stored["content"]["tag"];
  EXPECT_EQ(stored["content"]["status"], "custom");
  EXPECT_EQ(stored["content"]["custom"], Json({{"k", 1}}));  // unknown keys are kept

  // A modify naming the current version is applied and raises the tag.
  Json modified = stored;
  modified["content"]["displayName"] = "Ann B";
  modified["content"].erase("status");
  const std::string recordPath = std::string(kContacts) + "/" + std::to_string(id);
  CloudReply applied = change(recordPath, modified, {{"ckey", "12"}});
  ASSERT_EQ(applied.code(), 0) << applied.json;
  EXPECT_EQ(applied.data()["content"]["displayName"], "Ann B");
  std::int64_t tag2 = applied.data()["content"]["tag"];
  EXPECT_GT(tag2, tag);

  // A modify of an older version changes nothing and hands back the cloud's.
  Json stale = modified;
  stale["content"]["displayName"] = "Stale";
  CloudReply kept = change(recordPath, stale);
  EXPECT_EQ(kept.code(), 0);
  EXPECT_EQ(kept.data()["content"]["displayName"], "Ann B");
  EXPECT_EQ(kept.data()["content"]["tag"], tag2);

  // Delete against an older version: the cloud keeps the live record.
  CloudReply notDeleted = change(recordPath + "/delete", modified, {{"purge", "0"}});
  EXPECT_EQ(notDeleted.data()["content"]["status"], "custom");
  // Against the newest version: deleted, with a new tag.
  Json newest = applied.data();
  CloudReply deleted = change(recordPath + "/delete", newest, {{"purge", "0"}});
  ASSERT_EQ(deleted.code(), 0) << deleted.json;
  EXPECT_EQ(deleted.data()["content"]["status"], "deleted");
  EXPECT_GT(deleted.data()["content"]["tag"].get<std::int64_t>(), tag2);
  EXPECT_EQ(deleted.data()["content"]["displayName"], "Ann B");
  // A modify of a deleted record hands it back deleted.
  EXPECT_EQ(change(recordPath, newest).data()["content"]["status"], "deleted");

  auto records = server_->contacts().records(5001);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].status, "deleted");
}

TEST_F(CloudServices, ContactChangesValidateAndSurviveARestart) {
  Json group = {{"type", "group"}, {"content", {{"title", "Family"}, {"tag", 99}}}};
  // "data" is accepted as the operation names it before the rename.
  CloudReply added = cloud_->post(kContacts, {{"data", group.dump()}, {"ckey", "3"}});
  ASSERT_EQ(added.code(), 0) << added.json;
  std::int64_t id = added.data()["content"]["id"];
  EXPECT_NE(added.data()["content"]["tag"], 99);  // the server makes the tags
  const std::string recordPath = std::string(kContacts) + "/" + std::to_string(id);

  // Ids are per user and never reused; a second add gets the next one.
  CloudReply second = change(kContacts, group);
  EXPECT_GT(second.data()["content"]["id"].get<std::int64_t>(), id);

  EXPECT_EQ(change(kContacts, {{"type", "person"}, {"content", Json::object()}}).code(), 400);
  EXPECT_EQ(change(kContacts, {{"type", "group"}}).code(), 400);
  EXPECT_EQ(cloud_->post(kContacts, {{"entry", "not json"}}).code(), 400);
  EXPECT_EQ(cloud_->post(kContacts, {{"ckey", "1"}}).code(), 400);
  CloudReply missing = change(std::string(kContacts) + "/999999", group);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.code(), 404);
  EXPECT_EQ(change(std::string(kContacts) + "/abc", group).code(), 400);
  Json contactForm = {{"type", "contact"}, {"content", {{"id", id}}}};
  EXPECT_EQ(change(recordPath, contactForm).code(), 400);  // wrong type
  Json otherId = {{"type", "group"}, {"content", {{"id", id + 1}}}};
  EXPECT_EQ(change(recordPath, otherId).code(), 400);
  EXPECT_EQ(change(recordPath + "/delete", group, {{"purge", "yes"}}).code(), 400);
  // Another user's records are out of reach.
  SignedClient other = signedClient(tokenWithKey(5002, "lumora", kTestKey));
  EXPECT_EQ(other.post(recordPath, {{"entry", group.dump()}}).code(), 403);
  EXPECT_EQ(other.post("/lum/contact/v2/user/5002/full/" + std::to_string(id),
                       {{"entry", group.dump()}})
                .code(),
            404);

  restart();
  SignedClient again(server_->port(), cloud_->login());
  // A purge without an entry deletes whatever version is current and
  // drops the content.
  CloudReply purged = again.post(recordPath + "/delete", {{"purge", "1"}});
  ASSERT_EQ(purged.code(), 0) << purged.json;
  EXPECT_EQ(purged.data()["content"]["status"], "deleted");
  EXPECT_FALSE(purged.data()["content"].contains("title"));
  auto record = server_->contacts().find(5001, id);
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->purged);
  // Deleting again is harmless: the deleted record comes back unchanged.
  CloudReply twice = again.post(recordPath + "/delete", {{"purge", "1"}});
  EXPECT_EQ(twice.data(), purged.data());
}

TEST_F(CloudServices, ConcurrentAddsGetDistinctIdsAndTags) {
  localcloud::ContactStore& store = server_->contacts();
  std::vector<std::thread> threads;
  std::vector<std::vector<localcloud::ContactRecord>> made(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, &made, t] {
      for (int i = 0; i < 25; ++i) {
        auto change = store.add(5001, "contact", {{"n", i}});
        if (change.outcome == localcloud::ContactStore::Outcome::Applied) {
          made[t].push_back(change.record);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int64_t> ids;
  std::set<std::int64_t> tags;
  for (const auto& list : made) {
    for (const auto& record : list) {
      ids.insert(record.id);
      tags.insert(record.tag);
    }
  }
  EXPECT_EQ(ids.size(), 100u);
  EXPECT_EQ(tags.size(), 100u);
  EXPECT_EQ(store.records(5001).size(), 100u);
  EXPECT_TRUE(store.records(5002).empty());
}

}  // namespace
}  // namespace servertest
