// Syncs that meet a store they cannot trust, against the local cloud: a
// record store that cannot be read or is found damaged (at launch or while
// in use) is made again, and an address book that
// was replaced (emptied and filled again, its record ids taken anew) is
// synced as a first sync; neither side loses anyone.
#include "ContactSyncFixture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "cloud/model/LMManagedRecordContext.h"
#include "platform/storage/DamagedStore.h"
#include "platform/storage/UserDefaults.h"
#include "server/http/FaultInjector.h"
#include "support/DamagedFile.h"
#include "utils/LMUtils.h"

namespace contactsynctest {
namespace {

namespace fs = std::filesystem;

class ContactStoreRecoveryTest : public ContactSyncCloudTest {
 protected:
  // A new adapter, as at the next launch: its store is opened afresh.
  void relaunch() {
    contacts_ = std::make_shared<lumora::LMContactSyncAdapter>();
    contacts_->setDelegate(delegate_);
  }
  std::set<std::string> names(const std::map<std::string, lumora::LMContact>& people) {
    std::set<std::string> out;
    for (const auto& [name, person] : people) out.insert(name);
    return out;
  }
  std::set<std::string> names(const std::map<std::string, Json>& records) {
    std::set<std::string> out;
    for (const auto& [name, record] : records) out.insert(name);
    return out;
  }
};

TEST_F(ContactStoreRecoveryTest, ADamagedRecordStoreIsMadeAgainAndTheNextSyncLosesNothing) {
  const fs::path file = lumora::LMUtils::applicationDocumentsDirectory() / lumora::kLMDatabaseFileName;
  auto write = [&](const std::string& bytes) { std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes; };
  struct Damage {
    const char* what;
    std::function<void()> done;
    bool whileRunning;  // else between two launches
  };
  const std::vector<Damage> damages = {
      {"garbage", [&] { write(std::string(4096, '\x5a')); }, false},
      {"empty", [&] { write(""); }, false},
      {"bad header", [&] { write(std::string("SQLite format 3", 16) + std::string(4080, '\xff')); }, false},
      {"page zeroed", [&] { testsupport::damagePages(file, '\0'); }, false},
      {"page of garbage", [&] { testsupport::damagePages(file, '\x5a'); }, false},
      {"pages zeroed while running", [&] { testsupport::damagePagesInUse(file, '\0'); }, true},
      {"pages of garbage while running", [&] { testsupport::damagePagesInUse(file, '\x5a'); }, true},
  };
  int aside = 0;
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    const std::string n = std::to_string(cloudContacts().size());
    addCloudContact(contactNamed("Cloud" + n, "Person", "+1 555 1" + n));
    addPerson(contactNamed("Local" + n, "Person", "+1 555 2" + n));
    ASSERT_TRUE(sync().ok());
    const auto before = names(people());
    ASSERT_EQ(names(cloudContacts()), before);

    if (damage.whileRunning) {
      damage.done();
      // The sync that meets the damage may fail; the store is made anew for
      // the next one at the latest.
      (void)sync();
    } else {
      contacts_.reset();
      damage.done();
      relaunch();
    }
    ASSERT_TRUE(sync().ok());
    EXPECT_EQ(names(people()), before);
    EXPECT_EQ(names(cloudContacts()), before);
    // The newest copies moved aside are kept, the older ones go.
    EXPECT_EQ(testsupport::movedAside(file), std::min<int>(++aside, 3));
    // The rows are whole again: nothing more to do either way.
    ASSERT_TRUE(sync().ok());
    EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
    EXPECT_EQ(lastReports.counts["lumoraContacts"], (std::vector<std::uint64_t>{0, 0, 0}));
  }
}

// An add whose reply was lost is still told by the first sync after the
// store was made again: the person deleted here meanwhile stays deleted on
// both sides. Before, the rebuilt store had forgotten the add, and the
// person came back from the cloud.
TEST_F(ContactStoreRecoveryTest, AnAddInFlightOutlivesARebuiltStoreAndItsDeletionHereStands) {
  const fs::path file = lumora::LMUtils::applicationDocumentsDirectory() / lumora::kLMDatabaseFileName;
  for (int i = 0; i < 30; ++i) addPerson(contactNamed("Kept" + std::to_string(i), "Person"));
  ASSERT_TRUE(sync().ok());
  const ab::RecordId id = addPerson(contactNamed("Dan", "Lost"));
  localcloud::Fault lost;
  lost.dropReply = true;
  server_->faults().set(batchPath(), lost);
  ASSERT_FALSE(sync().ok());
  server_->faults().clearAll();
  ASSERT_EQ(cloudContacts().count("Dan Lost"), 1u) << "the cloud made the record";

  contacts_.reset();
  testsupport::damagePages(file, '\x5a');
  relaunch();
  ASSERT_TRUE(book_->removeRecord(book_->personWithId(id)).ok());
  ASSERT_TRUE(book_->save().ok());
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(sync().ok()) << run;
    EXPECT_EQ(people().count("Dan Lost"), 0u) << run;
    EXPECT_EQ(cloudContacts().count("Dan Lost"), 0u) << run;
    EXPECT_EQ(names(people()), names(cloudContacts())) << run;
    EXPECT_EQ(people().size(), 30u) << run;
  }
  EXPECT_EQ(testsupport::movedAside(file), 1);
}

