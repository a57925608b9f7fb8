#include "server/ContactStore.h"

#include <sqlite3.h>

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

std::optional<ContactRecord> findLocked(sqlite3* db, std::int64_t userId, std::int64_t id) {
  std::string sql = std::string(kSelect) + "WHERE user_id = ? AND id = ?";
  SqlStatement st(db, sql.c_str());
  st.bind(1, userId).bind(2, id);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  return readRow(st);
}

// One write transaction on the locked connection; rolled back unless
// commit() ran.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
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

// Raises the user's counter `column` ("last_id" or "last_tag") and returns
// the new value, 0 on failure.
std::int64_t nextValue(sqlite3* db, std::int64_t userId, const char* column) {
  SqlStatement ensure(db, "INSERT OR IGNORE INTO contact_users (user_id) VALUES (?)");
  if (!ensure.bind(1, userId).run()) return 0;
  std::string update = std::string("UPDATE contact_users SET ") + column + " = " + column +
                       " + 1 WHERE user_id = ?";
  SqlStatement raise(db, update.c_str());
  if (!raise.bind(1, userId).run()) return 0;
  std::string select = std::string("SELECT ") + column + " FROM contact_users WHERE user_id = ?";
  SqlStatement read(db, select.c_str());
  read.bind(1, userId);
  return read.step() == SQLITE_ROW ? read.integer(0) : 0;
}

bool writeRecord(sqlite3* db, const ContactRecord& record) {
  SqlStatement st(db,
                  "INSERT OR REPLACE INTO contact_records (user_id, id, type, tag, status, "
                  "content, purged) VALUES (?, ?, ?, ?, ?, ?, ?)");
  st.bind(1, record.userId).bind(2, record.id).bind(3, record.type).bind(4, record.tag);
  st.bind(5, record.status).bind(6, dump(record.content));
  st.bind(7, std::int64_t{record.purged});
  return st.run();
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
  Store::Access access(store_);
  Transaction tx(access.db());
  if (!tx.ok()) return change;
  ContactRecord record;
  record.userId = userId;
  record.type = type;
  record.status = kStatusLive;
  record.content = stripOwnKeys(content);
  record.id = nextValue(access.db(), userId, "last_id");
  record.tag = nextValue(access.db(), userId, "last_tag");
  if (record.id == 0 || record.tag == 0 || !writeRecord(access.db(), record) || !tx.commit()) {
    return change;
  }
  change.outcome = Outcome::Applied;
  change.record = std::move(record);
  return change;
}

ContactStore::Change ContactStore::modify(std::int64_t userId, std::int64_t id,
                                          const std::string& type, const Json& content,
                                          std::optional<std::int64_t> baseTag) {
  Change change;
  Store::Access access(store_);
  Transaction tx(access.db());
  if (!tx.ok()) return change;
  auto current = findLocked(access.db(), userId, id);
  if (!current) {
    change.outcome = Outcome::NotFound;
    return change;
  }
  if (current->type != type) {
    change.outcome = Outcome::WrongType;
    return change;
  }
  if (current->status == kStatusDeleted || (baseTag && *baseTag != current->tag)) {
    change.outcome = Outcome::Kept;
    change.record = std::move(*current);
    return change;
  }
  ContactRecord record = std::move(*current);
  record.content = stripOwnKeys(content);
  record.tag = nextValue(access.db(), userId, "last_tag");
  if (record.tag == 0 || !writeRecord(access.db(), record) || !tx.commit()) return change;
  change.outcome = Outcome::Applied;
  change.record = std::move(record);
  return change;
}

ContactStore::Change ContactStore::remove(std::int64_t userId, std::int64_t id,
                                          std::optional<std::int64_t> baseTag, bool purge) {
  Change change;
  Store::Access access(store_);
  Transaction tx(access.db());
  if (!tx.ok()) return change;
  auto current = findLocked(access.db(), userId, id);
  if (!current) {
    change.outcome = Outcome::NotFound;
    return change;
  }
  if (current->status == kStatusDeleted || (baseTag && *baseTag != current->tag)) {
    change.outcome = Outcome::Kept;
    change.record = std::move(*current);
    return change;
  }
  ContactRecord record = std::move(*current);
  record.status = kStatusDeleted;
  record.purged = purge;
  if (purge) record.content = Json::object();
  record.tag = nextValue(access.db(), userId, "last_tag");
  if (record.tag == 0 || !writeRecord(access.db(), record) || !tx.commit()) return change;
  change.outcome = Outcome::Applied;
  change.record = std::move(record);
  return change;
}

std::optional<ContactRecord> ContactStore::find(std::int64_t userId, std::int64_t id) {
  Store::Access access(store_);
  return findLocked(access.db(), userId, id);
}

std::vector<ContactRecord> ContactStore::records(std::int64_t userId) {
  std::vector<ContactRecord> out;
  Store::Access access(store_);
  std::string sql = std::string(kSelect) + "WHERE user_id = ? ORDER BY id";
  SqlStatement st(access.db(), sql.c_str());
  st.bind(1, userId);
  while (st.step() == SQLITE_ROW) out.push_back(readRow(st));
  return out;
}

}  // namespace localcloud
