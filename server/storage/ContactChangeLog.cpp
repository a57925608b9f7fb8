#include "server/storage/ContactChangeLog.h"

#include <sqlite3.h>

#include <algorithm>

#include "server/services/Crypto.h"
#include "server/storage/SqlStatement.h"

namespace localcloud {

const char* const ContactLogTally::kTablesSql =
    "CREATE TABLE IF NOT EXISTS contact_logs ("
    " user_id INTEGER PRIMARY KEY,"
    " horizon INTEGER NOT NULL DEFAULT 0,"
    " live INTEGER NOT NULL DEFAULT 0,"
    " deleted INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS contact_records_status"
    " ON contact_records(user_id, status, tag);";

std::optional<ContactLogTally> ContactLogTally::load(SqlConnection& db, std::int64_t userId) {
  // A user's first change counts the records the user has (records made
  // before the log existed included).
  SqlStatement create(db,
                      "INSERT OR IGNORE INTO contact_logs (user_id, live, deleted) VALUES (?1, "
                      "(SELECT COUNT(*) FROM contact_records WHERE user_id = ?1 AND status = ?2), "
                      "(SELECT COUNT(*) FROM contact_records WHERE user_id = ?1 AND status = ?3))");
  if (!create.bindAll(userId, ContactStore::kStatusLive, ContactStore::kStatusDeleted).run()) {
    return std::nullopt;
  }
  SqlStatement st(db, "SELECT horizon, live, deleted FROM contact_logs WHERE user_id = ?");
  st.bind(1, userId);
  if (st.step() != SQLITE_ROW) return std::nullopt;
  ContactLogTally tally;
  tally.userId_ = userId;
  tally.horizon_ = st.integer(0);
  tally.live_ = st.integer(1);
  tally.deleted_ = st.integer(2);
  return tally;
}

std::optional<std::int64_t> ContactLogTally::horizon(SqlConnection& db, std::int64_t userId) {
  SqlStatement st(db, "SELECT horizon FROM contact_logs WHERE user_id = ?");
  st.bind(1, userId);
  int rc = st.step();
  if (rc == SQLITE_ROW) return st.integer(0);
  if (rc == SQLITE_DONE) return 0;
  return std::nullopt;
}

void ContactLogTally::changed(const std::string& from, const std::string& to) {
  auto count = [this](const std::string& status, int delta) {
    if (status == ContactStore::kStatusLive) live_ += delta;
    if (status == ContactStore::kStatusDeleted) deleted_ += delta;
  };
  count(from, -1);
  count(to, +1);
}

bool ContactLogTally::save(SqlConnection& db, const ContactLimits& limits) {
  if (deleted_ > limits.maxDeletedRecords) {
    SqlStatement drop(db,
                      "DELETE FROM contact_records WHERE user_id = ?1 AND status = ?2 AND tag <= "
                      "(SELECT tag FROM contact_records WHERE user_id = ?1 AND status = ?2 "
                      "ORDER BY tag DESC LIMIT 1 OFFSET ?3) RETURNING tag");
    drop.bindAll(userId_, ContactStore::kStatusDeleted, std::max<std::int64_t>(limits.maxDeletedRecords, 0));
    int rc = SQLITE_ROW;
    while ((rc = drop.step()) == SQLITE_ROW) {
      horizon_ = std::max(horizon_, drop.integer(0));
      --deleted_;
    }
    if (rc != SQLITE_DONE) return false;
  }
  SqlStatement st(db, "UPDATE contact_logs SET horizon = ?, live = ?, deleted = ? WHERE user_id = ?");
  return st.bindAll(horizon_, live_, deleted_, userId_).run();
}

std::string ContactChangeLog::extraInfo(std::int64_t userId, std::int64_t tag) const {
  return crypto::hmacSha1Base64(store_.serverSecret(),
                                "contacts/" + std::to_string(userId) + "/" + std::to_string(tag));
}

std::optional<ContactChangeLog::Page> ContactChangeLog::page(std::int64_t userId,
                                                             const SyncListing& listing) {
  auto set = contacts_.changedSince(userId, listing.syncTag, listing.limit, kMaxPageBytes,
                                    listing.skipTags);
  if (!set) return std::nullopt;
  Page page;
  static_cast<SyncCursor&>(page) =
      listing.cursor([this, userId](std::int64_t tag) { return extraInfo(userId, tag); },
                     set->horizon, set->lastTag, set->more, set->scannedTag);
  if (!page.restart) page.entries = std::move(set->records);
  return page;
}

}  // namespace localcloud
