// The contact service's records in the Store's database: contacts and
// groups per user, each with a server-made id, a version tag (one counter
// per user, raised by every change) and a status ("custom" while live,
// "deleted" after a delete). Changes that name a version tag are applied
// only to that version; otherwise the record is kept as the cloud holds it
// and handed back, so the client takes the cloud's version.
//
// Every record sits at the tag of its last change, so the records ordered
// by tag are the user's change log (ContactChangeLog), each change listed
// once at its newest state. What a user keeps is bounded (ContactLimits):
// past the live-record limit adds are refused; past the deleted-record
// limit the oldest deleted records are dropped, which raises the log's
// horizon (listings from below it must start again).
//
// An add sent again is known by the mark the sender keeps with it: an add
// whose mark the user's earlier add of the same type carried gets the
// record made then (as the cloud holds it now) and makes nothing, whatever
// its content or the session it comes in; a sender that lost the reply and
// sends again gets the same record, never a second one. An add without a
// mark is known by its key ("ckey", the sender's own local record id) and
// content coming from the same device of the user, as the last add (marked
// or not) that came so. A marked add whose mark is not known, and that its
// sender says it sent before, is known that way too by an add that came
// without a mark (as a cloud from before marks remembered every add), and
// its mark is kept with that record from then on; a marked add sent for the
// first time always makes a record of its own. An add is remembered for
// kAddMemorySeconds after it was last sent (made, or sent again and known;
// the store's clock).
//
// Ownership: owned by the CloudServer; borrows the Store, which must
// outlive it. Threading: safe from any thread; the changes of one apply()
// run on the Store's writing connection in one transaction, committed
// before it returns; reads run on a read connection, a listing in one read
// transaction. Failures: SQL failures give Outcome::Failed or nullopt;
// nothing throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/Store.h"

namespace localcloud {

struct ContactRecord {
  std::int64_t userId = 0;
  std::int64_t id = 0;
  std::string type;           // "contact" or "group"
  std::int64_t tag = 0;
  std::string status;         // "custom" or "deleted"
  nlohmann::json content;     // the record's keys but "id", "tag" and "status"
  bool purged = false;

  // The cloud record form: {"type": type, "content": content with "id",
  // "tag" and "status"}.
  nlohmann::json envelope() const;
};

// What one user may keep.
struct ContactLimits {
  std::int64_t maxLiveRecords = 20000;    // contacts and groups; further adds are refused
  std::int64_t maxDeletedRecords = 5000;  // deleted records kept; the oldest go first
};

// One change to apply.
struct ContactOperation {
  enum class Kind { Add, Modify, Delete };
  Kind kind = Kind::Add;
  std::int64_t id = 0;                  // modify, delete: the record
  std::string type;                     // add, modify: "contact" or "group"
  nlohmann::json content;               // add, modify: an object
  std::optional<std::int64_t> baseTag;  // modify, delete: the version meant
  bool purge = false;                   // delete: drop the content too
  std::string ckey;                     // add: the sender's key of the record ("" none)
  std::string device;                   // add: the device that sent it
  std::string mark;                     // add: the sender's mark of the add ("" none)
  bool resent = false;                  // add: the sender sent this add before
};

class ContactStore {
 public:
  static constexpr const char* kStatusLive = "custom";
  static constexpr const char* kStatusDeleted = "deleted";

  enum class Outcome {
    Applied,    // the change was made; `record` is the new state
    Kept,       // stale tag or deleted record: nothing changed; `record` is the cloud's
    NotFound,   // no record with that id for the user
    WrongType,  // the record is of the other type
    Full,       // an add past the user's live-record limit
    Failed,     // SQL failure
  };
  struct Change {
    Outcome outcome = Outcome::Failed;
    ContactRecord record;
  };

  // The records changed after a tag, from one snapshot of the database.
  struct ChangeSet {
    std::vector<ContactRecord> records;  // by tag
    bool more = false;                   // further changes follow the last one read
    std::int64_t scannedTag = 0;         // the tag of the last change read (skipped ones too)
    std::int64_t lastTag = 0;            // the user's newest tag
    std::int64_t horizon = 0;            // the log's horizon
  };

  // How long an add is remembered after it was last sent (eight weeks).
  static constexpr std::int64_t kAddMemorySeconds = 8 * 7 * 24 * 3600;

  explicit ContactStore(Store& store);

  // The clock adds are remembered by, in seconds since 1970 (the system's
  // by default).
  void setClock(std::function<std::int64_t()> now);

  void setLimits(const ContactLimits& limits);
  ContactLimits limits() const;

  // Applies the operations in order in one transaction: one Change per
  // operation. Changes that are refused (Kept, NotFound, WrongType, Full)
  // do not stop the others. When storing fails, nothing is stored and
  // every Change is Failed.
  std::vector<Change> apply(std::int64_t userId, const std::vector<ContactOperation>& operations);

  // A new live record with a new id and tag. `content` must be an object;
  // its "id", "tag" and "status" are ignored.
  Change add(std::int64_t userId, const std::string& type, const nlohmann::json& content);
  // Replaces the content of a live record when `baseTag` is its tag (or not
  // given); raises the tag.
  Change modify(std::int64_t userId, std::int64_t id, const std::string& type,
                const nlohmann::json& content, std::optional<std::int64_t> baseTag);
  // Marks a live record deleted when `baseTag` is its tag (or not given);
  // raises the tag. A purge also drops the content. Deleting a deleted
  // record keeps it as it is.
  Change remove(std::int64_t userId, std::int64_t id, std::optional<std::int64_t> baseTag,
                bool purge);

  std::optional<ContactRecord> find(std::int64_t userId, std::int64_t id);
  // All records of the user, deleted ones included, by id.
  std::vector<ContactRecord> records(std::int64_t userId);

  // Up to `limit` records changed after `sinceTag`, in tag order, stopping
  // early once their contents reach `maxBytes` (at least one is read);
  // records at a tag of `skipTags` are passed over (not counted).
  std::optional<ChangeSet> changedSince(std::int64_t userId, std::int64_t sinceTag,
                                        std::size_t limit, std::size_t maxBytes,
                                        const std::set<std::int64_t>& skipTags);

 private:
  std::int64_t now() const;

  Store& store_;
  mutable std::mutex clockMutex_;
  std::function<std::int64_t()> now_;
  std::atomic<std::int64_t> maxLive_;
  std::atomic<std::int64_t> maxDeleted_;
};

}  // namespace localcloud
