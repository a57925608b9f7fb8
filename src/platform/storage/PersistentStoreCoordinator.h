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
// a file that is not a database fails open() with SQLITE_NOTADB, one that
// fails SQLite's quick check with SQLITE_CORRUPT. A read or save that finds
// the file damaged later fails too, and then the file is moved aside
// ("<name>.unreadable-<time>"), a new store is made in its place (isNew()
// from then on; ids handed out before are never handed out again) and the
// remade handler runs, so the next read or save works on the new store.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
  // A row to write, as its holder keeps it (borrowed for the save).
  struct RowView {
    std::int64_t id = 0;
    const std::vector<Value>* values = nullptr;
    const std::vector<std::optional<std::int64_t>>* links = nullptr;
  };
  // What one save writes, in one transaction. Deleting an object also
  // applies its delete rules to the rows that point at it.
  struct Changes {
    std::vector<std::pair<const EntityDescription*, RowView>> inserted;
    std::vector<std::pair<const EntityDescription*, RowView>> updated;
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
  // Whether the store was made here: the file was missing or held no
  // tables, or a damaged one was replaced.
  bool isNew() const { return isNew_; }
  // Set once by the owner before use: runs after a damaged file was
  // replaced, on the thread whose read or save met the damage, with no lock
  // held.
  void setRemadeHandler(std::function<void()> handler) { remade_ = std::move(handler); }
  // How many times a damaged file was replaced since open().
  std::uint64_t generation() const { return generation_; }

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
  Status migrateLocked();  // the writer's lock held
  Status saveLocked(const Changes& changes);
  // Makes the store anew when `error` says the file is damaged and no other
  // failure did so since `generation`.
  void afterFailure(const Error& error, std::uint64_t generation);
  // The rows, or with `ids` only their ids into it (and no rows).
  Result<std::vector<ObjectRow>> fetchRows(const FetchRequest& request, std::vector<std::int64_t>* ids = nullptr);
  Status writeRow(const EntityDescription& entity, const RowView& row, bool insert);
  // New rows of one entity, several to a statement.
  Status insertRows(const EntityDescription& entity, const RowView* rows, std::size_t count);
  Status deleteRow(const EntityDescription& entity, std::int64_t id);
  EntityStatements& statementsFor(const EntityDescription& entity);

  std::shared_ptr<const ObjectModel> model_;
  std::filesystem::path file_;
  std::unique_ptr<Connection> reader_;
  std::unique_ptr<Connection> writer_;
  std::map<const EntityDescription*, std::unique_ptr<EntityStatements>> statements_;  // writer's
  std::atomic<std::int64_t> nextID_{1};
  std::atomic<bool> isNew_{false};
  std::atomic<std::uint64_t> generation_{0};  // changed under both locks
  std::function<void()> remade_;
};

}  // namespace platform::objectstore
