// The contact service's records in the Store's database: contacts and
// groups per user, each with a server-made id, a version tag (one counter
// per user, raised by every change) and a status ("custom" while live,
// "deleted" after a delete). Changes that name a version tag are applied
// only to that version; otherwise the record is kept as the cloud holds it
// and handed back, so the client takes the cloud's version.
//
// Ownership: owned by the CloudServer; borrows the Store, which must
// outlive it. Threading: safe from any thread; each change runs on the
// Store's writing connection in one transaction, committed before it
// returns; reads run on a read connection. Failures: SQL failures give Outcome::Failed or
// nullopt; nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/Store.h"

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

class ContactStore {
 public:
  static constexpr const char* kStatusLive = "custom";
  static constexpr const char* kStatusDeleted = "deleted";

  enum class Outcome {
    Applied,    // the change was made; `record` is the new state
    Kept,       // stale tag or deleted record: nothing changed; `record` is the cloud's
    NotFound,   // no record with that id for the user
    WrongType,  // the record is of the other type
    Failed,     // SQL failure
  };
  struct Change {
    Outcome outcome = Outcome::Failed;
    ContactRecord record;
  };

  explicit ContactStore(Store& store);

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

 private:
  Store& store_;
};

}  // namespace localcloud
