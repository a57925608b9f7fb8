// Adds in flight against the local cloud: an add whose batch reply was lost
// (the cloud applied it) or whose batch was dropped (it never arrived) is
// sent again by the next sync as it first went, under the mark it keeps;
// the cloud knows the repeat by that mark whatever the content or the
// session says, and a new add is never taken for an old one. What changed
// here meanwhile goes up once the add is settled.
#include "ContactSyncFixture.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/passport/QBPassportsManager.h"
#include "server/http/FaultInjector.h"
#include "support/CloudStoreBeforeMarks.h"
#include "support/TestMedia.h"
#include "utils/ServiceHosts.h"

namespace contactsynctest {
namespace {

class ContactAddsInFlightTest : public ContactSyncCloudTest {
 protected:
  // The next batch's reply lost (the cloud applies it) or the batch dropped
  // before the cloud reads it; the sync fails.
  void failNextSync(bool replyLost) {
    localcloud::Fault fault;
    (replyLost ? fault.dropReply : fault.drop) = true;
    server_->faults().set(batchPath(), fault);
    ASSERT_FALSE(sync().ok());
    server_->faults().clearAll();
  }

  // A "lumora" session for kKnownKey, signed in with a device id (a pass
  // token naming it) or without one.
  void signInAs(const std::optional<std::string>& deviceId) {
    localcloud::LoginGrant grant;
    grant.userId = signedtest::kUserId;
    grant.serviceId = "lumora";
    grant.ssecurity = signedtest::kKnownKey;
    if (deviceId) grant.passToken = server_->store().issuePassToken(signedtest::kUserId, *deviceId);
    const std::string token = server_->store().issueServiceToken(grant);
    auto passport = lumora::QBPassportsManager::sharedManager()->passportForSid("lumora", signedtest::kUserIdText);
    ASSERT_TRUE(passport);
    passport->setServiceToken(token);
    passport->setSSecurity(signedtest::kKnownKey);
  }

  // The cloud stopped, its store put back into the form a cloud kept
  // before marks (that cloud made the same records and remembered them by
  // device, key and content only, or, still earlier, by key and content
  // under no device), and started again on it: upgraded.
  void upgradeCloudFromTheFormBeforeMarks(
      testsupport::AddMemoryForm form = testsupport::AddMemoryForm::ByDevice) {
    server_->stop();
    server_.reset();
    const auto data = home_.root() / "cloud";
    ASSERT_TRUE(testsupport::putCloudStoreBeforeMarks(data, form));
    std::string error;
    server_ = localcloud::CloudServer::create(data, &error);
    ASSERT_TRUE(server_) << error;
    ASSERT_TRUE(server_->start(0, &error)) << error;
    lumora::ServiceHosts::setAll(server_->url());
  }

  // Z0, Z1 and Z2 synced; Z1 deleted in the cloud (as by another device)
  // and the phone synced; then `beforeTheBookIsReplaced`. The address book
  // is replaced by a new one and the same people typed in again (the same
  // record ids, the same content): two syncs keep all three on both sides.
  void typeInAgainInAReplacedBook(const std::function<void()>& beforeTheBookIsReplaced) {
    std::vector<ab::RecordId> ids;
    std::set<std::string> everyone;
    for (int i = 0; i < 3; ++i) {
      ids.push_back(addPerson(contactNamed("Z" + std::to_string(i), "Typed")));
      everyone.insert("Z" + std::to_string(i) + " Typed");
    }
    ASSERT_TRUE(sync().ok());
    ASSERT_TRUE(server_->contacts()
                    .remove(signedtest::kUserId, cloudContacts().at("Z1 Typed")["content"]["id"].get<std::int64_t>(),
                            std::nullopt, false)
                    .record.id);
    ASSERT_TRUE(sync().ok());
    ASSERT_EQ(people().count("Z1 Typed"), 0u);
    ASSERT_NO_FATAL_FAILURE(beforeTheBookIsReplaced());

    ASSERT_NO_FATAL_FAILURE(replaceBookWithAnEmptyOne());
    clock_->advance(std::chrono::minutes(5));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(addPerson(contactNamed("Z" + std::to_string(i), "Typed")), ids[i]);

    for (int run = 0; run < 2; ++run) {
      ASSERT_TRUE(sync().ok()) << run;
      EXPECT_EQ(namesOf(people()), everyone) << run;
      EXPECT_EQ(namesOf(cloudContacts()), everyone) << run;
    }
  }

