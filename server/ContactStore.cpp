#include "server/ContactStore.h"

#include <sqlite3.h>

#include <functional>

#include "server/SqlStatement.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

const char* kSelect =
    "SELECT user_id, id, type, tag, status, content, purged FROM contact_records ";

// The keys the server owns; they live in columns, not in the content.
Json stripOwnKeys(const Json& content) {
  Json out = content.is_object() ? content : Json::object();
  out.erase("id");
  out.erase("tag");
  out.erase("status");
  return out;
}

std::string dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

ContactRecord readRow(const SqlStatement& st) {
  ContactRecord record;
  record.userId = st.integer(0);
  record.id = st.integer(1);
  record.type = st.text(2);
  record.tag = st.integer(3);
  record.status = st.text(4);
  record.content = Json::parse(st.text(5), nullptr, false);
  if (!record.content.is_object()) record.content = Json::object();
  record.purged = st.integer(6) != 0;
  return record;
}

std::optional<ContactRecord> findRecord(SqlConnection& db, std::int64_t userId,
                                        std::int64_t id) {
  std::string sql = std::string(kSelect) + "WHERE user_id = ? AND id = ?";
  SqlStatement st(db, sql);
  st.bindAll(userId, id);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return readRow(st);
}

// One write transaction on the locked connection; rolled back unless
// commit() ran.
class Transaction {
 public:
  explicit Transaction(SqlConnection& db) : db_(db.db()) {
    open_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool ok() const { return open_; }
  bool commit() {
    if (!open_) return false;
    open_ = false;
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

// The two counters of a user in contact_users.
enum class Counter { Id, Tag };

// Raises one of the user's counters and returns the new value, 0 on failure.
std::int64_t nextValue(SqlConnection& db, std::int64_t userId, Counter counter) {
  SqlStatement ensure(db, "INSERT OR IGNORE INTO contact_users (user_id) VALUES (?)");
  if (!ensure.bind(1, userId).run()) return 0;
  SqlStatement raise(db, counter == Counter::Id
                             ? "UPDATE contact_users SET last_id = last_id + 1 "
                               "WHERE user_id = ? RETURNING last_id"
                             : "UPDATE contact_users SET last_tag = last_tag + 1 "
                               "WHERE user_id = ? RETURNING last_tag");
  raise.bind(1, userId);
  return raise.step() == SQLITE_ROW ? raise.integer(0) : 0;
}

bool writeRecord(SqlConnection& db, const ContactRecord& record) {
  SqlStatement st(db,
                  "INSERT OR REPLACE INTO contact_records (user_id, id, type, tag, status, "
                  "content, purged) VALUES (?, ?, ?, ?, ?, ?, ?)");
  st.bindAll(record.userId, record.id, record.type, record.tag, record.status,
             dump(record.content), record.purged);
  return st.run();
}

// The common end of every applied change: the record gets the user's next
// tag, is written and the transaction committed. `change` stays Failed when
// any of that fails.
void commitChange(SqlConnection& db, Transaction& tx, ContactRecord record,
                  ContactStore::Change& change) {
  record.tag = nextValue(db, record.userId, Counter::Tag);
  if (record.tag == 0 || !writeRecord(db, record) || !tx.commit()) return;
  change.outcome = ContactStore::Outcome::Applied;
  change.record = std::move(record);
}

// The shared path of modify and remove: the user's record `id`, when it is
// live, of `type` (if given) and at `baseTag` (if given), is edited and
// stored under a new tag; otherwise the outcome says why not.
ContactStore::Change changeLive(Store& store, std::int64_t userId, std::int64_t id,
                                const std::optional<std::string>& type,
                                std::optional<std::int64_t> baseTag,
                                const std::function<void(ContactRecord&)>& edit) {
  using Outcome = ContactStore::Outcome;
  ContactStore::Change change;
  Store::Access access(store, Store::Access::Mode::Write);
  Transaction tx(access.connection());
  if (!tx.ok()) return change;
  auto current = findRecord(access.connection(), userId, id);
  if (!current) {
    change.outcome = Outcome::NotFound;
  } else if (type && current->type != *type) {
    change.outcome = Outcome::WrongType;
  } else if (current->status == ContactStore::kStatusDeleted ||
             (baseTag && *baseTag != current->tag)) {
    change.outcome = Outcome::Kept;
    change.record = std::move(*current);
  } else {
    edit(*current);
    commitChange(access.connection(), tx, std::move(*current), change);
  }
  return change;
}

}  // namespace

Json ContactRecord::envelope() const {
  Json inner = content.is_object() ? content : Json::object();
  inner["id"] = id;
  inner["tag"] = tag;
  inner["status"] = status;
  return Json{{"type", type}, {"content", std::move(inner)}};
}

ContactStore::ContactStore(Store& store) : store_(store) {}

ContactStore::Change ContactStore::add(std::int64_t userId, const std::string& type,
                                       const Json& content) {
  Change change;
  Store::Access access(store_, Store::Access::Mode::Write);
  Transaction tx(access.connection());
  if (!tx.ok()) return change;
  ContactRecord record;
  record.userId = userId;
  record.id = nextValue(access.connection(), userId, Counter::Id);
  record.type = type;
  record.status = kStatusLive;
  record.content = stripOwnKeys(content);
  if (record.id != 0) commitChange(access.connection(), tx, std::move(record), change);
  return change;
}

ContactStore::Change ContactStore::modify(std::int64_t userId, std::int64_t id,
                                          const std::string& type, const Json& content,
                                          std::optional<std::int64_t> baseTag) {
  return changeLive(store_, userId, id, type, baseTag,
                    [&](ContactRecord& record) { record.content = stripOwnKeys(content); });
}

ContactStore::Change ContactStore::remove(std::int64_t userId, std::int64_t id,
                                          std::optional<std::int64_t> baseTag, bool purge) {
  return changeLive(store_, userId, id, std::nullopt, baseTag, [purge](ContactRecord& record) {
    record.status = kStatusDeleted;
    record.purged = purge;
    if (purge) record.content = Json::object();
  });
}

std::optional<ContactRecord> ContactStore::find(std::int64_t userId, std::int64_t id) {
  Store::Access access(store_, Store::Access::Mode::Read);
  return findRecord(access.connection(), userId, id);
}

std::vector<ContactRecord> ContactStore::records(std::int64_t userId) {
  std::vector<ContactRecord> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(), std::string(kSelect) + "WHERE user_id = ? ORDER BY id");
  st.bind(1, userId);
  while (st.step() == SQLITE_ROW) out.push_back(readRow(st));
  return out;
}

}  // namespace localcloud
