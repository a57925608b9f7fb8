// The contact sync adapter's requests and pager over a scripted cloud: what
// is sent, and how pages, restarts and malformed replies end a listing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/ScriptedContactAdapter.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "utils/LMErrors.h"
#include "utils/ServiceHosts.h"

namespace {

using namespace lumora;
using namespace scriptedcloud;
using platform::Error;
using platform::Json;

Json contactEntry(std::int64_t id, const std::string& given) {
  return Json{{"type", "contact"},
              {"content", {{"id", id}, {"tag", id}, {"status", "custom"}, {"name", {{"givenName", given}}}}}};
}

Json page(Json entries, Json lastPage, std::int64_t tag) {
  Json data{{"entries", std::move(entries)}, {"syncTag", tag}, {"syncExtraInfo", "info-" + std::to_string(tag)}};
  if (!lastPage.is_null()) data["lastPage"] = std::move(lastPage);
  return Json{{"code", 0}, {"data", std::move(data)}};
}

class LMContactSyncAdapterTest : public ::testing::Test {
 protected:
  LMContactSyncAdapterTest() {
    clock->setAutoAdvanceSleeps(true);  // batch sends' minimum time
    platform::UserDefaults::resetStandardForTesting();
    ServiceHosts::setAll("http://127.0.0.1:1");
    QBPassportsManager::sharedManager()->setUserId("10001");
    adapter->setHostList(std::nullopt);
  }
  ~LMContactSyncAdapterTest() override {
    QBPassportsManager::sharedManager()->setUserId(std::nullopt);
    adapter->setHostList(std::nullopt);
    ServiceHosts::reset();
    platform::UserDefaults::resetStandardForTesting();
  }

