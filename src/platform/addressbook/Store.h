// Internal: the address book's SQLite file. One Store is one connection; each
// AddressBook handle owns its own. Tables: Meta (key/value settings such as
// the authorisation status), Record (one row per source, person and group:
// type, source, link tag, JSON data, image bytes) and GroupMember (ordered
// membership rows). Record ids come from AUTOINCREMENT and are never reused;
// the local source is created with id 0 when the file is first made.
//
// Not thread-safe: the owning handle serialises calls. Every failure is an
// Error in the address-book domain with code kOperationNotPermittedByStoreError
// carrying SQLite's message. Several connections, also in other processes,
// may use the file at once (WAL journal, busy timeout); writes happen only
// inside begin()/commit().
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/storage/Sqlite.h"
#include "platform/addressbook/ExternalChanges.h"
#include "platform/addressbook/Types.h"

struct sqlite3;

namespace platform::addressbook::detail {

class Store {
 public:
  struct Row {
    RecordId id = kInvalidRecordId;
    RecordType type = RecordType::Person;
    RecordId source = kInvalidRecordId;
    std::int64_t link = 0;  // 0: not linked
    std::string text;       // the stored JSON data, parsed by data()
    bool hasImage = false;

    // The stored data; text that is not a JSON object reads as an empty one.
    // Parsed on each call, so that a whole load holds the small texts and
    // each record's parsed form only while it is read.
    nlohmann::json data() const;
  };

  static Result<std::unique_ptr<Store>> open(const std::filesystem::path& path);
  // Whether the file at `path` proves damaged for a store: not a plain
  // file, not a database, without the tables and columns a store reads, or
  // failing SQLite's quick check (platform::isDamagedStore).
  static bool isDamaged(const std::filesystem::path& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Changes whenever another connection commits to the file.
  std::int64_t dataVersion();

  Result<std::optional<std::string>> meta(const std::string& key);
  // Writes one setting in its own transaction.
  Status setMeta(const std::string& key, const std::string& value);
  // The same, unless the setting is there already.
  Status addMeta(const std::string& key, const std::string& value);

  struct Snapshot {
    std::vector<Row> rows;                                // ordered by id
    std::vector<std::pair<RecordId, RecordId>> members;  // (group, person), in insertion order
  };
  // Everything but the images, read in one read transaction.
  Result<Snapshot> load();
  // One record (without its image); nullopt when there is none.
  Result<std::optional<Row>> loadRecord(RecordId id);
  // Every source.
  Result<std::vector<Row>> loadSources();
  // The person ids of a group's members, in the order they were added.
  Result<std::vector<RecordId>> members(RecordId group);
  Result<std::optional<Bytes>> loadImage(RecordId id);

  // A read transaction over the next reads, so that they take the file's
  // lock once (and agree with each other); ended by endRead() or by the
  // next transaction or whole load begun here. A failed begin leaves the
  // reads to take the lock each.
  void beginRead();
  void endRead();

  // Write transaction (BEGIN IMMEDIATE: one writer at a time). While one
  // is open, a watch of the file for other processes' saves
  // (ExternalChanges) counts what it commits as this process's own.
  Status begin();
  Status commit();
  void rollback();

  Result<RecordId> insertRecord(RecordType type, RecordId source, const nlohmann::json& data,
                                const std::optional<Bytes>& image);
  // The stored data of a record, nullopt when the row is gone.
  Result<std::optional<nlohmann::json>> recordData(RecordId id);
  Status updateData(RecordId id, const nlohmann::json& data);
  Status updateImage(RecordId id, const std::optional<Bytes>& image);
  // Removes the record with its membership rows; a source takes its people
  // and groups with it.
  Status deleteRecord(RecordId id);
  Status addMember(RecordId group, RecordId person);
  Status removeMember(RecordId group, RecordId person);
  // Joins the link sets of two people; unlink takes one person out of its set.
  Status link(RecordId a, RecordId b);
  Status unlink(RecordId person);

 private:
  // A statement prepared once per connection, rewound when the use ends.
  class Prepared;

  explicit Store(sqlite3* db) : db_(db) {}
  Status exec(const char* sql);
  Status writeMeta(const char* sql, const std::string& key, const std::string& value);
  Status ensureSchema();
  Error failure(const std::string& what) const;
  Prepared prepared(const char* sql);

  sqlite3* db_ = nullptr;
  std::string key_;  // the file's name in this process (ExternalChanges::keyOf)
  std::optional<ExternalChanges::OwnWrite> ownWrite_;
  bool reading_ = false;  // a read transaction begun by beginRead is open
  std::map<const char*, std::unique_ptr<sqlite::Statement>> statements_;  // by their (literal) text
};

}  // namespace platform::addressbook::detail