  static std::set<std::string> namesOf(const std::map<std::string, lumora::LMContact>& people) {
    std::set<std::string> out;
    for (const auto& [name, person] : people) out.insert(name);
    return out;
  }
  static std::set<std::string> namesOf(const std::map<std::string, Json>& records) {
    std::set<std::string> out;
    for (const auto& [name, record] : records) out.insert(name);
    return out;
  }

  // The live contact records of the cloud, however many share a name.
  std::size_t cloudContactCount() {
    std::size_t count = 0;
    for (const auto& record : server_->contacts().records(signedtest::kUserId)) {
      count += record.type == "contact" && record.status == localcloud::ContactStore::kStatusLive;
    }
    return count;
  }
  std::size_t peopleCount() {
    auto book = ab::AddressBook::create();
    if (!book.ok()) return 0;
    return (*book)->peopleInSource((*book)->sourceWithId(ab::kLocalSourceId)).size();
  }

  // A group of the synced source by name (made when missing).
  ab::Record groupNamed(const std::string& name) {
    ab::Record source = book_->sourceWithId(ab::kLocalSourceId);
    for (const ab::Record& group : book_->groupsInSource(source)) {
      if (group.name() == name) return group;
    }
    auto made = book_->createGroup(source);
    EXPECT_TRUE(made.ok() && made->setName(name).ok());
    EXPECT_TRUE(book_->save().ok());
    return made.ok() ? *made : ab::Record();
  }
  // The cloud's group ids of the contact `name`, as group titles.
  std::set<std::string> cloudGroupsOf(const std::string& name) {
    std::map<std::int64_t, std::string> titles;
    for (const auto& record : server_->contacts().records(signedtest::kUserId)) {
      if (record.type == "group") titles[record.id] = record.content.value("title", "");
    }
    std::set<std::string> out;
    for (const Json& group : cloudContacts().at(name)["content"].value("groups", Json::array())) {
      out.insert(titles[group.value("value", std::int64_t{0})]);
    }
    return out;
  }
  // The members of the group `name` here (a fresh handle).
  std::set<std::string> membersHere(const std::string& name) {
    std::set<std::string> out;
    auto book = ab::AddressBook::create();
    if (!book.ok()) return out;
    for (const ab::Record& group : (*book)->groupsInSource((*book)->sourceWithId(ab::kLocalSourceId))) {
      if (group.name() != name) continue;
      for (const ab::Record& member : group.members()) out.insert(member.compositeName().value_or(""));
    }
    return out;
  }
};

// A name without Latin letters in three parts reads back from the cloud
// with the middle name joined to the given name. Its add sent again after
// a lost reply or a dropped batch still goes as it first went: one person
// on each side, its three parts kept on both, and nothing more is sent.
TEST_F(ContactAddsInFlightTest, AThreePartNameWithoutLatinLettersSentAgainStaysAsItFirstWent) {
  struct Name {
    const char* family;
    const char* middle;
    const char* given;
  };
  for (const bool replyLost : {true, false}) {
    for (const Name& name : {Name{"王", "小", "明"}, Name{"Петров", "Иванович", "Иван"}}) {
      SCOPED_TRACE(std::string(replyLost ? "reply lost, " : "batch dropped, ") + name.family);
      lumora::LMContact person = contactNamed(name.given, name.family);
      person.middleName = name.middle;
      person.name.reset();
      const std::size_t before = cloudContactCount();
      const std::size_t recordsBefore = server_->contacts().records(signedtest::kUserId).size();
      const ab::RecordId id = addPerson(person);
      failNextSync(replyLost);
      for (int run = 0; run < 2; ++run) {
        server_->signedEndpoints().clearJournal();
        ASSERT_TRUE(sync().ok()) << run;
        EXPECT_EQ(callsTo(batchPath()), run == 0 ? 1u : 0u) << run;
        EXPECT_EQ(peopleCount(), before + 1) << run;
        EXPECT_EQ(cloudContactCount(), before + 1) << run;
      }
      auto book = ab::AddressBook::create();
      ASSERT_TRUE(book.ok());
      ab::Record here = (*book)->personWithId(id);
      EXPECT_EQ(here.stringValue(ab::PersonProperty::LastName), name.family);
      EXPECT_EQ(here.stringValue(ab::PersonProperty::MiddleName), name.middle);
      EXPECT_EQ(here.stringValue(ab::PersonProperty::FirstName), name.given);
      // This round's records in the cloud.
      std::size_t found = 0;
      const auto records = server_->contacts().records(signedtest::kUserId);
      for (auto record = records.begin() + static_cast<std::ptrdiff_t>(recordsBefore); record != records.end(); ++record) {
        const Json parts = record->content.value("name", Json::object());
        if (parts.value("familyName", "") != name.family) continue;
        ++found;
        EXPECT_EQ(parts.value("middleName", ""), name.middle);
        EXPECT_EQ(parts.value("givenName", ""), name.given);
      }
      EXPECT_EQ(found, 1u);
    }
  }
}

// Three people synced; another device deletes Z1; the phone syncs. The
// address book is then replaced by a new one and the same people typed in
// again (the same record ids, the same content): new people, kept on both
// sides, not the old adds answered with their deleted record.
TEST_F(ContactAddsInFlightTest, PeopleTypedInAgainInAReplacedBookAfterADeletionElsewhereAreKept) {
  typeInAgainInAReplacedBook([] {});
}

// The same with the three people synced through a cloud of the form before
// marks, upgraded after Z1 was deleted (its memory of the adds kept by
// device, key and content, or by key and content under no device): the new
// Z1's add goes for the first time, so no add that cloud remembers answers
// it; the new Z1 is kept on both sides.
class ContactAddsAcrossAnUpgradeTest : public ContactAddsInFlightTest,
                                       public ::testing::WithParamInterface<testsupport::AddMemoryForm> {};

TEST_P(ContactAddsAcrossAnUpgradeTest, PeopleTypedInAgainInAReplacedBookAreKept) {
  typeInAgainInAReplacedBook([this] { upgradeCloudFromTheFormBeforeMarks(GetParam()); });
}

INSTANTIATE_TEST_SUITE_P(RememberedByTheCloudBeforeMarks, ContactAddsAcrossAnUpgradeTest,
                         ::testing::Values(testsupport::AddMemoryForm::ByDevice, testsupport::AddMemoryForm::ByKey),
                         [](const ::testing::TestParamInfo<testsupport::AddMemoryForm>& info) {
                           return info.param == testsupport::AddMemoryForm::ByDevice ? "ByDevice"
                                                                                     : "UnderNoDevice";
                         });

// A person edited here and synced, deleted on another device, then edited
// back to the content it was first added with: it goes up again as a new
// record and stays on both sides.
TEST_F(ContactAddsInFlightTest, APersonEditedBackToItsFirstContentAfterADeletionElsewhereIsKept) {
  lumora::LMContact first = contactNamed("Back", "Again");
  first.note = "first";
  const ab::RecordId id = addPerson(first);
  ASSERT_TRUE(sync().ok());
  ab::Record person = book_->personWithId(id);
  ASSERT_TRUE(person.setValue(ab::PersonProperty::Note, "second").ok());
  ASSERT_TRUE(book_->save().ok());
  ASSERT_TRUE(sync().ok());
  ASSERT_TRUE(server_->contacts()
                  .remove(signedtest::kUserId, cloudContacts().at("Back Again")["content"]["id"].get<std::int64_t>(),
                          std::nullopt, false)
                  .record.id);
  clock_->advance(std::chrono::minutes(1));
  person = book_->personWithId(id);
  ASSERT_TRUE(person.setValue(ab::PersonProperty::Note, "first").ok());
  ASSERT_TRUE(book_->save().ok());

  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(sync().ok()) << run;
    auto here = people();
    auto there = cloudContacts();
    ASSERT_EQ(here.count("Back Again"), 1u) << run;
    ASSERT_EQ(there.count("Back Again"), 1u) << run;
    EXPECT_EQ(here["Back Again"].note, "first") << run;
    EXPECT_EQ(there["Back Again"]["content"].value("note", ""), "first") << run;
  }
}

// Between the lost reply and the next sync the phone's session comes to
// name another device: a sign-in without a device id, one with another
// device id, or the pass token pushed out by later sign-ins of the user
// (the session goes on); or the reply was lost by a cloud from before
// marks, upgraded before the next sync. The adds sent again are still
// known: nobody is doubled on either side.
TEST_F(ContactAddsInFlightTest, AddsSentAgainAfterTheSessionNamesAnotherDeviceDoubleNobody) {
  enum class Change { kNoDeviceId, kOtherDeviceId, kPassTokenPushedOut, kCloudUpgraded };
  const std::pair<Change, const char*> cases[] = {
      {Change::kNoDeviceId, "signed in again without a device id"},
      {Change::kOtherDeviceId, "signed in again as another device"},
      {Change::kPassTokenPushedOut, "pass token pushed out"},
      {Change::kCloudUpgraded, "the cloud upgraded from the form before marks"},
  };
  int round = 0;
  for (const auto& [change, what] : cases) {
    SCOPED_TRACE(what);
    signInAs("phone");
    const std::size_t before = cloudContactCount();
    for (int i = 0; i < 5; ++i) addPerson(contactNamed("S" + std::to_string(round) + std::to_string(i), "Session"));
    ++round;
    failNextSync(true);
    ASSERT_EQ(cloudContactCount(), before + 5);
    if (change == Change::kNoDeviceId) signInAs(std::nullopt);
    if (change == Change::kOtherDeviceId) signInAs("phone-renamed");
    for (int i = 0; change == Change::kPassTokenPushedOut && i < localcloud::Store::kMaxPassTokensPerUser; ++i) {
      server_->store().issuePassToken(signedtest::kUserId, "elsewhere-" + std::to_string(i));
    }
    if (change == Change::kCloudUpgraded) upgradeCloudFromTheFormBeforeMarks();
    for (int run = 0; run < 2; ++run) {
      ASSERT_TRUE(sync().ok()) << run;
      EXPECT_EQ(peopleCount(), before + 5) << run;
      EXPECT_EQ(cloudContactCount(), before + 5) << run;
    }
  }
}

// Groups Alpha and Beta synced; new people whose batch reply is lost, or
// whose batch is dropped; then one of them is put into Beta, or moved from
// Alpha to Beta. Once the add is settled the membership is in the cloud
// too (where the other phones get it) and stays here.
TEST_F(ContactAddsInFlightTest, AGroupSetOrMovedWhileTheAddIsInFlightReachesTheCloud) {
  ab::Record alpha = groupNamed("Alpha");
  ab::Record beta = groupNamed("Beta");
  ASSERT_TRUE(sync().ok());
  int round = 0;
  for (const bool replyLost : {true, false}) {
    for (const bool moved : {false, true}) {
      SCOPED_TRACE(std::string(replyLost ? "reply lost" : "batch dropped") + (moved ? ", moved" : ", set"));
      const std::string tag = "G" + std::to_string(round++);
      std::vector<ab::RecordId> ids;
      for (int i = 0; i < 5; ++i) ids.push_back(addPerson(contactNamed(tag + std::to_string(i), "Member")));
      const std::string name = tag + "1 Member";
      if (moved) {
        ASSERT_TRUE(book_->groupWithId(alpha.id()).addMember(book_->personWithId(ids[1])).ok());
        ASSERT_TRUE(book_->save().ok());
      }
      failNextSync(replyLost);
      clock_->advance(std::chrono::minutes(1));
      if (moved) {
        ASSERT_TRUE(book_->groupWithId(alpha.id()).removeMember(book_->personWithId(ids[1])).ok());
      }
      ASSERT_TRUE(book_->groupWithId(beta.id()).addMember(book_->personWithId(ids[1])).ok());
      ASSERT_TRUE(book_->save().ok());

      for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(sync().ok()) << run;
        EXPECT_EQ(cloudGroupsOf(name), std::set<std::string>{"Beta"}) << run;
        EXPECT_EQ(membersHere("Beta").count(name), 1u) << run;
        EXPECT_EQ(membersHere("Alpha").count(name), 0u) << run;
        EXPECT_EQ(cloudContacts().size(), peopleCount()) << run;
      }
    }
  }
}

