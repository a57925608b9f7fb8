// The per-user change log of the contact service. A user's records in tag
// order are the log (each record at the tag of its last change), so a
// listing from a sync tag returns every record changed after it once, at
// its newest state, however the records change between its pages: a
// record changed meanwhile moves past the cursor and comes once, later.
//
// A sync tag travels with an extra-information text that the server made
// for it (an HMAC of user and tag under the server's secret), so a tag is
// placed in the log only with its own text. A tag cannot be placed, and the
// listing must start again from tag 0 (a full listing), when its text is
// missing or not the one made for it (a tag of another data directory, or
// made up), when it lies beyond the user's newest tag, or when it lies
// below the log's horizon: the tag of the newest deleted record dropped
// past the limit (ContactLimits), whose deletion a listing from below it
// could no longer report. Tag 0 is always placed.
//
// The log's own state per user (table contact_logs): the horizon and the
// counts of live and deleted records, kept by ContactLogTally inside the
// record changes' transactions.
//
// Ownership: ContactChangeLog is owned by the CloudServer and borrows the
// Store and the ContactStore. Threading: page() is safe from any thread;
// a ContactLogTally lives inside one write transaction. Failures: SQL
// failures give nullopt / false; nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "server/storage/ContactStore.h"
#include "server/storage/Store.h"
#include "server/storage/SyncListing.h"

namespace localcloud {

class SqlConnection;

// The log's state of one user inside a write transaction of the
// ContactStore: counts that the record changes keep up to date, and the
// dropping of the oldest deleted records past the limit, which raises
// the horizon.
class ContactLogTally {
 public:
  // The statements that create the log's table and index when missing.
  static const char* const kTablesSql;
  // The user's state; made from the records on the user's first change.
  static std::optional<ContactLogTally> load(SqlConnection& db, std::int64_t userId);
  // The user's horizon (0 for a user without a log yet).
  static std::optional<std::int64_t> horizon(SqlConnection& db, std::int64_t userId);

  bool roomForLive(const ContactLimits& limits) const { return live_ < limits.maxLiveRecords; }
  // One record went from status `from` ("" for a new record) to `to`.
  void changed(const std::string& from, const std::string& to);
  // Drops the oldest deleted records past the limit and writes the state.
  bool save(SqlConnection& db, const ContactLimits& limits);

 private:
  std::int64_t userId_ = 0;
  std::int64_t horizon_ = 0;
  std::int64_t live_ = 0;
  std::int64_t deleted_ = 0;
};

class ContactChangeLog {
 public:
  // A page's records are bounded by count (the caller's limit) and by the
  // bytes of their contents.
  static constexpr std::size_t kMaxPageBytes = 4 * 1024 * 1024;

  // One page of a listing, or the order to start again.
  struct Page : SyncCursor {
    std::vector<ContactRecord> entries;  // by tag
  };

  ContactChangeLog(Store& store, ContactStore& contacts) : store_(store), contacts_(contacts) {}

  // The page of at most `limit` records changed after the listing's tag,
  // leaving out records at its skipped tags; nullopt when reading failed.
  std::optional<Page> page(std::int64_t userId, const SyncListing& listing);
  // The extra-information text of a user's sync tag.
  std::string extraInfo(std::int64_t userId, std::int64_t tag) const;

 private:
  Store& store_;
  ContactStore& contacts_;
};

}  // namespace localcloud
