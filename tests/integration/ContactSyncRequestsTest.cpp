// The contact service's requests and the loading of changed records against
// the local cloud: paging into the store, a listing started again by the
// cloud, redirects, the retry budget and the batch's minimum time.
#include "ContactSyncFixture.h"

#include <chrono>

#include "platform/dispatch/Clock.h"
#include "server/storage/ContactChangeLog.h"

namespace contactsynctest {
namespace {

using lumora::LMContactOperation;
using lumora::LMContactSyncAdapter;

class ContactSyncRequestsTest : public ContactSyncCloudTest {
 protected:
  // The listing's outcome from a watermark, off the main thread.
  struct Listed {
    std::optional<platform::Error> error;
    std::size_t contacts = 0;
    bool resync = false;
  };
  Listed list(std::optional<std::int64_t> tag, std::optional<std::string> extraInfo) {
    Listed listed;
    offMain([&] {
      contacts_->requestLumoraRecordsWithSync(
          tag, extraInfo,
          [&](std::int64_t, const std::string&, std::vector<lumora::LMContact> contacts, std::vector<lumora::LMGroup>,
              bool resync) {
            listed.contacts = contacts.size();
            listed.resync = resync;
          },
          [&](const platform::Error& error) { listed.error = error; });
    });
    return listed;
  }

  localcloud::Fault fault(int times) {
    localcloud::Fault f;
    f.times = times;
    return f;
  }
};

TEST_F(ContactSyncRequestsTest, ChangedRecordsArePagedIntoTheStoreWithTheirWatermark) {
  for (int i = 0; i < 450; ++i) addCloudContact(contactNamed("Person", std::to_string(i)));
  platform::Status loaded;
  offMain([&] { contacts_->loadLumoraChangedRecords([] {}, [&](const platform::Error& e) { loaded = e; }); });
  ASSERT_TRUE(loaded.ok());
  EXPECT_EQ(callsTo(listPath()), 3u);
  auto store = contacts_->context();
  EXPECT_EQ(store->searchAllContactRelations()->size(), 450u);
  EXPECT_EQ(store->serverSync(), 450);  // the newest tag
  ASSERT_TRUE(store->serverSyncExtraInfo());
  EXPECT_EQ(*store->serverSyncExtraInfo(),
            server_->contactLog().extraInfo(signedtest::kUserId, 450));

  // From the watermark there is nothing new: one page.
  server_->signedEndpoints().clearJournal();
  Listed again = list(store->serverSync(), store->serverSyncExtraInfo());
  EXPECT_FALSE(again.error);
  EXPECT_EQ(again.contacts, 0u);
  EXPECT_FALSE(again.resync);
  EXPECT_EQ(callsTo(listPath()), 1u);

  // The cloud answers 52000 on the third page: the listing starts again
  // from the tag it names and is the whole cloud.
  auto restart = fault(1);
  restart.code = 52000;
  restart.skip = 2;
  restart.data = Json{{"syncTag", 0}};
  server_->faults().set(listPath(), restart);
  server_->signedEndpoints().clearJournal();
  Listed restarted = list(0, std::nullopt);
  EXPECT_FALSE(restarted.error);
  EXPECT_EQ(restarted.contacts, 450u);
  EXPECT_TRUE(restarted.resync);
  EXPECT_EQ(callsTo(listPath()), 6u);
}

TEST_F(ContactSyncRequestsTest, RedirectsUseNoSendAndRetriableFailuresMakeFourSends) {
  auto redirect = fault(2);
  redirect.redirectUrl = server_->url();
  server_->faults().set(listPath(), redirect);
  std::shared_ptr<lumora::LMHTTPRequestOperation> operation;
  offMain([&] { operation = contacts_->requestRecordListWithSyncTag(0, std::nullopt, std::nullopt, {}); });
  EXPECT_FALSE(operation->error());
  auto sent = calls(listPath());
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].redirectCount, "");
  EXPECT_EQ(sent[1].redirectCount, "0");
  EXPECT_EQ(sent[2].redirectCount, "1");

  // A reply that cannot be read may be sent again: four sends, no more;
  // each batch send takes at least 0.4 s of clock time.
  auto unreadable = fault(-1);
  unreadable.status = 200;
  unreadable.emptyBody = true;
  server_->faults().set(batchPath(), unreadable);
  server_->signedEndpoints().clearJournal();
  auto contact = std::make_shared<lumora::LMContact>(contactNamed("Batch", "Person"));
  offMain([&] {
    operation = contacts_->requestRecordBatchOperations({LMContactOperation(contact, LMContactOperation::kTypeAdd)});
  });
  EXPECT_TRUE(operation->error());
  EXPECT_EQ(callsTo(batchPath()), 4u);
  EXPECT_NEAR(std::chrono::duration<double>(clock_->sleptTotal()).count(), 4 * 0.4, 1e-6);
}

}  // namespace
}  // namespace contactsynctest