// A photo set on a person whose add's reply was lost, or whose batch was
// dropped, goes up once the add is settled.
TEST_F(ContactAddsInFlightTest, APhotoChangedWhileTheAddIsInFlightReachesTheCloud) {
  for (const bool replyLost : {true, false}) {
    SCOPED_TRACE(replyLost ? "reply lost" : "batch dropped");
    const std::string name = replyLost ? "Pic Lost" : "Pic Dropped";
    const ab::RecordId id = addPerson(contactNamed("Pic", replyLost ? "Lost" : "Dropped"));
    failNextSync(replyLost);
    clock_->advance(std::chrono::minutes(1));
    ab::Record person = book_->personWithId(id);
    ASSERT_TRUE(person.setImageData(testsupport::makeJpeg(64, 48)).ok());
    ASSERT_TRUE(book_->save().ok());
    for (int run = 0; run < 2; ++run) {
      ASSERT_TRUE(sync().ok()) << run;
      auto there = cloudContacts();
      ASSERT_EQ(there.count(name), 1u) << run;
      EXPECT_FALSE(there[name]["content"].value("photos", Json::array()).empty()) << run;
      EXPECT_EQ(peopleCount(), there.size()) << run;
    }
  }
}

}  // namespace
}  // namespace contactsynctest

namespace contactsynctest {
namespace {

// A thousand adds whose last batch's reply was lost: the next sync lists
// them (pages of 200) and sends them again (a batch per five, each answered
// with its record), pushing nothing after; the sync after it lists one page
// and sends nothing.
TEST_F(ContactAddsInFlightTest, AThousandAddsInFlightSettleInTheNextSync) {
  constexpr int kPeople = 1000;
  for (int i = 0; i < kPeople; ++i) addPerson(contactNamed("T" + std::to_string(i), "Many"));
  localcloud::Fault lost;
  lost.dropReply = true;
  lost.skip = kPeople / 5 - 1;
  lost.times = 4;  // every send of that batch
  server_->faults().set(batchPath(), lost);
  ASSERT_FALSE(sync().ok());
  server_->faults().clearAll();
  ASSERT_EQ(cloudContactCount(), static_cast<std::size_t>(kPeople));

  const std::size_t expected[][2] = {{kPeople / 200, kPeople / 5}, {1, 0}};
  for (const auto& [pages, batches] : expected) {
    server_->signedEndpoints().clearJournal();
    ASSERT_TRUE(sync().ok());
    EXPECT_EQ(callsTo(listPath()), pages);
    EXPECT_EQ(callsTo(batchPath()), batches);
    EXPECT_EQ(peopleCount(), static_cast<std::size_t>(kPeople));
    EXPECT_EQ(cloudContactCount(), static_cast<std::size_t>(kPeople));
  }
}

}  // namespace
}  // namespace contactsynctest
