#include "server/storage/ContactStore.h"

#include <sqlite3.h>

#include <utility>

#include "server/storage/ContactChangeLog.h"
#include "server/http/HttpUtil.h"
#include "server/services/Crypto.h"
#include "server/storage/SqlStatement.h"

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
             http::jsonText(record.content), record.purged);
  return st.run();
}

// The record an earlier send of the same add made, if it is still there
// and of the add's type: by its mark, else by the device that sent it, its
// key and content; an add remembered under no device (from before adds
// were told apart by device) answers any device of the user. A marked add
// its mark does not name is looked for by device, key and content too (a
// cloud from before marks remembered its first send so), but only when its
// sender sent it before (a first send is a new add, whatever was added
// under its key and content before), and only among adds no mark is kept
// with: an add made under another mark is another add. A memory that names
// a record gone, or one of another type, is no answer.
std::optional<ContactRecord> earlierAdd(SqlConnection& db, std::int64_t userId, const ContactOperation& op,
                                        const std::string& digest) {
  auto answer = [&](SqlStatement& st) -> std::optional<ContactRecord> {
    if (st.step() != SQLITE_ROW) return std::nullopt;
    auto record = findRecord(db, userId, st.integer(0));
    if (!record || record->type != op.type) return std::nullopt;
    return record;
  };
  if (!op.mark.empty()) {
    SqlStatement byMark(db,
                        "SELECT record_id FROM contact_add_memory WHERE user_id = ? AND mark = ? "
                        "AND ckey = '' AND digest = '' AND device = ''");
    if (auto made = answer(byMark.bindAll(userId, op.mark))) return made;
  }
  if (digest.empty() || (!op.mark.empty() && !op.resent)) return std::nullopt;
  SqlStatement byKey(db,
                     "SELECT record_id FROM contact_add_memory AS m WHERE user_id = ?1 AND mark = '' "
                     "AND ckey = ?2 AND digest = ?3 AND device IN (?4, '') AND (?5 = '' OR NOT EXISTS "
                     "(SELECT 1 FROM contact_add_memory WHERE user_id = ?1 AND record_id = m.record_id "
                     "AND mark != '')) ORDER BY device DESC LIMIT 1");
  return answer(byKey.bindAll(userId, op.ckey, digest, op.device, op.mark));
}

// Remembers what made `recordId` at `now`: one row of contact_add_memory.
bool rememberRow(SqlConnection& db, std::int64_t userId, const std::string& mark, const std::string& device,
                 const std::string& ckey, const std::string& digest, std::int64_t recordId, std::int64_t now) {
  return runSql(db,
                "INSERT OR REPLACE INTO contact_add_memory "
                "(user_id, mark, device, ckey, digest, record_id, made_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
                userId, mark, device, ckey, digest, recordId, now);
}

// Keeps a marked add's mark with the record `recordId` from `now` on.
bool rememberMark(SqlConnection& db, std::int64_t userId, const ContactOperation& op, std::int64_t recordId,
                  std::int64_t now) {
  return op.mark.empty() || rememberRow(db, userId, op.mark, "", "", "", recordId, now);
}

// Remembers the add that made `recordId`, made at `now`: by its mark, and
// by its device, key and content (`digest`, when it has a key), so that a
// sender that lost the mark along with its own memory and sends the add
// again without one is still known.
bool rememberAdd(SqlConnection& db, std::int64_t userId, const ContactOperation& op, const std::string& digest,
                 std::int64_t recordId, std::int64_t now) {
  return (digest.empty() || rememberRow(db, userId, "", op.device, op.ckey, digest, recordId, now)) &&
         rememberMark(db, userId, op, recordId, now);
}

