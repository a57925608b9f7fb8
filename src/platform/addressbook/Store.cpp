#include "platform/addressbook/Store.h"

#include <sqlite3.h>

#include <cstdlib>
#include <system_error>

#include "platform/storage/DamagedStore.h"
#include "platform/storage/Sqlite.h"

namespace platform::addressbook::detail {

namespace {

using Json = nlohmann::json;

// JSON text that never throws: invalid UTF-8 in a value is replaced.
std::string toText(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

// The stored data of a row; text that is not a JSON object reads as an empty one.
Json objectFromText(std::string_view text) {
  Json data = Json::parse(text, nullptr, false);
  if (!data.is_object()) return Json::object();
  return data;
}

using sqlite::Statement;

constexpr const char* kSelectRows = "SELECT id, type, source, link, data, image IS NOT NULL FROM Record";

// The text of a query made from kSelectRows, kept for the life of the
// process: a handle may still be read on a worker thread while the process
// exits, after function-level statics are destroyed.
const std::string* rowsQuery(const char* rest) { return new std::string(std::string(kSelectRows) + rest); }

// A row of a kSelectRows query.
Store::Row rowOf(const Statement& st) {
  Store::Row row;
  row.id = static_cast<RecordId>(st.integer(0));
  row.type = static_cast<RecordType>(st.integer(1));
  row.source = static_cast<RecordId>(st.integer(2));
  row.link = st.isNull(3) ? 0 : st.integer(3);
  row.text = st.text(4);
  row.hasImage = st.integer(5) != 0;
  return row;
}

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS Meta(key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS Record(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  type INTEGER NOT NULL,
  source INTEGER NOT NULL,
  link INTEGER,
  data TEXT NOT NULL,
  image BLOB);
CREATE INDEX IF NOT EXISTS RecordSource ON Record(source);
CREATE TABLE IF NOT EXISTS GroupMember(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  group_id INTEGER NOT NULL,
  person_id INTEGER NOT NULL,
  UNIQUE(group_id, person_id));
CREATE INDEX IF NOT EXISTS GroupMemberPerson ON GroupMember(person_id);
)sql";

}  // namespace

Json Store::Row::data() const { return objectFromText(text); }

Result<std::unique_ptr<Store>> Store::open(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.string().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  std::unique_ptr<Store> store(new Store(db));
  if (rc != SQLITE_OK) return store->failure("open " + path.string());
  store->key_ = ExternalChanges::keyOf(path);
  sqlite3_busy_timeout(db, 10000);
  if (auto st = store->ensureSchema(); !st) return st.error();
  return store;
}

bool Store::isDamaged(const std::filesystem::path& path) {
  return isDamagedStore(path, {"SELECT key, value FROM Meta LIMIT 0", std::string(kSelectRows) + " LIMIT 0",
                               "SELECT group_id, person_id FROM GroupMember LIMIT 0"});
}

Store::~Store() {
  statements_.clear();  // finalised before the connection closes
  sqlite3_close_v2(db_);
}

Error Store::failure(const std::string& what) const {
  std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
  return Error(kErrorDomain, kOperationNotPermittedByStoreError,
               Json{{Error::kLocalizedDescriptionKey, "Address book store failure: " + what + ": " + message}});
}

class Store::Prepared {
 public:
  explicit Prepared(Statement& statement) : statement_(statement) {}
  ~Prepared() { statement_.reset(); }
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  Statement* operator->() const { return &statement_; }
  Statement& operator*() const { return statement_; }

 private:
  Statement& statement_;
};

Store::Prepared Store::prepared(const char* sql) {
  auto& slot = statements_[sql];
  if (!slot) slot = std::make_unique<Statement>(db_, sql);
  return Prepared(*slot);
}

Status Store::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "";
    sqlite3_free(message);
    return Error(kErrorDomain, kOperationNotPermittedByStoreError,
                 Json{{Error::kLocalizedDescriptionKey, "Address book store failure: " + text}});
  }
  return Status::success();
}

