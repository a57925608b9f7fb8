#include "platform/storage/PersistentStoreCoordinator.h"

#include <sqlite3.h>

#include <set>
#include <string>

#include "platform/storage/DamagedStore.h"
#include "platform/storage/Sqlite.h"

namespace platform::objectstore {
namespace {

constexpr int kBusyTimeoutMs = 5000;
// New rows of one entity are written this many to a statement: each
// statement opens the table and every index again.
constexpr std::size_t kInsertBatch = 32;
constexpr const char* kIDColumn = "Z_PK";

Error storeError(int rc, const std::string& what, sqlite3* db = nullptr) {
  std::string text = what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  return Error(kObjectStoreErrorDomain, rc, Json{{Error::kLocalizedDescriptionKey, text}});
}

Error unknownName(const std::string& name) {
  return Error(kObjectStoreErrorDomain, kObjectStoreErrorUnknownName,
               Json{{Error::kLocalizedDescriptionKey, "unknown name " + name}});
}

std::string quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

const char* columnType(AttributeType type) {
  switch (type) {
    case AttributeType::Integer:
      return "INTEGER";
    case AttributeType::Double:
    case AttributeType::Date:
      return "REAL";
    case AttributeType::String:
      break;
  }
  return "TEXT";
}

void bindValue(sqlite::Statement& st, int index, const Value& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    st.bind(index, *integer);
  } else if (const auto* number = std::get_if<double>(&value)) {
    st.bindDouble(index, *number);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    st.bind(index, std::string_view(*text));
  } else {
    st.bindNull(index);
  }
}

Value readValue(const sqlite::Statement& st, int column, AttributeType type) {
  if (st.isNull(column)) return Value();
  switch (type) {
    case AttributeType::Integer:
      return st.integer(column);
    case AttributeType::Double:
    case AttributeType::Date:
      return st.real(column);
    case AttributeType::String:
      break;
  }
  return st.text(column);
}

bool isToOne(const RelationshipDescription& relationship) { return !relationship.toMany; }

// The selected columns of an entity: id, attributes (all or those named),
// to-one links. `attributeColumns[i]` is the attribute's result column or -1.
struct Selection {
  std::string sql;
  std::vector<int> attributeColumns;
  std::vector<int> linkColumns;
};

Selection selectionFor(const EntityDescription& entity, const std::vector<std::string>& properties,
                       bool idsOnly = false) {
  Selection selection;
  selection.sql = std::string("SELECT t.") + kIDColumn;
  int column = 1;
  for (const auto& attribute : entity.attributes) {
    bool wanted = properties.empty() && !idsOnly;
    for (const auto& property : properties) wanted = wanted || property == attribute.name;
    selection.attributeColumns.push_back(wanted ? column++ : -1);
    if (wanted) selection.sql += ", t." + quoted(attribute.name);
  }
  for (const auto& relationship : entity.relationships) {
    const bool wanted = isToOne(relationship) && !idsOnly;
    selection.linkColumns.push_back(wanted ? column++ : -1);
    if (wanted) selection.sql += ", t." + quoted(relationship.name);
  }
  selection.sql += " FROM " + quoted(entity.name) + " AS t";
  return selection;
}

ObjectRow readRow(const sqlite::Statement& st, const EntityDescription& entity, const Selection& selection) {
  ObjectRow row;
  row.id = st.integer(0);
  row.values.resize(entity.attributes.size());
  row.links.resize(entity.relationships.size());
  for (std::size_t i = 0; i < entity.attributes.size(); ++i) {
    if (selection.attributeColumns[i] >= 0) {
      row.values[i] = readValue(st, selection.attributeColumns[i], entity.attributes[i].type);
    }
  }
  for (std::size_t i = 0; i < entity.relationships.size(); ++i) {
    const int column = selection.linkColumns[i];
    if (column >= 0 && !st.isNull(column)) row.links[i] = st.integer(column);
  }
  return row;
}

}  // namespace

struct PersistentStoreCoordinator::Connection {
  sqlite3* db = nullptr;
  std::mutex mutex;
  ~Connection() { sqlite3_close_v2(db); }

