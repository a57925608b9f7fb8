// The contacts whose add went to the cloud before their row was written: one
// row each in PendingContactAdd (record id, the content sent), made when
// first needed. A reply lost for good leaves the record the add made in the
// cloud without a row here; the next sync finds it by that content.
#include <sqlite3.h>

#include <fmt/format.h>

#include "cloud/model/LMManagedRecordContext.h"

namespace lumora {
namespace {

using Statement = LMManagedRecordContextDatabase::Statement;

bool createPendingTable(sqlite3* db) {
  return Statement(db, fmt::format("create table if not exists {} (recordID integer primary key, content text)",
                                   kLMPendingContactAddTable))
      .execute();
}

}  // namespace

platform::Status LMManagedRecordContext::recordPendingContactAdds(const std::map<std::int32_t, std::string>& contents) {
  if (contents.empty()) return platform::Status::success();
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return LMManagedRecordContextDatabase::error("The record store cannot be opened.");
  return writePendingContactAdds(*database, contents);
}

platform::Status LMManagedRecordContext::writePendingContactAdds(LMManagedRecordContextDatabase& database,
                                                                 const std::map<std::int32_t, std::string>& contents) {
  if (contents.empty()) return platform::Status::success();
  static const auto& sql = *new std::string(
      fmt::format("insert or replace into {} (recordID, content) values (?, ?)", kLMPendingContactAddTable));
  return database.inBatch([&]() -> platform::Status {
    bool done = true;
    database.inDatabase([&](sqlite3* db) {
      done = createPendingTable(db);
      for (auto it = contents.begin(); done && it != contents.end(); ++it) {
        done = Statement(database, sql).bind(1, std::optional<std::int32_t>(it->first)).bind(2, it->second).execute();
      }
    });
    if (done) return platform::Status::success();
    return LMManagedRecordContextDatabase::error("The contacts in flight cannot be recorded.");
  });
}

std::map<std::int32_t, std::string> LMManagedRecordContext::salvagePendingContactAdds(sqlite3* db) {
  std::map<std::int32_t, std::string> contents;
  if (db == nullptr) return contents;
  Statement statement(db, fmt::format("select recordID, content from {}", kLMPendingContactAddTable));
  while (statement.next()) {
    auto recordID = statement.int32Column(0);
    auto content = statement.stringColumn(1);
    if (recordID && content) contents.emplace(*recordID, std::move(*content));
  }
  return contents;
}

platform::Result<std::map<std::int32_t, std::string>> LMManagedRecordContext::pendingContactAdds() {
  std::map<std::int32_t, std::string> contents;
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return LMManagedRecordContextDatabase::error("The record store cannot be opened.");
  bool failed = false;
  database->inDatabase([&](sqlite3* db) {
    if (!createPendingTable(db)) {
      failed = true;
      return;
    }
    Statement statement(db, fmt::format("select recordID, content from {}", kLMPendingContactAddTable));
    while (statement.next()) {
      auto recordID = statement.int32Column(0);
      auto content = statement.stringColumn(1);
      if (recordID && content) contents.emplace(*recordID, std::move(*content));
    }
    failed = statement.failed() || !statement.prepared();
  });
  if (failed) return LMManagedRecordContextDatabase::error("The contacts in flight cannot be read.");
  return contents;
}

platform::Result<std::map<std::int32_t, LMContact>> LMManagedRecordContext::pendingContactAddRecords() {
  auto texts = pendingContactAdds();
  if (!texts) return texts.error();
  std::map<std::int32_t, LMContact> sent;
  for (const auto& [recordID, text] : *texts) {
    const platform::Json content = platform::Json::parse(text, nullptr, false);
    if (!content.is_object()) continue;
    if (std::optional<LMContact> contact = LMContact::initWithLumoraJSON(content)) {
      sent.emplace(recordID, std::move(*contact));
    }
  }
  return sent;
}

bool LMManagedRecordContext::clearPendingContactAdds() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return false;
  bool done = false;
  database->inDatabase([&](sqlite3* db) {
    done = createPendingTable(db) &&
           Statement(db, fmt::format("delete from {}", kLMPendingContactAddTable)).execute();
  });
  return done;
}

}  // namespace lumora