Status Store::ensureSchema() {
  {
    // An existing store needs no write transaction.
    Statement made(db_, "SELECT value FROM Meta WHERE key='version'");
    if (made.ok() && made.step() == SQLITE_ROW) return Status::success();
  }
  // WAL lets readers in other handles and processes go on while one writes.
  if (auto st = exec("PRAGMA journal_mode=WAL;"); !st) return st;
  if (auto st = begin(); !st) return st;
  if (auto st = exec(kSchema); !st) {
    rollback();
    return st;
  }
  Statement check(db_, "SELECT value FROM Meta WHERE key='version'");
  if (!check.ok()) {
    rollback();
    return failure("schema");
  }
  if (check.step() != SQLITE_ROW) {
    // A new file: the device's local source, then the version mark.
    Statement local(db_, "INSERT INTO Record(id, type, source, data) VALUES (0, ?, 0, ?)");
    local.bind(1, static_cast<std::int64_t>(RecordType::Source))
        .bind(2, toText(Json{{"kind", static_cast<int>(SourceKind::Local)}}));
    Statement version(db_, "INSERT INTO Meta(key, value) VALUES ('version', '1')");
    if (!local.ok() || local.step() != SQLITE_DONE || !version.ok() || version.step() != SQLITE_DONE) {
      Error e = failure("create");
      rollback();
      return e;
    }
  }
  return commit();
}

std::int64_t Store::dataVersion() {
  auto st = prepared("PRAGMA data_version");
  if (!st->ok() || st->step() != SQLITE_ROW) return -1;
  return st->integer(0);
}

Result<std::optional<std::string>> Store::meta(const std::string& key) {
  auto st = prepared("SELECT value FROM Meta WHERE key=?");
  if (!st->ok()) return failure("read setting");
  st->bind(1, key);
  int rc = st->step();
  if (rc == SQLITE_ROW) return std::optional<std::string>(st->text(0));
  if (rc == SQLITE_DONE) return std::optional<std::string>();
  return failure("read setting");
}

Status Store::setMeta(const std::string& key, const std::string& value) {
  return writeMeta("INSERT OR REPLACE INTO Meta(key, value) VALUES (?, ?)", key, value);
}

Status Store::addMeta(const std::string& key, const std::string& value) {
  return writeMeta("INSERT OR IGNORE INTO Meta(key, value) VALUES (?, ?)", key, value);
}

Status Store::writeMeta(const char* sql, const std::string& key, const std::string& value) {
  if (auto st = begin(); !st) return st;
  Statement st(db_, sql);
  if (!st.ok() || st.bind(1, key).bind(2, value).step() != SQLITE_DONE) {
    Error e = failure("write setting");
    rollback();
    return e;
  }
  return commit();
}

Result<Store::Snapshot> Store::load() {
  // One read transaction so that the rows and the members agree.
  endRead();
  if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return failure("load");
  Snapshot snap;
  {
    Statement st(db_, std::string(kSelectRows) + " ORDER BY id");
    int rc = st.ok() ? SQLITE_ROW : SQLITE_ERROR;
    while (st.ok() && (rc = st.step()) == SQLITE_ROW) snap.rows.push_back(rowOf(st));
    if (rc != SQLITE_DONE) {
      Error e = failure("load");
      rollback();
      return e;
    }
  }
  {
    Statement st(db_, "SELECT group_id, person_id FROM GroupMember ORDER BY seq");
    int rc = st.ok() ? SQLITE_ROW : SQLITE_ERROR;
    while (st.ok() && (rc = st.step()) == SQLITE_ROW) {
      snap.members.emplace_back(static_cast<RecordId>(st.integer(0)), static_cast<RecordId>(st.integer(1)));
    }
    if (rc != SQLITE_DONE) {
      Error e = failure("load members");
      rollback();
      return e;
    }
  }
  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  return snap;
}

Result<std::optional<Store::Row>> Store::loadRecord(RecordId id) {
  static const std::string* const sql = rowsQuery(" WHERE id=?");
  auto st = prepared(sql->c_str());
  if (!st->ok()) return failure("load");
  st->bind(1, id);
  int rc = st->step();
  if (rc == SQLITE_ROW) return std::optional<Row>(rowOf(*st));
  if (rc == SQLITE_DONE) return std::optional<Row>();
  return failure("load");
}