  static Result<std::unique_ptr<Connection>> open(const std::filesystem::path& file) {
    auto connection = std::make_unique<Connection>();
    if (auto st = connection->reopen(file); !st) return st.error();
    return connection;
  }
  // The caller holds `mutex`.
  void close() {
    sqlite3_close_v2(db);
    db = nullptr;
  }
  // Closes the connection (if open) and opens `file`.
  Status reopen(const std::filesystem::path& file) {
    close();
    const int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return storeError(rc, "cannot open " + file.string());
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return Status();
  }
  // The write-ahead log lets reads run beside a save; NORMAL syncs at
  // checkpoints only, which a cache can afford.
  Status setJournal() { return exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"); }
  Status exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    std::string text = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    if (rc != SQLITE_OK) return Error(kObjectStoreErrorDomain, rc, Json{{Error::kLocalizedDescriptionKey, text}});
    return Status();
  }
};

struct PersistentStoreCoordinator::EntityStatements {
  std::unique_ptr<sqlite::Statement> insert;
  std::unique_ptr<sqlite::Statement> insertBatch;  // kInsertBatch rows
  std::unique_ptr<sqlite::Statement> update;
  std::unique_ptr<sqlite::Statement> remove;
};

Result<std::shared_ptr<PersistentStoreCoordinator>> PersistentStoreCoordinator::open(
    std::shared_ptr<const ObjectModel> model, const std::filesystem::path& file) {
  auto writer = Connection::open(file);
  if (!writer) return writer.error();
  if (auto st = (*writer)->setJournal(); !st) return st.error();
  if (failsQuickCheck((*writer)->db)) return storeError(SQLITE_CORRUPT, "damaged " + file.string());
  auto reader = Connection::open(file);
  if (!reader) return reader.error();
  std::shared_ptr<PersistentStoreCoordinator> coordinator(
      new PersistentStoreCoordinator(std::move(model), file, std::move(*reader), std::move(*writer)));
  if (auto st = coordinator->migrate(); !st) return st.error();
  return coordinator;
}

PersistentStoreCoordinator::PersistentStoreCoordinator(std::shared_ptr<const ObjectModel> model,
                                                       std::filesystem::path file,
                                                       std::unique_ptr<Connection> reader,
                                                       std::unique_ptr<Connection> writer)
    : model_(std::move(model)), file_(std::move(file)), reader_(std::move(reader)), writer_(std::move(writer)) {}

PersistentStoreCoordinator::~PersistentStoreCoordinator() {
  statements_.clear();  // before the connections close
}

Status PersistentStoreCoordinator::migrate() {
  std::lock_guard lock(writer_->mutex);
  return migrateLocked();
}