// A repeat that was known: the add is remembered from `now` on, under
// whatever it is remembered by, and its mark is kept with the record (a
// repeat known by device, key and content is known by its mark next time).
bool renewAdd(SqlConnection& db, std::int64_t userId, const ContactOperation& op, std::int64_t recordId,
              std::int64_t now) {
  return rememberMark(db, userId, op, recordId, now) &&
         runSql(db, "UPDATE contact_add_memory SET made_at = ? WHERE user_id = ? AND record_id = ?", now, userId,
                recordId);
}

// Applies one operation inside the transaction, keeping the tally; Failed
// when storing failed (the caller then rolls everything back).
ContactStore::Change applyOne(SqlConnection& db, std::int64_t userId, const ContactOperation& op,
                              ContactLogTally& tally, const ContactLimits& limits, std::int64_t now) {
  using Outcome = ContactStore::Outcome;
  ContactStore::Change change;
  ContactRecord record;
  std::string before;
  std::string addDigest;
  bool remember = false;
  if (op.kind == ContactOperation::Kind::Add) {
    const bool keyed = !op.ckey.empty() && op.ckey != "0";
    remember = keyed || !op.mark.empty();
    if (remember) {
      if (keyed) addDigest = crypto::sha1Base64(op.type + '\n' + http::jsonText(stripOwnKeys(op.content)));
      if (auto made = earlierAdd(db, userId, op, addDigest)) {
        if (!renewAdd(db, userId, op, made->id, now)) return change;
        change.outcome = Outcome::Kept;
        change.record = std::move(*made);
        return change;
      }
    }
    if (!tally.roomForLive(limits)) {
      change.outcome = Outcome::Full;
      return change;
    }
    record.userId = userId;
    record.id = nextValue(db, userId, Counter::Id);
    if (record.id == 0) return change;
    record.type = op.type;
    record.content = stripOwnKeys(op.content);
  } else {
    auto current = findRecord(db, userId, op.id);
    if (!current) {
      change.outcome = Outcome::NotFound;
      return change;
    }
    if (op.kind == ContactOperation::Kind::Modify && current->type != op.type) {
      change.outcome = Outcome::WrongType;
      return change;
    }
    if (current->status == ContactStore::kStatusDeleted ||
        (op.baseTag && *op.baseTag != current->tag)) {
      change.outcome = Outcome::Kept;
      change.record = std::move(*current);
      return change;
    }
    before = current->status;
    record = std::move(*current);
    if (op.kind == ContactOperation::Kind::Modify) {
      record.content = stripOwnKeys(op.content);
    } else {
      record.status = ContactStore::kStatusDeleted;
      record.purged = op.purge;
      if (op.purge) record.content = Json::object();
    }
  }
  if (op.kind != ContactOperation::Kind::Delete) record.status = ContactStore::kStatusLive;
  record.tag = nextValue(db, userId, Counter::Tag);
  if (record.tag == 0 || !writeRecord(db, record)) return change;
  if (remember && !rememberAdd(db, userId, op, addDigest, record.id, now)) return change;
  tally.changed(before, record.status);
  change.outcome = Outcome::Applied;
  change.record = std::move(record);
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

ContactStore::ContactStore(Store& store) : store_(store) {
  setLimits(ContactLimits{});
  store_.createTables("contacts", ContactLogTally::kTablesSql);
  // What a known repeat renews, and what tells whether a mark is kept with
  // a record, are found by the record.
  store_.createTables("contact adds",
                      "CREATE INDEX IF NOT EXISTS contact_add_memory_record ON contact_add_memory(user_id, record_id)");
}

void ContactStore::setClock(std::function<std::int64_t()> now) {
  std::lock_guard lock(clockMutex_);
  now_ = std::move(now);
}

std::int64_t ContactStore::now() const {
  std::lock_guard lock(clockMutex_);
  return now_ ? now_() : http::nowMs() / 1000;
}

void ContactStore::setLimits(const ContactLimits& limits) {
  maxLive_ = limits.maxLiveRecords;
  maxDeleted_ = limits.maxDeletedRecords;
}

ContactLimits ContactStore::limits() const { return ContactLimits{maxLive_, maxDeleted_}; }

std::vector<ContactStore::Change> ContactStore::apply(
    std::int64_t userId, const std::vector<ContactOperation>& operations) {
  std::vector<Change> changes(operations.size());
  if (operations.empty()) return changes;
  ContactLimits limits = this->limits();
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlConnection& db = access.connection();
  SqlTransaction tx(db, SqlTransaction::Mode::Write);
  auto tally = tx.ok() ? ContactLogTally::load(db, userId) : std::nullopt;
  if (!tally) return changes;
  const std::int64_t now = this->now();
  // Adds are remembered for a while only.
  SqlStatement forget(db, "DELETE FROM contact_add_memory WHERE user_id = ? AND made_at < ?");
  if (!forget.bindAll(userId, now - kAddMemorySeconds).run()) return changes;
  std::vector<Change> made;
  made.reserve(operations.size());
  for (const ContactOperation& op : operations) {
    made.push_back(applyOne(db, userId, op, *tally, limits, now));
    if (made.back().outcome == Outcome::Failed) return changes;
  }
  if (!tally->save(db, limits) || !tx.commit()) return changes;
  return made;
}

ContactStore::Change ContactStore::add(std::int64_t userId, const std::string& type,
                                       const Json& content) {
  ContactOperation op;
  op.type = type;
  op.content = content;
  return apply(userId, {op}).front();
}

ContactStore::Change ContactStore::modify(std::int64_t userId, std::int64_t id,
                                          const std::string& type, const Json& content,
                                          std::optional<std::int64_t> baseTag) {
  ContactOperation op;
  op.kind = ContactOperation::Kind::Modify;
  op.id = id;
  op.type = type;
  op.content = content;
  op.baseTag = baseTag;
  return apply(userId, {op}).front();
}

ContactStore::Change ContactStore::remove(std::int64_t userId, std::int64_t id,
                                          std::optional<std::int64_t> baseTag, bool purge) {
  ContactOperation op;
  op.kind = ContactOperation::Kind::Delete;
  op.id = id;
  op.baseTag = baseTag;
  op.purge = purge;
  return apply(userId, {op}).front();
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


std::optional<ContactStore::ChangeSet> ContactStore::changedSince(
    std::int64_t userId, std::int64_t sinceTag, std::size_t limit, std::size_t maxBytes,
    const std::set<std::int64_t>& skipTags) {
  ChangeSet set;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlConnection& db = access.connection();
  // One snapshot: the records, the newest tag and the horizon agree.
  SqlTransaction tx(db, SqlTransaction::Mode::Read);
  if (!tx.ok()) return std::nullopt;
  auto horizon = ContactLogTally::horizon(db, userId);
  if (!horizon) return std::nullopt;
  set.horizon = *horizon;
  {
    SqlStatement st(db, "SELECT last_tag FROM contact_users WHERE user_id = ?");
    st.bind(1, userId);
    int rc = st.step();
    if (rc == SQLITE_ROW) {
      set.lastTag = st.integer(0);
    } else if (rc != SQLITE_DONE) {
      return std::nullopt;
    }
  }
  set.scannedTag = sinceTag;
  std::size_t bytes = 0;
  SqlStatement st(db, std::string(kSelect) + "WHERE user_id = ? AND tag > ? ORDER BY tag");
  st.bindAll(userId, sinceTag);
  int rc = SQLITE_ROW;
  while ((rc = st.step()) == SQLITE_ROW) {
    if (set.records.size() >= limit || (!set.records.empty() && bytes >= maxBytes)) {
      set.more = true;
      break;
    }
    set.scannedTag = st.integer(3);
    if (skipTags.count(set.scannedTag) != 0) continue;
    bytes += st.bytes(5);
    set.records.push_back(readRow(st));
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return std::nullopt;
  return set;
}

}  // namespace localcloud
