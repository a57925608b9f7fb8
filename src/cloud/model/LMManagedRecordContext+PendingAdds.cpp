// The contacts whose add went to the cloud before their row was written: one
// row each in PendingContactAdd (record id, the content sent, the add's
// mark, the mark of the address book it was made in), made when first
// needed. A reply lost for good leaves the record the add made in the cloud
// without a row here; the next sync sends the add again, and the cloud
// answers with that record. Rows of a store from before adds had marks, or
// kept their book, have none (the columns are added in place).
#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "cloud/model/LMManagedRecordContext.h"
#include "platform/storage/Sqlite.h"

namespace lumora {
namespace {

using Statement = LMManagedRecordContextDatabase::Statement;

// The columns that came after the first form of the table.
constexpr const char* kLaterColumns[] = {"mark", "book"};

bool hasColumn(sqlite3* db, const char* column) {
  return platform::sqlite::Statement(db, fmt::format("select {} from {} limit 0", column, kLMPendingContactAddTable))
      .ok();
}

bool createPendingTable(sqlite3* db) {
  if (!Statement(db, fmt::format("create table if not exists {} (recordID integer primary key, content text, "
                                 "mark text, book text)",
                                 kLMPendingContactAddTable))
           .execute()) {
    return false;
  }
  for (const char* column : kLaterColumns) {
    if (hasColumn(db, column)) continue;
    if (!Statement(db, fmt::format("alter table {} add column {} text", kLMPendingContactAddTable, column)).execute()) {
      return false;
    }
  }
  return true;
}

}  // namespace

platform::Status LMManagedRecordContext::recordPendingContactAdds(const LMPendingContactAdds& adds) {
  if (adds.empty()) return platform::Status::success();
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return LMManagedRecordContextDatabase::error("The record store cannot be opened.");
  return writePendingContactAdds(*database, adds);
}

platform::Status LMManagedRecordContext::writePendingContactAdds(LMManagedRecordContextDatabase& database,
                                                                 const LMPendingContactAdds& contents) {
  if (contents.empty()) return platform::Status::success();
  static const auto& sql = *new std::string(
      fmt::format("insert or replace into {} (recordID, content, mark, book) values (?, ?, ?, ?)",
                  kLMPendingContactAddTable));
  return database.inBatch([&]() -> platform::Status {
    bool done = true;
    database.inDatabase([&](sqlite3* db) {
      done = createPendingTable(db);
      for (auto it = contents.begin(); done && it != contents.end(); ++it) {
        done = Statement(database, sql)
                   .bind(1, std::optional<std::int32_t>(it->first))
                   .bind(2, std::optional<std::string>(it->second.content))
                   .bind(3, it->second.mark)
                   .bind(4, it->second.book)
                   .execute();
      }
    });
    if (done) return platform::Status::success();
    return LMManagedRecordContextDatabase::error("The contacts in flight cannot be recorded.");
  });
}

LMPendingContactAdds LMManagedRecordContext::salvagePendingContactAdds(sqlite3* db) {
  LMPendingContactAdds contents;
  // A store from before adds had marks, or kept their book, lacks that
  // column.
  const auto column = [db](const char* name) { return db != nullptr && hasColumn(db, name) ? name : "null"; };
  const std::string sql = fmt::format("select recordID, content, {}, {} from {} where recordID > ? order by recordID",
                                      column("mark"), column("book"), kLMPendingContactAddTable);
  if (db == nullptr || !platform::sqlite::Statement(db, sql).ok()) return contents;
  // Reads the rows after `after` until the end (true) or a page that cannot
  // be read (false); `after` follows the rows read. Quiet: a damaged page
  // is what is looked for here.
  const auto readAfter = [&](std::int64_t& after, bool keep) {
    platform::sqlite::Statement statement(db, sql);
    if (!statement.ok()) return false;
    statement.bind(1, after);
    int rc = SQLITE_ROW;
    while ((rc = statement.step()) == SQLITE_ROW) {
      if (!keep) return true;
      const std::int64_t recordID = statement.integer(0);
      after = recordID;
      if (statement.isNull(1) || recordID < std::numeric_limits<std::int32_t>::min() ||
          recordID > std::numeric_limits<std::int32_t>::max()) {
        continue;
      }
      LMPendingContactAdd add{statement.text(1), std::nullopt, std::nullopt};
      if (!statement.isNull(2)) add.mark = statement.text(2);
      if (!statement.isNull(3)) add.book = statement.text(3);
      contents.emplace(static_cast<std::int32_t>(recordID), std::move(add));
    }
    return rc == SQLITE_DONE;
  };
  const auto readableAfter = [&](std::int64_t after) { return readAfter(after, false); };

  constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max();
  std::int64_t after = std::numeric_limits<std::int64_t>::min();
  while (!readAfter(after, true)) {
    // The rows past `after` start on a page that cannot be read: find the
    // first id from which they can, doubling the step, then halving the
    // gap, and go on from there. The rows of the bad page are lost; every
    // other row is read.
    // Distances between ids are unsigned: they span the whole id range
    // when the first page of all is the bad one.
    const auto distance = [](std::int64_t from, std::int64_t to) {
      return static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
    };
    const auto ahead = [](std::int64_t from, std::uint64_t by) {
      return static_cast<std::int64_t>(static_cast<std::uint64_t>(from) + by);
    };
    std::int64_t failing = after;
    std::int64_t readable = kLast;
    for (std::uint64_t step = 1;; step *= 2) {
      const std::int64_t probe = step >= distance(failing, kLast) ? kLast : ahead(failing, step);
      if (readableAfter(probe)) {
        readable = probe;
        break;
      }
      failing = probe;
      if (probe == kLast) break;
    }
    if (failing == kLast) break;
    while (distance(failing, readable) > 1) {
      const std::int64_t middle = ahead(failing, distance(failing, readable) / 2);
      (readableAfter(middle) ? readable : failing) = middle;
    }
    after = readable;
  }
  return contents;
}

platform::Result<LMPendingContactAdds> LMManagedRecordContext::pendingContactAdds() {
  LMPendingContactAdds adds;
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return LMManagedRecordContextDatabase::error("The record store cannot be opened.");
  bool failed = false;
  database->inDatabase([&](sqlite3* db) {
    if (!createPendingTable(db)) {
      failed = true;
      return;
    }
    Statement statement(db, fmt::format("select recordID, content, mark, book from {}", kLMPendingContactAddTable));
    while (statement.next()) {
      auto recordID = statement.int32Column(0);
      auto content = statement.stringColumn(1);
      if (recordID && content) {
        adds.emplace(*recordID,
                     LMPendingContactAdd{std::move(*content), statement.stringColumn(2), statement.stringColumn(3)});
      }
    }
    failed = statement.failed() || !statement.prepared();
  });
  if (failed) return LMManagedRecordContextDatabase::error("The contacts in flight cannot be read.");
  return adds;
}

platform::Status LMManagedRecordContext::giveBooklessPendingContactAddsTheBook(const std::string& book) {
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return LMManagedRecordContextDatabase::error("The record store cannot be opened.");
  bool done = false;
  database->inDatabase([&](sqlite3* db) {
    done = createPendingTable(db) &&
           Statement(db, fmt::format("update {} set book = ? where book is null", kLMPendingContactAddTable))
               .bind(1, std::optional<std::string>(book))
               .execute();
  });
  if (done) return platform::Status::success();
  return LMManagedRecordContextDatabase::error("The contacts in flight cannot be recorded.");
}

bool LMManagedRecordContext::clearPendingContactAdds() {
  LMManagedRecordContextDatabase* database = databaseQueue();
  if (database == nullptr) return false;
  bool done = false;
  database->inDatabase([&](sqlite3* db) {
    done = createPendingTable(db) &&
           Statement(db, fmt::format("delete from {}", kLMPendingContactAddTable)).execute();
  });
  if (done) setAddsInFlightMayBeLost(false);
  return done;
}

}  // namespace lumora