// An add whose reply was lost made a record that was deleted since, and the
// store lost the add in flight with everything else: the person goes up as
// an add once more, and the cloud's answer (the record that add made,
// deleted) deletes it here.
TEST_F(ContactStoreRecoveryTest, AnAddAnsweredWithItsDeletedRecordDeletesThePersonHere) {
  const fs::path file = lumora::LMUtils::applicationDocumentsDirectory() / lumora::kLMDatabaseFileName;
  for (int i = 0; i < 3; ++i) addPerson(contactNamed("Kept" + std::to_string(i), "Person"));
  ASSERT_TRUE(sync().ok());
  addPerson(contactNamed("Gil", "Lost"));
  localcloud::Fault lost;
  lost.dropReply = true;
  server_->faults().set(batchPath(), lost);
  ASSERT_FALSE(sync().ok());
  server_->faults().clearAll();
  const std::int64_t made = cloudContacts().at("Gil Lost")["content"]["id"].get<std::int64_t>();
  ASSERT_EQ(server_->contacts().remove(signedtest::kUserId, made, std::nullopt, false).outcome,
            localcloud::ContactStore::Outcome::Applied);

  contacts_.reset();
  testsupport::damagePages(file, '\x5a', true);  // nothing of it can be read
  relaunch();
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(sync().ok()) << run;
    EXPECT_EQ(people().count("Gil Lost"), 0u) << run;
    EXPECT_EQ(names(people()), names(cloudContacts())) << run;
    EXPECT_EQ(people().size(), 3u) << run;
  }
}

// A person deleted and synced, then made again the same way: its batch is
// dropped before the cloud reads it and the store is found damaged. The
// listing from the start brings the old deletion, which is no answer to
// the new add: the person stays on both sides.
TEST_F(ContactStoreRecoveryTest, APersonMadeAgainOutlivesADroppedBatchAndTheOldDeletionAfterARebuild) {
  const fs::path file = lumora::LMUtils::applicationDocumentsDirectory() / lumora::kLMDatabaseFileName;
  for (int i = 0; i < 3; ++i) addPerson(contactNamed("Kept" + std::to_string(i), "Person"));
  const ab::RecordId first = addPerson(contactNamed("Hal", "Again"));
  ASSERT_TRUE(sync().ok());
  ASSERT_TRUE(book_->removeRecord(book_->personWithId(first)).ok());
  ASSERT_TRUE(book_->save().ok());
  ASSERT_TRUE(sync().ok());
  ASSERT_EQ(cloudContacts().count("Hal Again"), 0u);

  addPerson(contactNamed("Hal", "Again"));
  localcloud::Fault dropped;
  dropped.drop = true;
  server_->faults().set(batchPath(), dropped);
  ASSERT_FALSE(sync().ok());
  server_->faults().clearAll();
  contacts_.reset();
  testsupport::damagePages(file, '\x5a');
  relaunch();
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(sync().ok()) << run;
    EXPECT_EQ(people().count("Hal Again"), 1u) << run;
    EXPECT_EQ(names(people()), names(cloudContacts())) << run;
    EXPECT_EQ(people().size(), 4u) << run;
  }
}

TEST_F(ContactStoreRecoveryTest, ADamagedAddressBookIsLeftWhereItIsAndDeletesNobody) {
  for (int i = 0; i < 3; ++i) addPerson(contactNamed("Local" + std::to_string(i), "Person"));
  addCloudContact(contactNamed("Cloud", "Person"));
  ASSERT_TRUE(sync().ok());
  const auto before = names(cloudContacts());
  ASSERT_EQ(before.size(), 4u);

  // The book is the user's own: it is never moved aside or emptied.
  const fs::path store = ab::AddressBook::storePath();
  for (const bool whileRunning : {true, false}) {
    SCOPED_TRACE(whileRunning ? "while running" : "between launches");
    if (whileRunning) {
      testsupport::damagePagesInUse(store, '\0');
    } else {
      book_.reset();
      testsupport::damagePages(store, '\x5a');
      if (auto book = ab::AddressBook::create()) book_ = *book;
      relaunch();
    }
    for (int run = 0; run < 2; ++run) EXPECT_FALSE(sync().ok());
    EXPECT_EQ(names(cloudContacts()), before) << "nobody deleted in the cloud";
    EXPECT_EQ(testsupport::movedAside(store), 0);
  }
}

TEST_F(ContactStoreRecoveryTest, AReplacedAddressBookIsAFirstSyncNotTheUserDeletingEveryone) {
  // Rows with the book's mark, and rows from before marks were recorded.
  for (const bool marked : {true, false}) {
    SCOPED_TRACE(marked ? "marked" : "from before marks");
    const std::string round = marked ? "A" : "B";
    for (int i = 0; i < 12; ++i) {
      addCloudContact(contactNamed("Cloud" + round + std::to_string(i), "Person", "+1 555 3" + round + std::to_string(i)));
    }
    ASSERT_TRUE(sync().ok());
    const auto cloudBefore = names(cloudContacts());
    ASSERT_EQ(names(people()), cloudBefore);
    if (!marked) platform::UserDefaults::standard().removeObjectForKey(lumora::kLMAddressBookMarkKey);

    // The book's file is emptied; the phone's own people fill it again and
    // take the record ids from the first on.
    ASSERT_NO_FATAL_FAILURE(replaceBookWithAnEmptyOne());
    clock_->advance(std::chrono::minutes(5));
    std::set<std::string> own;
    for (int i = 0; i < 5; ++i) {
      const std::string name = "Own" + round + std::to_string(i);
      ASSERT_LE(addPerson(contactNamed(name, "Person")), 12) << "an id of the book before";
      own.insert(name + " Person");
    }

    ASSERT_TRUE(sync().ok());
    std::set<std::string> everyone = cloudBefore;
    everyone.insert(own.begin(), own.end());
    EXPECT_EQ(names(cloudContacts()), everyone) << "nobody deleted, nobody overwritten";
    EXPECT_EQ(names(people()), everyone);
  }
}

}  // namespace
}  // namespace contactsynctest