Status PersistentStoreCoordinator::migrateLocked() {
  if (auto st = writer_->exec("BEGIN IMMEDIATE"); !st) return st;
  auto fail = [&](Error error) {
    (void)writer_->exec("ROLLBACK");
    return Status(std::move(error));
  };
  {
    // A file with none of the model's tables is a store made just now.
    sqlite::Statement tables(writer_->db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    const int rc = tables.step();
    if (rc != SQLITE_ROW) return fail(storeError(rc, "cannot read the tables", writer_->db));
    isNew_ = tables.integer(0) == 0;
  }
  std::int64_t largestID = 0;
  for (const auto& entity : model_->entities()) {
    const std::string table = quoted(entity.name);
    if (auto st = writer_->exec("CREATE TABLE IF NOT EXISTS " + table + " (" + kIDColumn + " INTEGER PRIMARY KEY)");
        !st) {
      return fail(st.error());
    }
    std::set<std::string> columns;
    {
      sqlite::Statement info(writer_->db, "PRAGMA table_info(" + table + ")");
      int rc;
      while ((rc = info.step()) == SQLITE_ROW) columns.insert(info.text(1));
      if (rc != SQLITE_DONE) return fail(storeError(rc, "cannot read " + entity.name, writer_->db));
    }
    auto addColumn = [&](const std::string& name, const char* type) -> Status {
      if (columns.count(name)) return Status();
      return writer_->exec("ALTER TABLE " + table + " ADD COLUMN " + quoted(name) + " " + type);
    };
    auto addIndex = [&](const std::string& name) {
      return writer_->exec("CREATE INDEX IF NOT EXISTS " + quoted(entity.name + "_" + name) + " ON " + table +
                           " (" + quoted(name) + ")");
    };
    for (const auto& attribute : entity.attributes) {
      if (auto st = addColumn(attribute.name, columnType(attribute.type)); !st) return fail(st.error());
      if (attribute.indexed) {
        if (auto st = addIndex(attribute.name); !st) return fail(st.error());
      }
    }
    for (const auto& relationship : entity.relationships) {
      if (!isToOne(relationship)) continue;
      if (auto st = addColumn(relationship.name, "INTEGER"); !st) return fail(st.error());
      if (auto st = addIndex(relationship.name); !st) return fail(st.error());
    }
    sqlite::Statement largest(writer_->db, std::string("SELECT MAX(") + kIDColumn + ") FROM " + table);
    if (largest.step() == SQLITE_ROW && !largest.isNull(0)) largestID = std::max(largestID, largest.integer(0));
  }
  if (auto st = writer_->exec("COMMIT"); !st) return fail(st.error());
  // Never below ids handed out before: a store made anew keeps them unused.
  if (nextID_ < largestID + 1) nextID_ = largestID + 1;
  return Status();
}

void PersistentStoreCoordinator::afterFailure(const Error& error, std::uint64_t generation) {
  if (error.domain() != kObjectStoreErrorDomain || !isDamageCode(static_cast<int>(error.code()))) return;
  {
    std::scoped_lock lock(writer_->mutex, reader_->mutex);
    // Another read or save met the damage first and made the store anew.
    if (generation_ != generation) return;
    ++generation_;
    statements_.clear();  // before the writer closes
    reader_->close();
    writer_->close();
    // A file that stays where it is is opened again, and the next failure
    // tries again.
    (void)moveDamagedStoreAside(file_);
    Status opened = writer_->reopen(file_);
    if (opened) opened = writer_->setJournal();
    if (opened) opened = reader_->reopen(file_);
    if (opened) opened = migrateLocked();
    if (!opened) return;
    isNew_ = true;
  }
  if (remade_) remade_();
}

Result<std::vector<ObjectRow>> PersistentStoreCoordinator::fetch(const FetchRequest& request) {
  return fetchRows(request);
}

Result<std::vector<std::int64_t>> PersistentStoreCoordinator::fetchIDs(const FetchRequest& request) {
  std::vector<std::int64_t> ids;
  if (auto read = fetchRows(request, &ids); !read) return read.error();
  return ids;
}

Result<std::vector<ObjectRow>> PersistentStoreCoordinator::fetchRows(const FetchRequest& request,
                                                                     std::vector<std::int64_t>* ids) {
  const EntityDescription* entity = model_->entity(request.entityName);
  if (!entity) return unknownName(request.entityName);
  Selection selection = selectionFor(*entity, request.propertiesToFetch, ids != nullptr);
  std::string sql = selection.sql;
  std::vector<const Value*> arguments;
  const char* joiner = " WHERE ";
  for (const auto& equality : request.predicate.all) {
    const auto dot = equality.keyPath.find('.');
    const std::string head = equality.keyPath.substr(0, dot);
    const std::string condition = isNull(equality.value) ? " IS NULL" : " = ?";
    if (dot == std::string::npos && entity->attributeIndex(head) >= 0) {
      sql += joiner + ("t." + quoted(head)) + condition;
    } else if (int r = entity->relationshipIndex(head); r >= 0 && isToOne(entity->relationships[r])) {
      if (dot == std::string::npos) {
        sql += joiner + ("t." + quoted(head)) + condition;
      } else {
        const auto& relationship = entity->relationships[r];
        const EntityDescription* destination = model_->entity(relationship.destination);
        const std::string key = equality.keyPath.substr(dot + 1);
        if (!destination || destination->attributeIndex(key) < 0) return unknownName(equality.keyPath);
        sql += joiner + ("t." + quoted(head)) + " IN (SELECT " + kIDColumn + " FROM " +
               quoted(destination->name) + " WHERE " + quoted(key) + condition + ")";
      }
    } else {
      return unknownName(equality.keyPath);
    }
    if (!isNull(equality.value)) arguments.push_back(&equality.value);
    joiner = " AND ";
  }
  joiner = " ORDER BY ";
  for (const auto& sort : request.sortDescriptors) {
    if (entity->attributeIndex(sort.key) < 0) return unknownName(sort.key);
    sql += joiner + ("t." + quoted(sort.key)) + (sort.ascending ? " ASC" : " DESC");
    joiner = ", ";
  }
  if (request.fetchLimit > 0) sql += " LIMIT " + std::to_string(request.fetchLimit);

  std::uint64_t generation = 0;
  Result<std::vector<ObjectRow>> result = std::vector<ObjectRow>();
  {
    std::lock_guard lock(reader_->mutex);
    generation = generation_;
    sqlite::Statement st(reader_->db, sql);
    if (!st.ok()) {
      result = storeError(sqlite3_errcode(reader_->db), "cannot fetch " + entity->name, reader_->db);
    } else {
      for (std::size_t i = 0; i < arguments.size(); ++i) bindValue(st, static_cast<int>(i + 1), *arguments[i]);
      int rc;
      while ((rc = st.step()) == SQLITE_ROW) {
        if (ids) {
          ids->push_back(st.integer(0));
        } else {
          result->push_back(readRow(st, *entity, selection));
        }
      }
      if (rc != SQLITE_DONE) result = storeError(rc, "cannot fetch " + entity->name, reader_->db);
    }
  }
  if (!result) afterFailure(result.error(), generation);
  return result;
}

Result<std::optional<ObjectRow>> PersistentStoreCoordinator::row(const EntityDescription& entity, std::int64_t id) {
  Selection selection = selectionFor(entity, {});
  std::uint64_t generation = 0;
  Result<std::optional<ObjectRow>> result = std::optional<ObjectRow>();
  {
    std::lock_guard lock(reader_->mutex);
    generation = generation_;
    sqlite::Statement st(reader_->db, selection.sql + " WHERE t." + kIDColumn + " = ?");
    st.bind(1, id);
    const int rc = st.step();
    if (rc == SQLITE_ROW) {
      result = std::optional<ObjectRow>(readRow(st, entity, selection));
    } else if (rc != SQLITE_DONE) {
      result = storeError(rc, "cannot read " + entity.name, reader_->db);
    }
  }
  if (!result) afterFailure(result.error(), generation);
  return result;
}

PersistentStoreCoordinator::EntityStatements& PersistentStoreCoordinator::statementsFor(
    const EntityDescription& entity) {
  auto& slot = statements_[&entity];
  if (slot) return *slot;
  slot = std::make_unique<EntityStatements>();
  std::string columns = kIDColumn;
  std::string marks = "?";
  std::string assignments;
  auto addColumn = [&](const std::string& name) {
    columns += ", " + quoted(name);
    marks += ", ?";
    assignments += (assignments.empty() ? "" : ", ") + quoted(name) + " = ?";
  };
  for (const auto& attribute : entity.attributes) addColumn(attribute.name);
  for (const auto& relationship : entity.relationships) {
    if (isToOne(relationship)) addColumn(relationship.name);
  }
  const std::string table = quoted(entity.name);
  const std::string insert = "INSERT OR REPLACE INTO " + table + " (" + columns + ") VALUES (" + marks + ")";
  slot->insert = std::make_unique<sqlite::Statement>(writer_->db, insert);
  std::string batch = insert;
  for (std::size_t i = 1; i < kInsertBatch; ++i) batch += ", (" + marks + ")";
  slot->insertBatch = std::make_unique<sqlite::Statement>(writer_->db, batch);
  slot->update = std::make_unique<sqlite::Statement>(
      writer_->db, "UPDATE " + table + " SET " + assignments + " WHERE " + kIDColumn + " = ?");
  slot->remove = std::make_unique<sqlite::Statement>(writer_->db,
                                                     "DELETE FROM " + table + " WHERE " + kIDColumn + " = ?");
  return *slot;
}

namespace {

// Binds a row's columns from `index` on (the id first when `withID`);
// the index after them.
int bindRow(sqlite::Statement& st, int index, const EntityDescription& entity,
            const PersistentStoreCoordinator::RowView& row, bool withID) {
  const std::vector<Value>& values = *row.values;
  const std::vector<std::optional<std::int64_t>>& links = *row.links;
  if (withID) st.bind(index++, row.id);
  for (std::size_t i = 0; i < entity.attributes.size(); ++i) {
    bindValue(st, index++, i < values.size() ? values[i] : Value());
  }
  for (std::size_t i = 0; i < entity.relationships.size(); ++i) {
    if (!isToOne(entity.relationships[i])) continue;
    if (i < links.size() && links[i]) {
      st.bind(index++, *links[i]);
    } else {
      st.bindNull(index++);
    }
  }
  return index;
}

}  // namespace

Status PersistentStoreCoordinator::writeRow(const EntityDescription& entity, const RowView& row, bool insert) {
  auto& statements = statementsFor(entity);
  sqlite::Statement& st = insert ? *statements.insert : *statements.update;
  if (!st.ok()) return storeError(sqlite3_errcode(writer_->db), "cannot write " + entity.name, writer_->db);
  st.reset();
  const int index = bindRow(st, 1, entity, row, insert);
  if (!insert) st.bind(index, row.id);
  const int rc = st.step();
  if (rc != SQLITE_DONE) return storeError(rc, "cannot write " + entity.name, writer_->db);
  return Status();
}

Status PersistentStoreCoordinator::insertRows(const EntityDescription& entity, const RowView* rows, std::size_t count) {
  for (; count >= kInsertBatch; rows += kInsertBatch, count -= kInsertBatch) {
    sqlite::Statement& st = *statementsFor(entity).insertBatch;
    if (!st.ok()) return storeError(sqlite3_errcode(writer_->db), "cannot write " + entity.name, writer_->db);
    st.reset();
    int index = 1;
    for (std::size_t i = 0; i < kInsertBatch; ++i) index = bindRow(st, index, entity, rows[i], true);
    if (int rc = st.step(); rc != SQLITE_DONE) return storeError(rc, "cannot write " + entity.name, writer_->db);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (auto st = writeRow(entity, rows[i], true); !st) return st;
  }
  return Status();
}

Status PersistentStoreCoordinator::deleteRow(const EntityDescription& entity, std::int64_t id) {
  // The rows on the other side of each to-many relationship first.
  for (const auto& relationship : entity.relationships) {
    if (!relationship.toMany) continue;
    const EntityDescription* destination = model_->entity(relationship.destination);
    if (!destination) return unknownName(relationship.destination);
    const std::string table = quoted(destination->name);
    const std::string link = quoted(relationship.inverse);
    if (relationship.deleteRule == DeleteRule::Cascade) {
      std::vector<std::int64_t> ids;
      {
        sqlite::Statement st(writer_->db, std::string("SELECT ") + kIDColumn + " FROM " + table + " WHERE " + link +
                                              " = ?");
        st.bind(1, id);
        while (st.step() == SQLITE_ROW) ids.push_back(st.integer(0));
      }
      for (std::int64_t dependent : ids) {
        if (auto st = deleteRow(*destination, dependent); !st) return st;
      }
    } else {
      sqlite::Statement st(writer_->db, "UPDATE " + table + " SET " + link + " = NULL WHERE " + link + " = ?");
      st.bind(1, id);
      if (int rc = st.step(); rc != SQLITE_DONE) return storeError(rc, "cannot unlink", writer_->db);
    }
  }
  sqlite::Statement& st = *statementsFor(entity).remove;
  st.reset();
  st.bind(1, id);
  if (int rc = st.step(); rc != SQLITE_DONE) return storeError(rc, "cannot delete", writer_->db);
  return Status();
}

Status PersistentStoreCoordinator::save(const Changes& changes) {
  if (changes.empty()) return Status();
  std::uint64_t generation = 0;
  Status result;
  {
    std::lock_guard lock(writer_->mutex);
    generation = generation_;
    result = saveLocked(changes);
  }
  if (!result) afterFailure(result.error(), generation);
  return result;
}

Status PersistentStoreCoordinator::saveLocked(const Changes& changes) {
  if (auto st = writer_->exec("BEGIN IMMEDIATE"); !st) return st;
  Status result;
  // New rows go in runs of one entity.
  std::vector<RowView> run;
  for (std::size_t i = 0; i < changes.inserted.size() && result;) {
    const EntityDescription* entity = changes.inserted[i].first;
    run.clear();
    for (; i < changes.inserted.size() && changes.inserted[i].first == entity; ++i) {
      run.push_back(changes.inserted[i].second);
    }
    result = insertRows(*entity, run.data(), run.size());
  }
  for (const auto& [entity, row] : changes.updated) {
    if (result) result = writeRow(*entity, row, false);
  }
  for (const auto& [entity, id] : changes.deleted) {
    if (result) result = deleteRow(*entity, id);
  }
  if (result) result = writer_->exec("COMMIT");
  if (!result) (void)writer_->exec("ROLLBACK");
  return result;
}

}  // namespace platform::objectstore
