#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "CloudFixture.h"
#include "server/storage/ContactChangeLog.h"

namespace servertest {
namespace {

using localcloud::ContactStore;

constexpr std::int64_t kUser = 5101;
constexpr const char* kList = "/lum/contact/v3/user/5101/full";
constexpr const char* kBatch = "/lum/contact/v3/user/5101/full/batch";
constexpr const char* kSingle = "/lum/contact/v2/user/5101/full";

// What a client keeps of a whole listing: the records by id (a later page
// wins), every (id, tag) it was handed, and the watermark it ends on.
struct Listing {
  std::map<std::int64_t, Json> records;
  std::vector<std::pair<std::int64_t, std::int64_t>> seen;
  std::int64_t tag = 0;
  std::string extraInfo;
  int pages = 0;
  CloudReply refusal;  // the first page answered with a code other than 0
};

class ContactSync : public KeyedCloudTest {
 protected:
  ContactSync() : KeyedCloudTest(kUser) {}

  CloudReply page(std::int64_t tag, const std::string& extraInfo, Params extra = {}) {
    extra["syncTag"] = std::to_string(tag);
    if (!extraInfo.empty()) extra["syncExtraInfo"] = extraInfo;
    return cloud_->get(kList, extra);
  }

  // Pages from a watermark to the last page (or the first refusal),
  // calling `betweenPages` after each page.
  Listing listFrom(std::int64_t tag, const std::string& extraInfo, int limit,
                   const std::function<void()>& betweenPages = {}) {
    Listing listing;
    listing.tag = tag;
    listing.extraInfo = extraInfo;
    for (;;) {
      CloudReply reply = page(listing.tag, listing.extraInfo, {{"limit", std::to_string(limit)}});
      if (reply.code() != 0) {
        listing.refusal = reply;
        return listing;
      }
      ++listing.pages;
      const Json& data = reply.data();
      for (const Json& entry : data["entries"]) {
        std::int64_t id = entry["content"]["id"];
        listing.seen.emplace_back(id, entry["content"]["tag"].get<std::int64_t>());
        listing.records[id] = entry;
      }
      listing.tag = data["syncTag"];
      listing.extraInfo = data["syncExtraInfo"];
      if (betweenPages) betweenPages();
      if (data["lastPage"] == true) return listing;
    }
  }

  // The store's records as envelopes by id.
  std::map<std::int64_t, Json> cloudState() {
    std::map<std::int64_t, Json> out;
    for (const auto& record : server_->contacts().records(kUser)) out[record.id] = record.envelope();
    return out;
  }

  CloudReply batch(const Json& operations) {
    return cloud_->post(kBatch, {{"batchContent", operations.dump(2)}});
  }
};

Json contact(const std::string& name) {
  return {{"type", "contact"}, {"content", {{"displayName", name}}}};
}

TEST_F(ContactSync, PagingFromAnyTagHandsOutEachChangeOnce) {
  ContactStore& store = server_->contacts();
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 40; ++i) ids.push_back(store.add(kUser, "contact", {{"n", i}}).record.id);

  // Another device edits while the listing pages: modifies, adds, deletes.
  std::atomic<bool> stop{false};
  std::thread editor([&] {
    for (int round = 0; !stop && round < 400; ++round) {
      std::int64_t id = ids[static_cast<std::size_t>(round * 7) % ids.size()];
      if (round % 5 == 0) {
        store.add(kUser, "group", {{"title", "g" + std::to_string(round)}});
      } else if (round % 11 == 0) {
        store.remove(kUser, id, std::nullopt, false);
      } else {
        store.modify(kUser, id, "contact", {{"n", round}}, std::nullopt);
      }
    }
  });
  // And between pages, for certain: a record listed already, one not yet
  // listed, a new one and a deletion.
  int betweenPages = 0;
  auto editBetweenPages = [&] {
    int n = betweenPages++;
    auto id = [&ids](std::size_t i) { return ids[i % ids.size()]; };
    std::size_t k = static_cast<std::size_t>(n);
    store.modify(kUser, id(k), "contact", {{"p", n}}, std::nullopt);
    store.modify(kUser, id(ids.size() - 1 - k % ids.size()), "contact", {{"p", n}}, std::nullopt);
    store.add(kUser, "contact", {{"p", n}});
    store.remove(kUser, id(k + 10), std::nullopt, n % 2 == 0);
  };
  Listing first = listFrom(0, "", 7, editBetweenPages);
  stop = true;
  editor.join();
  ASSERT_EQ(first.refusal.status, 0) << first.refusal.json;
  EXPECT_GT(first.pages, 3);

