// The contact sync from end to end against the local cloud: both directions,
// batching, the conflict rules and groups, each shown on both sides.
#include "ContactSyncFixture.h"

#include <string>

namespace contactsynctest {
namespace {

using lumora::LMContactSyncAdapter;

class ContactSyncEndToEndTest : public ContactSyncCloudTest {};

TEST_F(ContactSyncEndToEndTest, CloudContactsComeDownAndLocalOnesGoUpInBatchesOfFive) {
  for (int i = 0; i < 450; ++i) {
    addCloudContact(contactNamed("Cloud" + std::to_string(i), "Person", "+1 555 " + std::to_string(1000 + i)));
  }
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(people().size(), 450u);
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{450, 0, 0}));
  EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_TRUE(lastReports.finished);
  EXPECT_EQ(lastReports.progress.front(), lumora::kLMSyncProcessBegin);

  for (int i = 0; i < 12; ++i) addPerson(contactNamed("Local" + std::to_string(i), "Person"));
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(batchPath()), 3u);  // 5, 5 and 2
  EXPECT_EQ(std::count(lastReports.progress.begin(), lastReports.progress.end(),
                       lumora::kLMSyncProcessPushBatch),
            3);
  EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{12, 0, 0}));
  EXPECT_EQ(cloudContacts().size(), 462u);

  // Nothing changed: nothing is sent, nothing is written.
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(batchPath()), 0u);
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(people().size(), 462u);
}

}  // namespace
}  // namespace contactsynctest
