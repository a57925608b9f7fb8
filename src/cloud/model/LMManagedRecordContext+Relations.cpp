// The relation rows: queries, inserts, updates and deletes on SyncGroup and
// SyncContact. Every value goes into the SQL as a bound parameter; only the
// fixed table and column names are part of the statement text. Statements are
// prepared once per connection, and rows are read by column position (the
// order of the tables' columns is fixed).
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "cloud/model/LMManagedRecordContext.h"

namespace lumora {
namespace {

using Statement = LMManagedRecordContextDatabase::Statement;

// Column names, shared by both tables where they agree.
constexpr const char* kRecordID = "recordID";
constexpr const char* kLocalName = "localName";
constexpr const char* kLocalRecordSync = "localRecordSync";
constexpr const char* kLocalServerSync = "localServerSync";
constexpr const char* kLocalJson = "localJson";
constexpr const char* kRelationServerID = "serverID";
constexpr const char* kRelationServerSync = "serverSync";
constexpr const char* kServerName = "serverName";
constexpr const char* kServerPhoto = "serverPhoto";
constexpr const char* kServerThumbnail = "serverThumbnail";
constexpr const char* kServerDigest = "serverDigest";
constexpr const char* kServerJson = "serverJson";
constexpr const char* kServerPhotoFail = "serverPhotoFail";
constexpr const char* kServerStatus = "serverStatus";

template <class Row>
constexpr const char* tableOf() {
  if constexpr (std::is_same_v<Row, LMGroupRelation>) {
    return kLMSyncGroupTable;
  } else {
    return kLMSyncContactTable;
  }
}

// Column positions of the two tables, in their fixed order.
enum GroupColumn { kGroupRecordID, kGroupLocalName, kGroupLocalServerSync, kGroupLocalJson,
                   kGroupServerID, kGroupServerSync, kGroupServerName, kGroupServerStatus };
enum ContactColumn { kContactRecordID, kContactLocalRecordSync, kContactLocalServerSync,
                     kContactLocalJson, kContactServerID, kContactServerSync, kContactServerPhoto,
                     kContactServerThumbnail, kContactServerDigest, kContactServerJson,
                     kContactServerPhotoFail, kContactServerStatus };

template <class Row>
Row rowFrom(const Statement& result) {
  if constexpr (std::is_same_v<Row, LMGroupRelation>) {
    return LMManagedRecordContext::createGroupRelationWithResult(result);
  } else {
    return LMManagedRecordContext::createContactRelationWithResult(result);
  }
}

// Fills the defaults a contact row needs before it is written.
void fillContactDefaults(LMContactRelation& relation) {
  if (!relation.localRecordSync()) relation.setLocalRecordSync(0.0);
  if (!relation.isPhotoFail()) relation.setIsPhotoFail(false);
}

}  // namespace

// ---- Reading rows ----

LMGroupRelation LMManagedRecordContext::createGroupRelationWithResult(const Statement& result) {
  LMGroupRelation relation;
  relation.setRecordID(result.int32Column(kGroupRecordID));
  relation.setLocalName(result.stringColumn(kGroupLocalName));
  relation.setLocalServerSync(result.int64Column(kGroupLocalServerSync));
  relation.setLocalJsonString(result.stringColumn(kGroupLocalJson));
  relation.setServerID(result.int64Column(kGroupServerID));
  relation.setServerSync(result.int64Column(kGroupServerSync));
  relation.setServerName(result.stringColumn(kGroupServerName));
  relation.setServerStatus(result.stringColumn(kGroupServerStatus));
  return relation;
}

LMContactRelation LMManagedRecordContext::createContactRelationWithResult(const Statement& result) {
  LMContactRelation relation;
  relation.setRecordID(result.int32Column(kContactRecordID));
  relation.setLocalRecordSync(result.doubleColumn(kContactLocalRecordSync));
  relation.setLocalServerSync(result.int64Column(kContactLocalServerSync));
  relation.setLocalJsonString(result.stringColumn(kContactLocalJson));
  relation.setServerID(result.int64Column(kContactServerID));
  relation.setServerSync(result.int64Column(kContactServerSync));
  relation.setPhotoId(result.stringColumn(kContactServerPhoto));
  relation.setThumbnailId(result.stringColumn(kContactServerThumbnail));
  relation.setJsonString(result.stringColumn(kContactServerJson));
  relation.setDigest(result.stringColumn(kContactServerDigest));
  relation.setIsPhotoFail(result.boolColumn(kContactServerPhotoFail));
  relation.setServerStatus(result.stringColumn(kContactServerStatus));
  return relation;
}

// ---- Queries ----

namespace {

// Runs a query with up to one bound value and collects its rows; a query
// that cannot run is an error, never "no rows".
template <class Row, class Value>
platform::Result<std::vector<Row>> collect(LMManagedRecordContextDatabase* database,
                                           const std::string& sql,
                                           const std::optional<Value>& argument,
                                           std::size_t limit = SIZE_MAX) {
  if (database == nullptr) {
    return LMManagedRecordContextDatabase::error(fmt::format("Cannot open the store for {}", sql));
  }
  std::vector<Row> rows;
  std::optional<platform::Error> failure;
  database->inDatabase([&](sqlite3* db) {
    Statement statement(*database, sql);
    if (argument) statement.bind(1, argument);
    while (rows.size() < limit && statement.next()) rows.push_back(rowFrom<Row>(statement));
    if (statement.failed()) {
      failure = LMManagedRecordContextDatabase::error(fmt::format("{} [{}]", sqlite3_errmsg(db), sql));
    }
  });
  if (failure) return *failure;
  return rows;
}

template <class Row>
const std::string& selectAll() {
  static const auto& sql = *new std::string(fmt::format("select * from {}", tableOf<Row>()));
  return sql;
}

// The statement text for one table, column and operator, made once.
template <class Row>
const std::string& selectWhere(const char* column, const char* op = "=") {
  static std::mutex mutex;
  static auto& texts = *new std::map<std::pair<std::string, std::string>, std::string>();
  std::lock_guard<std::mutex> lock(mutex);
  auto [it, added] = texts.try_emplace({column, op});
  if (added) it->second = fmt::format("select * from {} where {}{}?", tableOf<Row>(), column, op);
  return it->second;
}

template <class Row, class Value>
platform::Result<std::optional<Row>> first(LMManagedRecordContextDatabase* database, const char* column,
                                           const std::optional<Value>& value) {
  if (!value) return std::optional<Row>();
  auto rows = collect<Row>(database, selectWhere<Row>(column), value, 1);
  if (!rows.ok()) return rows.error();
  if (rows->empty()) return std::optional<Row>();
  return std::optional<Row>(std::move(rows->front()));
}

constexpr std::optional<std::string> kNoArgument = std::nullopt;

}  // namespace

platform::Result<std::vector<LMGroupRelation>> LMManagedRecordContext::searchAllGroupRelations() {
  return collect<LMGroupRelation>(databaseQueue(), selectAll<LMGroupRelation>(), kNoArgument);
}

platform::Result<std::vector<LMGroupRelation>> LMManagedRecordContext::searchAllUnsyncGroupRelations() {
  return collect<LMGroupRelation>(databaseQueue(), selectWhere<LMGroupRelation>(kServerStatus, "<>"),
                                  std::optional<std::string>(kLMRelationStatusDefault));
}

platform::Result<std::vector<LMContactRelation>> LMManagedRecordContext::searchAllContactRelations() {
  return collect<LMContactRelation>(databaseQueue(), selectAll<LMContactRelation>(), kNoArgument);
}

platform::Result<std::vector<LMContactRelation>> LMManagedRecordContext::searchAllUnsyncContactRelations() {
  return collect<LMContactRelation>(databaseQueue(),
                                    selectWhere<LMContactRelation>(kServerStatus, "<>"),
                                    std::optional<std::string>(kLMRelationStatusDefault));
}

platform::Result<std::map<std::int32_t, LMContactRelation>>
LMManagedRecordContext::searchAllPhotoFailRelations() {
  auto rows = collect<LMContactRelation>(databaseQueue(), selectWhere<LMContactRelation>(kServerPhotoFail),
                                         std::optional<bool>(true));
  if (!rows.ok()) return rows.error();
  std::map<std::int32_t, LMContactRelation> byRecord;
  for (auto& relation : *rows) {
    if (relation.recordID()) byRecord.insert_or_assign(*relation.recordID(), std::move(relation));
  }
  return byRecord;
}

platform::Result<std::optional<LMGroupRelation>> LMManagedRecordContext::searchGroupRelationByRecordID(
    std::optional<std::int32_t> recordID) {
  return first<LMGroupRelation>(databaseQueue(), kRecordID, recordID);
}

platform::Result<std::optional<LMContactRelation>> LMManagedRecordContext::searchContactRelationByRecordID(
    std::optional<std::int32_t> recordID) {
  return first<LMContactRelation>(databaseQueue(), kRecordID, recordID);
}

platform::Result<std::optional<LMGroupRelation>> LMManagedRecordContext::searchGroupRelationByServerID(
    std::optional<std::int64_t> serverID) {
  return first<LMGroupRelation>(databaseQueue(), kRelationServerID, serverID);
}

platform::Result<std::optional<LMContactRelation>> LMManagedRecordContext::searchContactRelationByServerID(
    std::optional<std::int64_t> serverID) {
  return first<LMContactRelation>(databaseQueue(), kRelationServerID, serverID);
}

std::int64_t LMManagedRecordContext::serverContactNum() {
  std::int64_t count = 0;
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return count;
  static const auto& sql = *new std::string(
      fmt::format("select count(*) from {} where {}<>?", kLMSyncContactTable, kServerStatus));
  database->inDatabase([&](sqlite3*) {
    Statement statement(*database, sql);
    statement.bind(1, kLMRelationStatusDeleted);
    if (statement.next()) count = statement.int64Column(0).value_or(0);
  });
  return count;
}

// ---- Writes ----

namespace {

// Runs one write statement with `values` bound in order from parameter 1;
// true when it completed.
template <class... Values>
bool write(LMManagedRecordContextDatabase* database, const std::string& sql, const Values&... values) {
  if (database == nullptr) return false;
  bool done = false;
  database->inDatabase([&](sqlite3*) {
    Statement statement(*database, sql);
    int index = 0;
    (statement.bind(++index, values), ...);
    done = statement.execute();
  });
  return done;
}

}  // namespace

bool LMManagedRecordContext::addGroupRelation(const LMGroupRelation& relation) {
  if (!relation.serverID() || !relation.serverSync()) return false;
  static const auto& sql = *new std::string(
      fmt::format("insert into {} values (?, ?, ?, ?, ?, ?, ?, ?)", kLMSyncGroupTable));
  return write(databaseQueue(), sql, relation.recordID(), relation.localName(),
               relation.localServerSync(), relation.localJsonString(), relation.serverID(),
               relation.serverSync(), relation.serverName(), relation.serverStatus());
}

bool LMManagedRecordContext::addContactRelation(LMContactRelation& relation) {
  if (!relation.serverID() || !relation.serverSync()) return false;
  fillContactDefaults(relation);
  static const auto& sql = *new std::string(fmt::format(
      "insert into {} values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", kLMSyncContactTable));
  // Column order: the photo ids and digest come before the content.
  return write(databaseQueue(), sql, relation.recordID(), relation.localRecordSync(),
               relation.localServerSync(), relation.localJsonString(), relation.serverID(),
               relation.serverSync(), relation.photoId(), relation.thumbnailId(), relation.digest(),
               relation.jsonString(), relation.isPhotoFail(), relation.serverStatus());
}

bool LMManagedRecordContext::updateGroupRelation(const LMGroupRelation& relation) {
  if (!relation.serverID() || !relation.serverSync()) return false;
  static const auto& sql = *new std::string(
      fmt::format("update {} set {}=?, {}=?, {}=?, {}=?, {}=?, {}=?, {}=? where {}=?",
                  kLMSyncGroupTable, kRecordID, kLocalName, kLocalServerSync, kLocalJson,
                  kRelationServerSync, kServerName, kServerStatus, kRelationServerID));
  return write(databaseQueue(), sql, relation.recordID(), relation.localName(),
               relation.localServerSync(), relation.localJsonString(), relation.serverSync(),
               relation.serverName(), relation.serverStatus(), relation.serverID());
}

bool LMManagedRecordContext::updateContactRelation(LMContactRelation& relation) {
  if (!relation.serverID() || !relation.serverSync()) return false;
  fillContactDefaults(relation);
  static const auto& sql = *new std::string(
      fmt::format("update {} set {}=?, {}=?, {}=?, {}=?, {}=?, {}=?, {}=?, {}=?, {}=?, "
                  "{}=?, {}=? where {}=?",
                  kLMSyncContactTable, kRecordID, kLocalRecordSync, kLocalServerSync, kLocalJson,
                  kRelationServerSync, kServerPhoto, kServerThumbnail, kServerJson, kServerDigest,
                  kServerPhotoFail, kServerStatus, kRelationServerID));
  return write(databaseQueue(), sql, relation.recordID(), relation.localRecordSync(),
               relation.localServerSync(), relation.localJsonString(), relation.serverSync(),
               relation.photoId(), relation.thumbnailId(), relation.jsonString(), relation.digest(),
               relation.isPhotoFail(), relation.serverStatus(), relation.serverID());
}

bool LMManagedRecordContext::deleteGroupRelation(const LMGroupRelation& relation) {
  if (!relation.serverID()) return false;
  static const auto& sql = *new std::string(
      fmt::format("delete from {} where {}=?", kLMSyncGroupTable, kRelationServerID));
  return write(databaseQueue(), sql, relation.serverID());
}

bool LMManagedRecordContext::deleteContactRelation(const LMContactRelation& relation) {
  if (!relation.serverID()) return false;
  static const auto& sql = *new std::string(
      fmt::format("delete from {} where {}=?", kLMSyncContactTable, kRelationServerID));
  return write(databaseQueue(), sql, relation.serverID());
}

bool LMManagedRecordContext::deleteAllRelations() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return false;
  bool done = false;
  database->inDatabase([&](sqlite3* db) {
    done = Statement(db, fmt::format("delete from {}", kLMSyncGroupTable)).execute() &&
           Statement(db, fmt::format("delete from {}", kLMSyncContactTable)).execute();
  });
  return done;
}

}  // namespace lumora