Result<std::vector<Store::Row>> Store::loadSources() {
  static const std::string* const sql = rowsQuery(" WHERE type=2 ORDER BY id");
  auto st = prepared(sql->c_str());
  if (!st->ok()) return failure("load sources");
  std::vector<Row> rows;
  int rc;
  while ((rc = st->step()) == SQLITE_ROW) rows.push_back(rowOf(*st));
  if (rc != SQLITE_DONE) return failure("load sources");
  return rows;
}

Result<std::vector<RecordId>> Store::members(RecordId group) {
  auto st = prepared("SELECT person_id FROM GroupMember WHERE group_id=? ORDER BY seq");
  if (!st->ok()) return failure("load members");
  st->bind(1, group);
  std::vector<RecordId> people;
  int rc;
  while ((rc = st->step()) == SQLITE_ROW) people.push_back(static_cast<RecordId>(st->integer(0)));
  if (rc != SQLITE_DONE) return failure("load members");
  return people;
}

Result<std::optional<Bytes>> Store::loadImage(RecordId id) {
  auto st = prepared("SELECT image FROM Record WHERE id=?");
  if (!st->ok()) return failure("load image");
  st->bind(1, id);
  int rc = st->step();
  if (rc == SQLITE_ROW) {
    if (st->isNull(0)) return std::optional<Bytes>();
    return std::optional<Bytes>(st->blob(0));
  }
  if (rc == SQLITE_DONE) return std::optional<Bytes>();
  return failure("load image");
}

void Store::beginRead() {
  if (reading_) return;
  auto st = prepared("BEGIN");
  reading_ = st->ok() && st->step() == SQLITE_DONE;
}

void Store::endRead() {
  if (!reading_) return;
  reading_ = false;
  if (sqlite3_get_autocommit(db_)) return;
  auto st = prepared("COMMIT");
  if (!st->ok() || st->step() != SQLITE_DONE) rollback();
}

Status Store::begin() {
  endRead();
  ownWrite_ = ExternalChanges::beginOwnWrite(key_);
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Error e = failure("begin");
    ownWrite_.reset();
    return e;
  }
  return Status::success();
}

Status Store::commit() {
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Error e = failure("commit");
    rollback();
    return e;
  }
  if (ownWrite_) ownWrite_->committed();
  ownWrite_.reset();
  return Status::success();
}

void Store::rollback() {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  ownWrite_.reset();
}

Result<RecordId> Store::insertRecord(RecordType type, RecordId source, const Json& data,
                                     const std::optional<Bytes>& image) {
  auto st = prepared("INSERT INTO Record(type, source, data, image) VALUES (?, ?, ?, ?)");
  if (!st->ok()) return failure("insert");
  st->bind(1, static_cast<std::int64_t>(type)).bind(2, source).bind(3, toText(data)).bindBlob(4, image);
  if (st->step() != SQLITE_DONE) return failure("insert");
  std::int64_t id = sqlite3_last_insert_rowid(db_);
  if (type == RecordType::Source) {
    // A source is its own source.
    Statement self(db_, "UPDATE Record SET source=id WHERE id=?");
    if (!self.ok() || self.bind(1, id).step() != SQLITE_DONE) return failure("insert");
  }
  return static_cast<RecordId>(id);
}

Result<std::optional<Json>> Store::recordData(RecordId id) {
  auto st = prepared("SELECT data FROM Record WHERE id=?");
  if (!st->ok()) return failure("read");
  st->bind(1, id);
  int rc = st->step();
  if (rc == SQLITE_DONE) return std::optional<Json>();
  if (rc != SQLITE_ROW) return failure("read");
  return std::optional<Json>(objectFromText(st->textView(0)));
}

Status Store::updateData(RecordId id, const Json& data) {
  auto st = prepared("UPDATE Record SET data=? WHERE id=?");
  if (!st->ok() || st->bind(1, toText(data)).bind(2, id).step() != SQLITE_DONE) return failure("update");
  return Status::success();
}

Status Store::updateImage(RecordId id, const std::optional<Bytes>& image) {
  auto st = prepared("UPDATE Record SET image=? WHERE id=?");
  if (!st->ok()) return failure("update image");
  st->bindBlob(1, image).bind(2, id);
  if (st->step() != SQLITE_DONE) return failure("update image");
  return Status::success();
}