  // The pager from a watermark: its outcome.
  struct Listed {
    std::optional<Error> error;
    std::map<std::int64_t, std::string> contacts;  // id -> given name
    std::int64_t tag = -1;
    bool resync = false;
  };
  Listed list(std::optional<std::int64_t> tag, std::optional<std::string> extraInfo) {
    Listed listed;
    adapter->requestLumoraRecordsWithSync(
        tag, extraInfo,
        [&](std::int64_t newTag, const std::string&, std::vector<LMContact> contacts, std::vector<LMGroup>,
            bool resync) {
          for (const auto& contact : contacts) listed.contacts[*contact.serverID] = contact.givenName.value_or("");
          listed.tag = newTag;
          listed.resync = resync;
        },
        [&](const Error& error) { listed.error = error; });
    return listed;
  }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  testsupport::TestHome home;
  std::shared_ptr<ScriptedAdapter> adapter = std::make_shared<ScriptedAdapter>();
};

TEST_F(LMContactSyncAdapterTest, RecordListParametersAreWhatTheCloudTakes) {
  struct Case {
    std::optional<std::int64_t> limit;
    const char* sent;
  } cases[] = {{std::nullopt, "200"}, {0, "200"}, {-5, "200"}, {7, "7"}, {500, "500"}, {501, "500"}, {10000, "500"}};
  for (const Case& c : cases) {
    adapter->requestRecordListWithSyncTag(std::nullopt, "", c.limit, {});
    const Json& sent = adapter->sent.back().parameters;
    EXPECT_EQ(sent["limit"], c.sent) << c.limit.value_or(-1);
    EXPECT_EQ(sent["syncTag"], "0");
    EXPECT_FALSE(sent.contains("syncExtraInfo"));
    EXPECT_FALSE(sent.contains("filterTag"));
  }
  adapter->requestRecordListWithSyncTag(42, "text", 1, {1, 2, 3});
  const Sent& last = adapter->sent.back();
  EXPECT_EQ(last.method, "GET");
  EXPECT_EQ(last.url, "http://127.0.0.1:1/lum/contact/v3/user/10001/full");
  EXPECT_EQ(last.parameters, (Json{{"syncTag", "42"}, {"syncExtraInfo", "text"}, {"limit", "1"}, {"filterTag", "1,2,3"}}));
}

TEST_F(LMContactSyncAdapterTest, ChangesAreSentAsTheCloudReadsThemAndOnlyWhenThereIsOne) {
  auto record = [](std::optional<std::int64_t> serverID, const std::string& given) {
    auto contact = std::make_shared<LMContact>();
    contact->givenName = given;
    contact->serverID = serverID;
    contact->recordID = 3;
    return contact;
  };
  // A change without a path, or no changes at all: nothing is sent.
  EXPECT_EQ(adapter->requestRecordOperation(LMContactOperation(record(std::nullopt, "A"), 2)), nullptr);
  EXPECT_EQ(adapter->requestRecordBatchOperations({}), nullptr);
  EXPECT_TRUE(adapter->sent.empty());

  adapter->requestRecordOperationWithRecord(record(9, "A"), LMContactOperation::kTypeModify);
  const Json& single = adapter->sent.back().parameters;
  EXPECT_EQ(adapter->sent.back().url, "http://127.0.0.1:1/lum/contact/v2/user/10001/full/9");
  EXPECT_TRUE(single.contains("entry"));
  EXPECT_FALSE(single.contains("data"));

  adapter->requestRecordBatchOperations({LMContactOperation(record(std::nullopt, "A"), 1),
                                         LMContactOperation(record(5, "B"), 2), LMContactOperation(record(6, "C"), 3)});
  const Sent& batch = adapter->sent.back();
  EXPECT_EQ(batch.url, "http://127.0.0.1:1/lum/contact/v3/user/10001/full/batch");
  auto content = Json::parse(batch.parameters["batchContent"].get<std::string>());
  ASSERT_EQ(content.size(), 3u);
  EXPECT_EQ(content[0]["path"], "/lum/contact/v2/user/10001/full");
  EXPECT_EQ(content[1]["path"], "/lum/contact/v2/user/10001/full/5");
  EXPECT_EQ(content[2]["path"], "/lum/contact/v2/user/10001/full/6/delete");
  EXPECT_TRUE(content[1]["params"].contains("data"));  // unchanged in a batch

  // Nobody signed in: -10001 and nothing sent.
  QBPassportsManager::sharedManager()->setUserId(std::nullopt);
  const std::size_t before = adapter->sent.size();
  for (const auto& operation :
       {adapter->requestRecordListWithSyncTag(0, std::nullopt, std::nullopt, {}),
        adapter->requestRecordBatchOperations({LMContactOperation(record(5, "B"), 2)}),
        adapter->requestRecordOperation(LMContactOperation(record(5, "B"), 2))}) {
    ASSERT_TRUE(operation);
    ASSERT_TRUE(operation->error());
    EXPECT_EQ(operation->error()->code(), kLMLocalErrorNotLoggedIn);
  }
  EXPECT_EQ(adapter->sent.size(), before);
}

TEST_F(LMContactSyncAdapterTest, PagesAreGatheredUntilTheLastAndARestartDropsWhatCameBefore) {
  // A tag without its text lists from scratch; a page without "lastPage"
  // is followed by another; a later page's version wins.
  adapter->replies = {page(Json::array({contactEntry(1, "old")}), nullptr, 5),
                      page(Json::array({contactEntry(1, "new"), contactEntry(2, "b")}), 0, 6),
                      page(Json::array(), true, 7)};
  Listed listed = list(99, std::nullopt);
  EXPECT_FALSE(listed.error);
  EXPECT_EQ(adapter->sent.front().parameters["syncTag"], "0");
  EXPECT_EQ(adapter->sent[1].parameters["syncExtraInfo"], "info-5");
  EXPECT_EQ(listed.contacts, (std::map<std::int64_t, std::string>{{1, "new"}, {2, "b"}}));
  EXPECT_EQ(listed.tag, 7);
  EXPECT_TRUE(listed.resync);

  // From a full watermark, a single last page without entries.
  adapter->sent.clear();
  adapter->replies = {page(nullptr, true, 8)};
  listed = list(7, "info-7");
  EXPECT_TRUE(listed.contacts.empty());
  EXPECT_EQ(listed.tag, 8);
  EXPECT_FALSE(listed.resync);

  // 52000 on the third page: pages 1 and 2 are dropped, the listing starts
  // again from the watermark the error names and is the whole cloud.
  adapter->sent.clear();
  adapter->replies = {
      page(Json::array({contactEntry(1, "a")}), false, 9), page(Json::array({contactEntry(2, "b")}), false, 10),
      Json{{"code", 52000}, {"data", {{"syncTag", 3}, {"syncExtraInfo", "info-3"}}}},
      page(Json::array({contactEntry(3, "c")}), true, 11)};
  listed = list(8, "info-8");
  EXPECT_FALSE(listed.error);
  EXPECT_EQ(listed.contacts, (std::map<std::int64_t, std::string>{{3, "c"}}));
  EXPECT_TRUE(listed.resync);
  EXPECT_EQ(adapter->sent[3].parameters["syncTag"], "3");
  EXPECT_EQ(adapter->sent[3].parameters["syncExtraInfo"], "info-3");
}

TEST_F(LMContactSyncAdapterTest, ListingsEndWithAnErrorOnMalformedPagesAndNeverLoop) {
  const Error refused(kLMServerErrorDomain, 403, Json::object());
  struct Case {
    Outcome reply;
    std::int64_t code;
    const char* reason;  // nullptr: the request's own error
  } cases[] = {
      {Json{{"code", 0}}, kLMServerErrorUnknownReply, "The operation of loading Lumora records is failed."},
      {Json{{"code", 0}, {"data", {{"lastPage", true}, {"syncExtraInfo", "x"}}}}, kLMServerErrorUnknownReply,
       "The operation of loading Lumora records is failed, because couldn't find the param \"syncTag\"."},
      // Tags the cloud could not be sent back are no tags.
      {page(nullptr, true, -1), kLMServerErrorUnknownReply, nullptr},
      {page(nullptr, true, LMListingBounds::kMaxSyncTag + 1), kLMServerErrorUnknownReply, nullptr},
      {Json{{"code", 0}, {"data", {{"lastPage", true}, {"syncTag", 2.5}, {"syncExtraInfo", "x"}}}},
       kLMServerErrorUnknownReply, nullptr},
      {Json{{"code", 0}, {"data", {{"lastPage", true}, {"syncTag", 4}, {"syncExtraInfo", ""}}}},
       kLMServerErrorUnknownReply,
       "The operation of loading Lumora records is failed, because couldn't find the param \"syncExtraInfo\"."},
      {refused, 403, nullptr},
  };
  for (const Case& c : cases) {
    adapter->replies = {c.reply};
    Listed listed = list(0, "x");
    ASSERT_TRUE(listed.error);
    EXPECT_EQ(listed.error->code(), c.code);
    if (c.reason) {
      EXPECT_EQ(listed.error->userInfo()[kLMErrorReasonKey], c.reason);
    }
  }

  // A listing that never reaches its last page, one whose page does not
  // move it on, or one that the cloud keeps starting again, stops with an
  // error.
  adapter->sent.clear();
  adapter->fallback = page(Json::array(), false, 1);
  adapter->fallbackMoves = true;
  Listed endless = list(0, "x");
  ASSERT_TRUE(endless.error);
  EXPECT_EQ(adapter->sent.size(), static_cast<std::size_t>(LMContactSyncAdapter::kMaxListingPages));
  adapter->sent.clear();
  adapter->fallbackMoves = false;
  Listed unmoving = list(0, "x");
  ASSERT_TRUE(unmoving.error);
  EXPECT_EQ(adapter->sent.size(), 2u);
  adapter->sent.clear();
  adapter->fallback = Json{{"code", 52000}, {"data", {{"syncTag", 0}}}};
  Listed restarting = list(0, "x");
  ASSERT_TRUE(restarting.error);
  EXPECT_EQ(adapter->sent.size(), static_cast<std::size_t>(LMContactSyncAdapter::kMaxListingRestarts + 1));
}

TEST_F(LMContactSyncAdapterTest, AListingPastTheMemoryBoundFailsWithTheWatermarkUnmoved) {
  // Pages that never end, each bringing 64 MiB of notes.
  Json entries = Json::array();
  for (std::int64_t id = 1; id <= 4; ++id) {
    Json entry = contactEntry(id, "N");
    entry["content"]["note"] = std::string(std::size_t{16} << 20, 'n');
    entries.push_back(std::move(entry));
  }
  adapter->fallback = page(std::move(entries), false, 9);
  adapter->fallbackMoves = true;
  Listed listed = list(3, "info-3");
  ASSERT_TRUE(listed.error);
  EXPECT_EQ(listed.tag, -1);  // nothing recorded
  EXPECT_LE(adapter->sent.size(), LMContactSyncAdapter::kMaxListingBytes / (std::size_t{64} << 20) + 1);
}

TEST_F(LMContactSyncAdapterTest, BatchRepliesConfirmOnlyWhatTheyAnswer) {
  auto contact = std::make_shared<LMContact>();
  contact->givenName = "A";
  const std::vector<LMContactOperation> operations(7, LMContactOperation(contact, LMContactOperation::kTypeAdd));
  auto ok = Json{{"code", 0}, {"data", {{"type", "contact"}, {"content", {{"id", 1}}}}}};
  auto listOf = [](std::vector<Json> items) { return Json{{"code", 0}, {"data", {{"list", items}}}}; };
  struct Case {
    Json secondReply;
    std::optional<std::int64_t> code;  // nullopt: success
    std::size_t taken;
  } cases[] = {
      {listOf({ok, ok}), std::nullopt, 7},
      {Json{{"code", 0}}, kLMServerErrorUnknownReply, 5},           // no "data": not a success
      {listOf({ok}), kLMServerErrorUnknownReply, 5},                // fewer answers than changes
      {listOf({ok, Json{{"code", 404}}}), 404, 6},                  // an item refused
      {listOf({ok, Json{{"description", "no code"}}}), 0, 6},       // an item without a code
  };
  for (const Case& c : cases) {
    adapter->sent.clear();
    adapter->replies = {listOf({ok, ok, ok, ok, ok}), c.secondReply};
    std::size_t batches = 0;
    std::size_t taken = 0;
    platform::Status pushed = adapter->pushInBatches(
        operations,
        [&](const std::vector<LMContactOperation>&) {
          ++batches;
          return platform::Status::success();
        },
        [&](const LMContactOperation&, const Json&) {
          ++taken;
          return platform::Status::success();
        });
    EXPECT_EQ(batches, 2u);
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(pushed.ok(), !c.code);
    if (c.code && !pushed.ok()) {
      EXPECT_EQ(pushed.error().code(), *c.code);
    }
  }
}

TEST_F(LMContactSyncAdapterTest, ReportsHopToTheMainThreadOnlyWhenTheDelegateListens) {
  // No delegate, or one without the hook: no hop (nobody pumps the main
  // queue here, so a hop would never return).
  auto delegate = std::make_shared<LMContactSyncAdapterDelegate>();
  for (bool withDelegate : {false, true}) {
    adapter->setDelegate(withDelegate ? delegate : nullptr);
    std::thread worker([&] { adapter->callDelegateProcess(kLMSyncProcessBegin); });
    worker.join();
  }
  std::vector<std::int32_t> heard;
  delegate->didAdapterSyncProcess = [&](std::int32_t process) { heard.push_back(process); };
  std::atomic<bool> done{false};
  std::thread worker([&] {
    adapter->callDelegateProcess(kLMSyncProcessSaved);
    done = true;
  });
  EXPECT_TRUE(platform::MainQueue::main().runUntil([&] { return done.load(); },
                                                   testsupport::scaled(std::chrono::seconds(10))));
  worker.join();
  EXPECT_EQ(heard, std::vector<std::int32_t>{kLMSyncProcessSaved});

  // The service addresses: release or preview host, each replaced only by
  // its own entry of the host list.
  ServiceHosts::set(LMContactSyncAdapter::kContactHostKey, "http://contact.example");
  ServiceHosts::set(LMContactSyncAdapter::kContactPreviewHostKey, "http://contact-preview.example");
  ServiceHosts::set(LMContactSyncAdapter::kFileHostKey, "http://file.example");
  EXPECT_EQ(adapter->contactURL(), "http://contact.example");
  adapter->setHostList(Json{{"contact.example", "moved.example"}});
  EXPECT_EQ(adapter->contactURL(), "http://moved.example");
  EXPECT_EQ(adapter->lumFileURL(), "http://file.example");
  adapter->setForTest(true);
  EXPECT_EQ(adapter->contactURL(), "http://contact-preview.example");
  EXPECT_EQ(LMContactSyncAdapter::sharedAdapter(), LMContactSyncAdapter::sharedAdapter());
  auto store = adapter->context();
  EXPECT_EQ(adapter->context(), store);
}

}  // namespace
