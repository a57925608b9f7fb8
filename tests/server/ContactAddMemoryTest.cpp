// The contact store's memory of the adds it made: a repeated add is known by
// its mark whatever its content or device, an add without a mark by its
// device, key and content; the memory of a store of an earlier schema is
// carried into it, and an add is forgotten once it is old.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

#include "server/storage/ContactStore.h"
#include "server/storage/Store.h"
#include "support/TestHome.h"

namespace {

using localcloud::ContactOperation;
using localcloud::ContactStore;
using localcloud::Store;
using Json = nlohmann::json;

constexpr std::int64_t kUser = 7301;

class ContactAddMemory : public ::testing::Test {
 protected:
  std::unique_ptr<Store> open() {
    std::string error;
    auto store = Store::open(home_.root() / "data", &error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  // One add: its outcome and the record's id.
  static std::pair<ContactStore::Outcome, std::int64_t> add(ContactStore& contacts, const std::string& name,
                                                            const std::string& mark, const std::string& device,
                                                            const std::string& ckey = "1") {
    ContactOperation op;
    op.type = "contact";
    op.content = Json{{"displayName", name}};
    op.ckey = ckey;
    op.device = device;
    op.mark = mark;
    ContactStore::Change change = contacts.apply(kUser, {op}).front();
    return {change.outcome, change.record.id};
  }

  bool exec(const std::string& sql) {
    sqlite3* db = nullptr;
    bool done = sqlite3_open((home_.root() / "data" / "cloud.db").c_str(), &db) == SQLITE_OK &&
                sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return done;
  }

  testsupport::TestHome home_;
};

TEST_F(ContactAddMemory, ARepeatIsKnownByItsMarkAndAnAddWithoutOneByDeviceKeyAndContent) {
  auto store = open();
  ContactStore contacts(*store);
  const auto [made, id] = add(contacts, "Ann", "mark-a", "pass:one");
  ASSERT_EQ(made, ContactStore::Outcome::Applied);
  // The same mark from another device, with other content: the same add.
  EXPECT_EQ(add(contacts, "Ann changed", "mark-a", "service:two", "9"),
            std::make_pair(ContactStore::Outcome::Kept, id));
  // Another mark, the same device, key and content: a new add.
  EXPECT_EQ(add(contacts, "Ann", "mark-b", "pass:one").first, ContactStore::Outcome::Applied);
  // No mark (a sender that lost its own memory of the add), the same
  // device, key and content: the add made last under them.
  const auto [again, againId] = add(contacts, "Ann", "", "pass:one");
  EXPECT_EQ(again, ContactStore::Outcome::Kept);
  EXPECT_GT(againId, id);
  // Without a mark: known by device, key and content only.
  const auto [unmarked, unmarkedId] = add(contacts, "Bo", "", "pass:one");
  ASSERT_EQ(unmarked, ContactStore::Outcome::Applied);
  EXPECT_EQ(add(contacts, "Bo", "", "pass:one"), std::make_pair(ContactStore::Outcome::Kept, unmarkedId));
  EXPECT_EQ(add(contacts, "Bo", "", "pass:other").first, ContactStore::Outcome::Applied);
  EXPECT_EQ(contacts.records(kUser).size(), 4u);
}

// A store of the schema before, whose memory of adds is in the table of its
// time (by user, key and content; or by user, device, key and content), is
// opened by this cloud: the add it remembers, sent again without a mark as
// a phone of that time sends it, is known and makes nothing.
TEST_F(ContactAddMemory, TheMemoryOfAStoreOfTheSchemaBeforeIsCarriedIntoIt) {
  struct Form {
    const char* table;
    const char* columns;
  };
  for (const Form& form : {Form{"contact_adds", "user_id, ckey, digest, record_id"},
                           Form{"contact_device_adds", "user_id, device, ckey, digest, record_id"}}) {
    SCOPED_TRACE(form.table);
    std::int64_t id = 0;
    {
      auto store = open();
      ContactStore contacts(*store);
      id = add(contacts, std::string("Old ") + form.table, "", "pass:phone").second;
      ASSERT_GT(id, 0);
    }
    const std::string columns = form.columns;
    ASSERT_TRUE(exec("CREATE TABLE " + std::string(form.table) + " AS SELECT " + columns +
                     " FROM contact_add_memory WHERE record_id = " + std::to_string(id) +
                     "; DROP TABLE contact_add_memory; PRAGMA user_version = 3;"));
    auto store = open();
    ContactStore contacts(*store);
    EXPECT_EQ(add(contacts, std::string("Old ") + form.table, "", "pass:phone"),
              std::make_pair(ContactStore::Outcome::Kept, id));
  }
}

TEST_F(ContactAddMemory, AnAddIsForgottenEightWeeksAfterItWasMade) {
  auto store = open();
  ContactStore contacts(*store);
  std::int64_t now = 1'800'000'000;
  contacts.setClock([&now] { return now; });
  const std::int64_t id = add(contacts, "Ann", "mark-a", "pass:one").second;
  now += ContactStore::kAddMemorySeconds;
  EXPECT_EQ(add(contacts, "Ann", "mark-a", "pass:one"), std::make_pair(ContactStore::Outcome::Kept, id));
  now += 1;
  EXPECT_EQ(add(contacts, "Ann", "mark-a", "pass:one").first, ContactStore::Outcome::Applied);
}

}  // namespace