  // Each (record, version) at most once, and a record that comes again
  // comes newer; after one more listing from the watermark the client
  // holds exactly the cloud's records.
  auto seenOnce = [](const Listing& listing) {
    std::map<std::int64_t, std::int64_t> newest;
    for (const auto& [id, tag] : listing.seen) {
      if (newest.count(id) != 0 && newest[id] >= tag) return false;
      newest[id] = tag;
    }
    return true;
  };
  EXPECT_TRUE(seenOnce(first));
  Listing rest = listFrom(first.tag, first.extraInfo, 7);
  ASSERT_EQ(rest.refusal.status, 0) << rest.refusal.json;
  EXPECT_TRUE(seenOnce(rest));
  for (auto& [id, record] : rest.records) first.records[id] = record;
  EXPECT_EQ(first.records, cloudState());

  // From a tag in the middle: exactly the records changed after it.
  Listing head = listFrom(0, "", 500);
  CloudReply firstPage = page(0, "", {{"limit", "25"}});
  std::int64_t middle = firstPage.data()["syncTag"];
  Listing tail = listFrom(middle, firstPage.data()["syncExtraInfo"], 10);
  std::set<std::int64_t> expected;
  for (const auto& [id, record] : head.records) {
    if (record["content"]["tag"].get<std::int64_t>() > middle) expected.insert(id);
  }
  std::set<std::int64_t> got;
  for (const auto& [id, record] : tail.records) got.insert(id);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(tail.seen.size(), expected.size());
  EXPECT_EQ(tail.tag, head.tag);