Status Store::deleteRecord(RecordId id) {
  const char* statements[] = {
      // Records of a source go with it (the source row itself is matched by id).
      ("DELETE FROM GroupMember WHERE group_id IN (SELECT id FROM Record WHERE source=?1 AND id<>?1)"
       " OR person_id IN (SELECT id FROM Record WHERE source=?1 AND id<>?1)"),
      "DELETE FROM Record WHERE source=?1 AND id<>?1 AND type<>2",
      "DELETE FROM GroupMember WHERE group_id=?1 OR person_id=?1",
      "DELETE FROM Record WHERE id=?1",
  };
  for (const char* sql : statements) {
    Statement st(db_, sql);
    if (!st.ok() || st.bind(1, id).step() != SQLITE_DONE) return failure("delete");
  }
  return Status::success();
}

Status Store::addMember(RecordId group, RecordId person) {
  // Only when both rows still exist (another handle may have removed one).
  Statement st(db_,
               "INSERT OR IGNORE INTO GroupMember(group_id, person_id) SELECT ?1, ?2"
               " WHERE EXISTS(SELECT 1 FROM Record WHERE id=?1 AND type=1)"
               " AND EXISTS(SELECT 1 FROM Record WHERE id=?2 AND type=0)");
  if (!st.ok() || st.bind(1, group).bind(2, person).step() != SQLITE_DONE) return failure("add member");
  return Status::success();
}

Status Store::removeMember(RecordId group, RecordId person) {
  auto st = prepared("DELETE FROM GroupMember WHERE group_id=? AND person_id=?");
  if (!st->ok() || st->bind(1, group).bind(2, person).step() != SQLITE_DONE) return failure("remove member");
  return Status::success();
}

Status Store::link(RecordId a, RecordId b) {
  // A link set is the people sharing one tag; tags come from a counter in
  // Meta, so an unlinked person never shares a tag by accident.
  auto tagOf = [&](RecordId id) -> Result<std::optional<std::int64_t>> {
    Statement st(db_, "SELECT link FROM Record WHERE id=? AND type=0");
    if (!st.ok()) return failure("link");
    st.bind(1, id);
    int rc = st.step();
    if (rc == SQLITE_DONE) return std::optional<std::int64_t>(-1);  // person gone
    if (rc != SQLITE_ROW) return failure("link");
    return st.isNull(0) ? std::optional<std::int64_t>() : std::optional<std::int64_t>(st.integer(0));
  };
  auto ta = tagOf(a);
  if (!ta) return ta.error();
  auto tb = tagOf(b);
  if (!tb) return tb.error();
  if ((*ta && **ta < 0) || (*tb && **tb < 0)) return Status::success();
  if (*ta && *tb) {
    if (**ta == **tb) return Status::success();
    Statement st(db_, "UPDATE Record SET link=? WHERE link=?");
    if (!st.ok() || st.bind(1, **ta).bind(2, **tb).step() != SQLITE_DONE) return failure("link");
    return Status::success();
  }
  std::int64_t tag;
  if (*ta) {
    tag = **ta;
  } else if (*tb) {
    tag = **tb;
  } else {
    auto next = meta("nextLinkTag");
    if (!next) return next.error();
    tag = *next ? std::strtoll((*next)->c_str(), nullptr, 10) : 1;
    if (tag < 1) tag = 1;
    Statement st(db_, "INSERT OR REPLACE INTO Meta(key, value) VALUES ('nextLinkTag', ?)");
    if (!st.ok() || st.bind(1, std::to_string(tag + 1)).step() != SQLITE_DONE) return failure("link");
  }
  Statement st(db_, "UPDATE Record SET link=?1 WHERE id IN (?2, ?3)");
  if (!st.ok() || st.bind(1, tag).bind(2, a).bind(3, b).step() != SQLITE_DONE) return failure("link");
  return Status::success();
}

Status Store::unlink(RecordId person) {
  Statement st(db_, "UPDATE Record SET link=NULL WHERE id=?");
  if (!st.ok() || st.bind(1, person).step() != SQLITE_DONE) return failure("unlink");
  return Status::success();
}

}  // namespace platform::addressbook::detail
