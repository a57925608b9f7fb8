// The contact store's memory of the adds it made: a repeated add is known by
// its mark whatever its content or device, an add without a mark by its
// device, key and content, each only by an add of its own type; the memory
// of a store of an earlier schema is carried into it, and an add is
// forgotten once it has not been sent for a while.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/storage/ContactStore.h"
#include "server/storage/Store.h"
#include "support/CloudStoreBeforeMarks.h"
#include "support/TestHome.h"

namespace {

using localcloud::ContactOperation;
using localcloud::ContactStore;
using localcloud::Store;
using Json = nlohmann::json;
using Outcome = ContactStore::Outcome;

constexpr std::int64_t kUser = 7301;
constexpr std::int64_t kWeek = 7 * 24 * 3600;

class ContactAddMemory : public ::testing::Test {
 protected:
  std::unique_ptr<Store> open() {
    std::string error;
    auto store = Store::open(home_.root() / "data", &error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  // One add: its outcome and the record's id.
  static std::pair<Outcome, std::int64_t> add(ContactStore& contacts, const std::string& name, const std::string& mark,
                                              const std::string& device, const std::string& ckey = "1",
                                              const std::string& type = "contact", bool resent = false) {
    ContactOperation op;
    op.type = type;
    op.content = Json{{"displayName", name}};
    op.ckey = ckey;
    op.device = device;
    op.mark = mark;
    op.resent = resent;
    ContactStore::Change change = contacts.apply(kUser, {op}).front();
    return {change.outcome, change.record.id};
  }

  testsupport::TestHome home_;
};

TEST_F(ContactAddMemory, ARepeatIsKnownByItsMarkAndAnAddWithoutOneByDeviceKeyAndContent) {
  auto store = open();
  ContactStore contacts(*store);
  const auto [made, id] = add(contacts, "Ann", "mark-a", "pass:one");
  ASSERT_EQ(made, Outcome::Applied);
  // The same mark from another device, with other content: the same add.
  EXPECT_EQ(add(contacts, "Ann changed", "mark-a", "service:two", "9"),
            std::make_pair(Outcome::Kept, id));
  // Another mark, the same device, key and content: a new add.
  EXPECT_EQ(add(contacts, "Ann", "mark-b", "pass:one").first, Outcome::Applied);
  // No mark (a sender that lost its own memory of the add), the same
  // device, key and content: the add made last under them.
  const auto [again, againId] = add(contacts, "Ann", "", "pass:one");
  EXPECT_EQ(again, Outcome::Kept);
  EXPECT_GT(againId, id);
  // Without a mark: known by device, key and content only.
  const auto [unmarked, unmarkedId] = add(contacts, "Bo", "", "pass:one");
  ASSERT_EQ(unmarked, Outcome::Applied);
  EXPECT_EQ(add(contacts, "Bo", "", "pass:one"), std::make_pair(Outcome::Kept, unmarkedId));
  EXPECT_EQ(add(contacts, "Bo", "", "pass:other").first, Outcome::Applied);
  EXPECT_EQ(contacts.records(kUser).size(), 4u);
}

// A store of the schema before, whose memory of adds is in the table of its
// time (by user, key and content; or by user, device, key and content), is
// opened by this cloud: the add it remembers, sent again without a mark as
// a phone of that time sends it, or with the mark it first went with (that
// cloud ignored marks) and said to be sent again, is known and makes
// nothing. The mark is kept with the record from then on: the add's next
// send is known by it, and an add of equal key and content under another
// mark is another add.
TEST_F(ContactAddMemory, TheMemoryOfAStoreOfTheSchemaBeforeIsCarriedIntoIt) {
  const std::pair<testsupport::AddMemoryForm, const char*> forms[] = {
      {testsupport::AddMemoryForm::ByKey, "by key"}, {testsupport::AddMemoryForm::ByDevice, "by device"}};
  int round = 0;
  for (const auto& [form, what] : forms) {
    for (const std::string mark : {"", "mark-first"}) {
      SCOPED_TRACE(std::string(what) + (mark.empty() ? ", sent again without a mark" : ", sent again marked"));
      const std::string name = "Old " + std::to_string(++round);
      const std::string markOf = mark.empty() ? "" : mark + name;
      std::int64_t id = 0;
      {
        auto store = open();
        ContactStore contacts(*store);
        id = add(contacts, name, markOf, "pass:phone").second;
        ASSERT_GT(id, 0);
      }
      ASSERT_TRUE(testsupport::putCloudStoreBeforeMarks(home_.root() / "data", form));
      auto store = open();
      ContactStore contacts(*store);
      const auto resend = [&](const std::string& sent, const std::string& itsMark, const std::string& device,
                              const std::string& ckey = "1") {
        return add(contacts, sent, itsMark, device, ckey, "contact", true);
      };
      const std::size_t records = contacts.records(kUser).size();
      EXPECT_EQ(resend(name, markOf, "pass:phone"), std::make_pair(Outcome::Kept, id));
      EXPECT_EQ(contacts.records(kUser).size(), records);
      if (mark.empty()) continue;
      EXPECT_EQ(resend(name + " edited", markOf, "service:other", "9"), std::make_pair(Outcome::Kept, id));
      EXPECT_EQ(resend(name, "another" + markOf, "pass:phone").first, Outcome::Applied);
    }
  }
}

// An add such a store remembers (by device, key and content; or by key and
// content under no device, for any device of the user) answers a marked
// add of equal key and content only when its sender says it sent it
// before: a marked add sent for the first time makes a record of its own.
TEST_F(ContactAddMemory, OnlyAnAddSentAgainIsAnsweredByOneRememberedWithoutItsMark) {
  struct Row {
    testsupport::AddMemoryForm form;
    const char* device;  // of the marked add
    bool resent;
    Outcome outcome;
  };
  const Row rows[] = {
      {testsupport::AddMemoryForm::ByDevice, "pass:phone", false, Outcome::Applied},
      {testsupport::AddMemoryForm::ByDevice, "pass:phone", true, Outcome::Kept},
      {testsupport::AddMemoryForm::ByKey, "pass:other", false, Outcome::Applied},
      {testsupport::AddMemoryForm::ByKey, "pass:other", true, Outcome::Kept},
  };
  int round = 0;
  for (const Row& row : rows) {
    const std::string name = "Remembered " + std::to_string(++round);
    SCOPED_TRACE(name);
    std::int64_t id = 0;
    {
      auto store = open();
      ContactStore contacts(*store);
      id = add(contacts, name, "", "pass:phone").second;
      ASSERT_GT(id, 0);
    }
    ASSERT_TRUE(testsupport::putCloudStoreBeforeMarks(home_.root() / "data", row.form));
    auto store = open();
    ContactStore contacts(*store);
    const auto [outcome, answer] = add(contacts, name, "mark " + name, row.device, "1", "contact", row.resent);
    EXPECT_EQ(outcome, row.outcome);
    EXPECT_EQ(answer == id, row.outcome == Outcome::Kept);
  }
}

// A contact's mark never answers a group's add, nor a group's a contact's:
// the add of the other type makes a record of its own, and later sends of
// either add under the mark (sent again) are still answered by their own
// record.
TEST_F(ContactAddMemory, AMarkAnswersOnlyAnAddOfItsOwnType) {
  auto store = open();
  ContactStore contacts(*store);
  const std::pair<const char*, const char*> orders[] = {{"contact", "group"}, {"group", "contact"}};
  for (const auto& [first, second] : orders) {
    SCOPED_TRACE(std::string(first) + " first");
    const std::string mark = std::string("mark-of-") + first;
    const auto [made, id] = add(contacts, "Ann", mark, "pass:one", "3", first);
    ASSERT_EQ(made, Outcome::Applied);
    const auto [other, otherId] = add(contacts, "Family", mark, "pass:one", "4", second);
    ASSERT_EQ(other, Outcome::Applied);
    EXPECT_EQ(contacts.find(kUser, otherId)->type, second);
    EXPECT_EQ(add(contacts, "Ann", mark, "pass:one", "3", first, true), std::make_pair(Outcome::Kept, id));
    EXPECT_EQ(add(contacts, "Family", mark, "pass:one", "4", second, true), std::make_pair(Outcome::Kept, otherId));
  }
  EXPECT_EQ(contacts.records(kUser).size(), 4u);
}

// An add is forgotten eight weeks after it was last sent (made, or sent
// again and known): each row sends one add at the given weeks (and
// seconds) after the first, marked or not, and expects it made or known.
TEST_F(ContactAddMemory, AnAddIsForgottenEightWeeksAfterItWasLastSent) {
  struct Send {
    std::int64_t at;
    bool marked;
    Outcome outcome;
  };
  struct Row {
    const char* what;
    std::vector<Send> sends;
  };
  constexpr std::int64_t eight = 8 * kWeek;
  const Row rows[] = {
      {"marked, known at eight weeks", {{0, true, Outcome::Applied}, {eight, true, Outcome::Kept}}},
      {"marked, forgotten past eight weeks", {{0, true, Outcome::Applied}, {eight + 1, true, Outcome::Applied}}},
      {"without a mark, forgotten past eight weeks", {{0, false, Outcome::Applied}, {eight + 1, false, Outcome::Applied}}},
      {"marked, sent again at seven weeks",
       {{0, true, Outcome::Applied}, {7 * kWeek, true, Outcome::Kept}, {eight + 1, true, Outcome::Kept},
        {eight + 1 + eight + 1, true, Outcome::Applied}}},
      {"without a mark, sent again at seven weeks",
       {{0, false, Outcome::Applied}, {7 * kWeek, false, Outcome::Kept}, {eight + 1, false, Outcome::Kept}}},
      {"marked, sent again at seven weeks, then without its mark",
       {{0, true, Outcome::Applied}, {7 * kWeek, true, Outcome::Kept}, {eight + 1, false, Outcome::Kept}}},
  };
  auto store = open();
  ContactStore contacts(*store);
  std::int64_t now = 0;
  contacts.setClock([&now] { return now; });
  std::int64_t start = 1'800'000'000;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    start += 100 * kWeek;
    const std::string name = row.what;
    std::int64_t id = 0;
    for (const Send& send : row.sends) {
      now = start + send.at;
      const auto [outcome, answer] = add(contacts, name, send.marked ? "mark " + name : "", "pass:one", name);
      EXPECT_EQ(outcome, send.outcome) << send.at;
      if (outcome == Outcome::Kept) {
        EXPECT_EQ(answer, id) << send.at;
      }
      id = answer;
    }
  }
}

}  // namespace
