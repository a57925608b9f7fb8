// The record store's SQLite connection and the one serial queue on which all
// of its SQL runs, with a small statement helper that binds every value as a
// parameter, a cache of prepared statements and nestable batches (one
// transaction for many statements).
//
// Ownership: the store owns one instance. The destructor first lets the queue
// run what is already queued, then closes the connection; do not destroy it
// from one of its own tasks.
// Threading: inDatabase / inTransaction / inBatch / async may be called from
// any thread. The functions they run get the connection one at a time (under
// the queue's lock) and must not keep it: inDatabase, inTransaction and
// inBatch run theirs on the calling thread, as a synchronous dispatch to a
// serial queue may, unless work queued by async() is still waiting, which
// then runs first. Calls made from inside such a function run inline, so
// statements run by a batch's work join its transaction.
// Failures: open() gives nullptr (logged); a statement that cannot be prepared
// or run reports false and logs SQLite's message at error level; a batch that
// cannot begin or commit reports a database error. Nothing throws.
// A statement that finds the file damaged (SQLite's "malformed" or "not a
// database", from a read or a write) fails as any other; once the function
// that ran it returns and nothing holds the connection, the file is moved
// aside ("<name>.unreadable-<time>") after the owner's salvage handler read
// what it can of it, a new empty one is opened in its place and the owner's
// remade handler runs, so the next operation works again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/Result.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/storage/Sqlite.h"

struct sqlite3;

namespace lumora {

class LMManagedRecordContextDatabase {
 public:
  // One prepared statement of the connection (platform::sqlite::Statement)
  // that logs what fails and reads columns by name.
  class Statement {
   public:
    // A one-off statement, finalised when it goes.
    Statement(sqlite3* db, const std::string& sql);
    // A statement of the connection's cache: prepared on first use of the
    // text, kept until the connection closes, and rewound and cleared for its
    // next use when this goes. Only on the queue's thread.
    Statement(LMManagedRecordContextDatabase& database, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Whether the text was prepared; a statement that was not fails every step.
    bool prepared() const { return statement_ != nullptr && statement_->ok(); }

    // Binds parameter `index` (from 1); nullopt binds NULL.
    Statement& bind(int index, const std::optional<std::int64_t>& value);
    Statement& bind(int index, const std::optional<std::int32_t>& value);
    Statement& bind(int index, const std::optional<double>& value);
    Statement& bind(int index, const std::optional<bool>& value);
    Statement& bind(int index, const std::optional<std::string>& value);
    Statement& bind(int index, const char* value);

    // Runs a statement that yields no rows; true when it completed.
    bool execute();
    // Steps to the next row: true while there is one. A failure ends the rows
    // (logged) and leaves failed() true.
    bool next();
    bool failed() const { return failed_; }

    // Columns of the current row by position (from 0); nullopt for NULL.
    std::optional<std::int64_t> int64Column(int column) const;
    std::optional<std::int32_t> int32Column(int column) const;
    std::optional<double> doubleColumn(int column) const;
    std::optional<bool> boolColumn(int column) const;
    std::optional<std::string> stringColumn(int column) const;

   private:
    bool isNull(int column) const;
    void checkBind(int index);
    void logFailure(const char* what) const;

    std::optional<platform::sqlite::Statement> owned_;
    platform::sqlite::Statement* statement_ = nullptr;
    const std::string* sql_ = nullptr;
    std::string ownedSql_;
    bool failed_ = false;
  };

  // A kLMLocalErrorDatabase error ("Database Error") with `reason`.
  static platform::Error error(std::string reason);

  // How long a statement waits for another connection's lock on the file.
  static constexpr int kBusyTimeoutMs = 5000;

  // Opens (creating if needed) the database file read-write. nullptr when it
  // cannot be opened.
  static std::unique_ptr<LMManagedRecordContextDatabase> open(const std::string& path);
  ~LMManagedRecordContextDatabase();
  LMManagedRecordContextDatabase(const LMManagedRecordContextDatabase&) = delete;
  LMManagedRecordContextDatabase& operator=(const LMManagedRecordContextDatabase&) = delete;

  const std::string& path() const { return path_; }

  // Runs `work` with the connection on the queue and waits for it.
  void inDatabase(const std::function<void(sqlite3* db)>& work);
  // Runs `work` inside one transaction on the queue and waits for it. The
  // transaction commits unless `work` sets its rollback flag; a failed BEGIN
  // skips `work`. Returns whether the transaction was committed.
  bool inTransaction(const std::function<void(sqlite3* db, bool& rollback)>& work);
  // Runs `work` on the queue inside one transaction (a savepoint when a batch
  // is already open, so batches nest) and waits for it. The changes are kept
  // when `work` succeeds and the commit works; otherwise they are rolled back
  // and the error is returned (work's own, or a kLMLocalErrorDatabase error).
  platform::Status inBatch(const std::function<platform::Status()>& work);
  // Queues `work` on the queue and returns at once.
  void async(std::function<void(sqlite3* db)> work);

  // Set once by the owner before use: what follows the replacement of a
  // damaged file (making the tables, forgetting what named the old rows).
  // Runs with the connection to itself, on the thread that met the damage.
  void setRemadeHandler(std::function<void()> handler) { remade_ = std::move(handler); }
  // Set once by the owner before use, optional: reads what is worth keeping
  // of a damaged file through its connection, before the file is moved
  // aside (a read that fails there does not count as new damage).
  void setSalvageHandler(std::function<void(sqlite3* damaged)> handler) { salvage_ = std::move(handler); }
  // How many times a damaged file was replaced since open().
  std::uint64_t generation() const { return generation_; }

 private:
  LMManagedRecordContextDatabase(sqlite3* db, std::string path);
  // Runs `work` with the connection to itself (see Threading).
  void serialized(const std::function<void()>& work);
  // The same for queued work, already on the queue.
  void serializedQueued(const std::function<void()>& work);
  // Runs `work` as the connection's holder on this thread, then replaces a
  // file found damaged meanwhile (mutex_ held).
  void holding(const std::function<void()>& work);
  // Notes a failed statement's code on the connection this thread holds.
  static void noteFailure(sqlite3* db, int rc);
  void replaceDamagedFile();

  sqlite3* db_ = nullptr;
  std::string path_;
  // Statements by their text (Statement's cache); touched on the queue only.
  std::unordered_map<std::string, std::unique_ptr<platform::sqlite::Statement>> statements_;
  std::recursive_mutex mutex_;                // held while a function has the connection
  std::atomic<std::thread::id> owner_;       // the thread that holds it
  std::atomic<int> queued_{0};               // async work not finished yet
  std::unique_ptr<platform::SerialQueue> queue_;
  std::function<void()> remade_;
  std::function<void(sqlite3*)> salvage_;
  bool damaged_ = false;                     // under mutex_
  std::atomic<std::uint64_t> generation_{0};
  // The file the connection opened, to tell whether it is still in place.
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace lumora
