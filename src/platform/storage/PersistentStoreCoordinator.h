// The SQLite file under an object store (the phone's persistent store
// coordinator with its one SQLite store). Each entity is a table of its
// own: the object id, one column per attribute and one per to-one
// relationship. Opening a file made with an older model migrates it
// additively (missing tables and columns are added, nothing is dropped).
// Object ids are handed out by the coordinator and never reused, so an
// object has its final id from its insertion on.
//
// Reads go through a read connection and writes through a write
// connection (write-ahead log), so a fetch made on any thread never waits
// for a save's flush and sees every save that finished before it.
//
// Ownership: shared by its contexts (shared_ptr); closes its file when the
// last goes.
// Threading: every member may be called from any thread; each connection is
// used by one thread at a time (a lock each).
// Failure: Errors in kObjectStoreErrorDomain with the SQLite result code;
// a file that is not a database fails open() with SQLITE_NOTADB.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/storage/ObjectModel.h"

struct sqlite3;

namespace platform::sqlite {
class Statement;
}

namespace platform::objectstore {

inline constexpr const char* kObjectStoreErrorDomain = "platform.objectstore";
// Codes beside SQLite's: a name the model does not know, a store gone.
inline constexpr std::int64_t kObjectStoreErrorUnknownName = 1001;
inline constexpr std::int64_t kObjectStoreErrorNoStore = 1002;

class PersistentStoreCoordinator {
 public:
  // What one save writes, in one transaction. Deleting an object also
  // applies its delete rules to the rows that point at it.
  struct Changes {
    std::vector<std::pair<const EntityDescription*, ObjectRow>> inserted;
    std::vector<std::pair<const EntityDescription*, ObjectRow>> updated;
    std::vector<std::pair<const EntityDescription*, std::int64_t>> deleted;
    bool empty() const { return inserted.empty() && updated.empty() && deleted.empty(); }
  };

  static Result<std::shared_ptr<PersistentStoreCoordinator>> open(std::shared_ptr<const ObjectModel> model,
                                                                   const std::filesystem::path& file);
  ~PersistentStoreCoordinator();
  PersistentStoreCoordinator(const PersistentStoreCoordinator&) = delete;
  PersistentStoreCoordinator& operator=(const PersistentStoreCoordinator&) = delete;

  const ObjectModel& model() const { return *model_; }
  const std::shared_ptr<const ObjectModel>& sharedModel() const { return model_; }
  const std::filesystem::path& file() const { return file_; }
  std::int64_t newObjectID() { return nextID_.fetch_add(1); }
  // Whether open() made the store: the file was missing or held no tables.
  bool isNew() const { return isNew_; }

  // The rows the request selects, in its order (propertiesToFetch limits
  // the attributes read; the others stay null).
  Result<std::vector<ObjectRow>> fetch(const FetchRequest& request);
  // Only the ids of those rows, in order.
  Result<std::vector<std::int64_t>> fetchIDs(const FetchRequest& request);
  // One row by id; nullopt when it is not stored.
  Result<std::optional<ObjectRow>> row(const EntityDescription& entity, std::int64_t id);
  Status save(const Changes& changes);

 private:
  struct Connection;
  struct EntityStatements;
  PersistentStoreCoordinator(std::shared_ptr<const ObjectModel> model, std::filesystem::path file,
                             std::unique_ptr<Connection> reader, std::unique_ptr<Connection> writer);
  Status migrate();
  Result<std::vector<ObjectRow>> fetchRows(const FetchRequest& request, bool idsOnly);
  Status writeRow(const EntityDescription& entity, const ObjectRow& row, bool insert);
  Status deleteRow(const EntityDescription& entity, std::int64_t id);
  EntityStatements& statementsFor(const EntityDescription& entity);

  std::shared_ptr<const ObjectModel> model_;
  std::filesystem::path file_;
  std::unique_ptr<Connection> reader_;
  std::unique_ptr<Connection> writer_;
  std::map<const EntityDescription*, std::unique_ptr<EntityStatements>> statements_;  // writer's
  std::atomic<std::int64_t> nextID_{1};
  bool isNew_ = false;
};

}  // namespace platform::objectstore