  // Versions the caller names in "filterTag" are left out.
  std::int64_t someTag = head.records.begin()->second["content"]["tag"];
  CloudReply filtered = page(0, "", {{"filterTag", std::to_string(someTag) + ",1"}});
  for (const Json& entry : filtered.data()["entries"]) EXPECT_NE(entry["content"]["tag"], someTag);
}

TEST_F(ContactSync, TagsThatCannotBePlacedMakeTheListingStartAgain) {
  ContactStore& store = server_->contacts();
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(store.add(kUser, "contact", {{"n", i}}).record.id);
  Listing before = listFrom(0, "", 200);
  localcloud::ContactChangeLog& log = server_->contactLog();

  // Too old: deletions past the limit drop the oldest deleted records,
  // which a listing from the earlier tag could not report any more.
  store.setLimits({.maxLiveRecords = 100, .maxDeletedRecords = 1});
  for (std::int64_t id : ids) store.remove(kUser, id, std::nullopt, false);
  EXPECT_EQ(store.records(kUser).size(), 1u);
  Listing now = listFrom(0, "", 200);

  struct Case {
    const char* what;
    std::int64_t tag;
    std::string extraInfo;
  };
  const Case cases[] = {
      {"older than the horizon", before.tag, before.extraInfo},
      {"beyond the newest tag", 999, log.extraInfo(kUser, 999)},
      {"with another tag's text", now.tag, before.extraInfo},
      {"without its text", now.tag, ""},
      {"with a made-up text", now.tag, "made-up"},
  };
  for (const Case& c : cases) {
    CloudReply reply = page(c.tag, c.extraInfo);
    EXPECT_EQ(reply.status, 200) << c.what;
    ASSERT_EQ(reply.code(), 52000) << c.what << ": " << reply.json;
    EXPECT_EQ(reply.data()["syncTag"], 0) << c.what;
    // Starting again from the watermark it hands out lists the whole state.
    Listing again = listFrom(reply.data()["syncTag"], reply.data()["syncExtraInfo"], 200);
    EXPECT_EQ(again.records, cloudState()) << c.what;
  }

  // An injected 52000 on page 3 of a listing (its "data" as the fault
  // gives it); pages 1 and 2 are served as usual.
  for (int i = 0; i < 6; ++i) store.add(kUser, "contact", {{"n", i}});
  localcloud::Fault fault;
  fault.code = 52000;
  fault.skip = 2;
  fault.times = 1;
  fault.data = {{"syncTag", 0}};
  server_->faults().set(kList, fault);
  Listing faulted = listFrom(0, "", 2);
  EXPECT_EQ(faulted.pages, 2);
  EXPECT_EQ(faulted.refusal.code(), 52000);
  EXPECT_EQ(faulted.refusal.data()["syncTag"], 0);
  EXPECT_EQ(listFrom(0, "", 2).records, cloudState());
}

TEST_F(ContactSync, BatchAnswersEachChangeInOrder) {
  CloudReply group = cloud_->post(kSingle, {{"entry", Json({{"type", "group"},
                                                            {"content", {{"title", "Work"}}}})
                                                          .dump()}});
  CloudReply ann = cloud_->post(kSingle, {{"entry", contact("Ann").dump()}, {"ckey", "7"}});
  ASSERT_EQ(ann.code(), 0) << ann.json;
  std::int64_t groupId = group.data()["content"]["id"];
  std::int64_t annId = ann.data()["content"]["id"];
  Listing before = listFrom(0, "", 200);

  Json fresh = ann.data();
  fresh["content"]["displayName"] = "Ann B";
  fresh["content"]["groups"] = Json::array({{{"value", groupId}}});
  Json stale = ann.data();
  stale["content"]["displayName"] = "Stale";
  Json added = contact("Bo");
  added["content"]["tag"] = 77;
  added["content"]["custom"] = {{"kept", true}};
  // Encrypted and escaped, the batch is a form body far longer than 8 KiB.
  added["content"]["note"] = std::string(6000, 'n');
  std::string annPath = std::string(kSingle) + "/" + std::to_string(annId);
  std::string groupPath = std::string(kSingle) + "/" + std::to_string(groupId);
  Json operations = Json::array({
      {{"path", kSingle}, {"params", {{"data", added.dump(2)}, {"ckey", "8"}}}},
      {{"path", annPath}, {"params", {{"data", fresh.dump(2)}, {"ckey", "7"}}}},
      {{"path", annPath}, {"params", {{"data", stale.dump(2)}, {"ckey", "7"}}}},
      {{"path", std::string(kSingle) + "/999999/delete"}, {"params", {{"purge", "0"}}}},
      {{"path", annPath}, {"params", {{"data", "{not json"}}}},
      {{"path", groupPath + "/delete"},
       {"params", {{"data", group.data().dump()}, {"purge", "1"}}}},
  });
  CloudReply reply = batch(operations);
  ASSERT_EQ(reply.code(), 0) << reply.json;
  const Json& list = reply.data()["list"];
  ASSERT_EQ(list.size(), operations.size());
  std::vector<int> codes;
  for (const Json& item : list) codes.push_back(item["code"]);
  EXPECT_EQ(codes, std::vector<int>({0, 0, 0, 404, 400, 0}));

  const Json& bo = list[0]["data"]["content"];
  EXPECT_NE(bo["tag"], 77);  // the server makes the tags
  EXPECT_EQ(bo["custom"], Json({{"kept", true}}));
  EXPECT_EQ(bo["status"], "custom");
  EXPECT_EQ(list[1]["data"]["content"]["displayName"], "Ann B");
  EXPECT_EQ(list[1]["data"]["content"]["groups"], fresh["content"]["groups"]);
  // The stale modify after it changed nothing: the cloud's record, as the
  // modify before it left it.
  EXPECT_EQ(list[2]["data"], list[1]["data"]);
  EXPECT_EQ(list[5]["data"]["type"], "group");
  EXPECT_EQ(list[5]["data"]["content"]["status"], "deleted");

  // The listing from before the batch hands out exactly what it changed.
  Listing after = listFrom(before.tag, before.extraInfo, 200);
  std::set<std::int64_t> changed;
  for (const auto& [id, record] : after.records) changed.insert(id);
  EXPECT_EQ(changed, (std::set<std::int64_t>{annId, groupId, bo["id"].get<std::int64_t>()}));
  EXPECT_EQ(after.records[annId], list[1]["data"]);
}

TEST_F(ContactSync, MalformedListingsAndBatchesAreRefused) {
  std::string other = "/lum/contact/v2/user/5102/full";
  Json add = {{"path", kSingle}, {"params", {{"data", contact("A").dump()}}}};
  Json tooMany = Json::array();
  for (int i = 0; i < 51; ++i) tooMany.push_back(add);
  struct Case {
    const char* what;
    std::string path;
    Params params;
    int code;
  };
  auto batchOf = [](const Json& operations) {
    return Params{{"batchContent", operations.dump()}};
  };
  auto twoByteMark = [](int characters) {
    std::string mark;
    for (int i = 0; i < characters; ++i) mark += "\u00e9";
    return mark;
  };
  auto marked = [](const Json& mark, const Json& resent = Json()) {
    Json entry = contact("A");
    entry["mark"] = mark;
    if (!resent.is_null()) entry["resent"] = resent;
    return entry.dump();
  };
  const Case cases[] = {
      {"no tag", kList, {}, 400},
      {"a signed tag", kList, {{"syncTag", "-1"}}, 400},
      {"a tag that is no number", kList, {{"syncTag", "abc"}}, 400},
      {"a limit of 0", kList, {{"syncTag", "0"}, {"limit", "0"}}, 400},
      {"a limit of 501", kList, {{"syncTag", "0"}, {"limit", "501"}}, 400},
      {"an empty extra info", kList, {{"syncTag", "0"}, {"syncExtraInfo", ""}}, 400},
      {"an empty filter tag", kList, {{"syncTag", "0"}, {"filterTag", "1,,2"}}, 400},
      {"no batch", kBatch, {}, 400},
      {"a batch that is no JSON", kBatch, {{"batchContent", "[{"}}, 400},
      {"a batch that is no list", kBatch, batchOf(add), 400},
      {"an empty batch", kBatch, batchOf(Json::array()), 400},
      {"51 changes", kBatch, batchOf(tooMany), 400},
      {"a change without a path", kBatch, batchOf(Json::array({{{"params", Json::object()}}})), 400},
      {"a path of another service", kBatch,
       batchOf(Json::array({{{"path", "/lum/file/v2/user/5101/full"}}})), 400},
      {"a path past delete", kBatch,
       batchOf(Json::array({{{"path", std::string(kSingle) + "/1/delete/x"}}})), 400},
      {"params that are no texts", kBatch,
       batchOf(Json::array({{{"path", kSingle}, {"params", {{"purge", 1}}}}})), 400},
      {"another user's path", kBatch, batchOf(Json::array({add, {{"path", other}}})), 403},
      {"a mark that is no text", kSingle, {{"entry", marked(Json(5))}}, 400},
      {"an empty mark", kSingle, {{"entry", marked(Json(""))}}, 400},
      {"a mark of 129 bytes", kSingle, {{"entry", marked(Json(std::string(129, 'm')))}}, 400},
      {"a mark of 65 two-byte characters", kSingle, {{"entry", marked(Json(twoByteMark(65)))}}, 400},
      {"a resent that is a text", kSingle, {{"entry", marked(Json("m"), Json("true"))}}, 400},
      {"a resent that is a number", kSingle, {{"entry", marked(Json("m"), Json(1))}}, 400},
  };
  for (const Case& c : cases) {
    CloudReply reply = c.path == kList ? cloud_->get(c.path, c.params)
                                       : cloud_->post(c.path, c.params);
    EXPECT_EQ(reply.code(), c.code) << c.what << ": " << reply.json;
    EXPECT_EQ(reply.status, c.code) << c.what;
  }
  // A refused batch changes nothing, the valid change in it included.
  EXPECT_TRUE(server_->contacts().records(kUser).empty());

  // Records are bounded: an add past the limit is refused on its own.
  server_->contacts().setLimits({.maxLiveRecords = 1, .maxDeletedRecords = 10});
  CloudReply full = batch(Json::array({add, add}));
  ASSERT_EQ(full.code(), 0) << full.json;
  EXPECT_EQ(full.data()["list"][0]["code"], 0);
  EXPECT_EQ(full.data()["list"][1]["code"], 507);
  Json huge = contact(std::string(70 * 1024, 'x'));
  EXPECT_EQ(cloud_->post(kSingle, {{"entry", huge.dump()}}).code(), 400);

  // A mark's bound counts bytes, whatever characters they make: 128 pass.
  server_->contacts().setLimits({});
  for (const std::string& mark : {std::string(128, 'm'), twoByteMark(64)}) {
    EXPECT_EQ(cloud_->post(kSingle, {{"entry", marked(Json(mark))}}).code(), 0) << mark;
  }
  for (const bool resent : {true, false}) {
    EXPECT_EQ(cloud_->post(kSingle, {{"entry", marked(Json("r"), Json(resent))}}).code(), 0) << resent;
  }
}

TEST_F(ContactSync, AdminEditsAreListedLikeAnyOtherDevice) {
  Json added = admin("/_admin/contacts", {{"userId", kUser},
                                          {"op", "add"},
                                          {"type", "contact"},
                                          {"content", {{"displayName", "Cy"}}}});
  ASSERT_EQ(added["ok"], true) << added;
  std::int64_t id = added["record"]["content"]["id"];
  Json modified = admin("/_admin/contacts", {{"userId", kUser},
                                             {"op", "modify"},
                                             {"id", id},
                                             {"type", "contact"},
                                             {"content", {{"displayName", "Cy D"}}}});
  EXPECT_EQ(modified["outcome"], "applied");
  Json stale = admin("/_admin/contacts", {{"userId", kUser},
                                          {"op", "delete"},
                                          {"id", id},
                                          {"tag", added["record"]["content"]["tag"]}});
  EXPECT_EQ(stale["outcome"], "kept");
  EXPECT_EQ(admin("/_admin/contacts", {{"userId", kUser}, {"op", "move"}})["ok"], false);
  EXPECT_EQ(admin("/_admin/contacts", {{"userId", kUser}, {"op", "delete"}, {"id", 99}})["ok"],
            false);

  Listing listing = listFrom(0, "", 200);
  ASSERT_EQ(listing.records.size(), 1u);
  EXPECT_EQ(listing.records[id], modified["record"]);
  Reply listed = get("/_admin/contacts?userId=5101");
  EXPECT_NE(listed.body.find("Cy D"), std::string::npos) << listed.body;
}

}  // namespace
}  // namespace servertest
