#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/storage/AppHome.h"
#include "support/HomeCopy.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;

const char* const kStoreName = "Documents/lumora.db";
// Rows of a kilobyte each: a copy of the store takes many times longer
// than one of the writer's commits.
constexpr int kRows = 4000;

bool run(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A store whose every commit keeps `total` the sum of the rows' counts, and
// counts itself in `commits`.
void makeStore(const fs::path& file, const char* journal) {
  fs::create_directories(file.parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(run(db, std::string("PRAGMA journal_mode=") + journal));
  ASSERT_TRUE(run(db, "PRAGMA synchronous=OFF;"
                      "CREATE TABLE meta(total INTEGER, commits INTEGER);"
                      "CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, v BLOB);"
                      "INSERT INTO meta VALUES (0, 0);"
                      "WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r WHERE x < " +
                          std::to_string(kRows) + ") INSERT INTO t SELECT x, 0, zeroblob(1000) FROM r;"));
  sqlite3_close(db);
}

// What the store at `file` holds, opened as the app opens it: "ok
// <commits>" for a state committed to it, else what is wrong.
std::string committedState(const fs::path& file) {
  sqlite3* db = nullptr;
  std::string state = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT group_concat(integrity_check) FROM pragma_integrity_check),"
                       " (SELECT count(*) FROM t), (SELECT sum(n) FROM t) = total, commits FROM meta",
                       -1, &check, nullptr);
    if (check != nullptr && sqlite3_step(check) == SQLITE_ROW) {
      const std::string integrity = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
      if (integrity != "ok") {
        state = "damaged: " + integrity;
      } else if (sqlite3_column_int(check, 1) != kRows || sqlite3_column_int(check, 2) != 1) {
        state = "torn between commits";
      } else {
        state = "ok " + std::to_string(sqlite3_column_int(check, 3));
      }
    } else {
      state = std::string("unreadable: ") + sqlite3_errmsg(db);
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return state;
}

// The writer: claims the home named in LUMORA_TEST_WRITER_HOME and answers
// each command read from the descriptor LUMORA_TEST_WRITER_IN (one byte)
// with a byte on LUMORA_TEST_WRITER_OUT once done:
//   c  commits a count up of the last row and of one more, a row further
//      on at each commit (so that no two commits write the same pages);
//   h  counts up the first half of the rows and holds the transaction
//      open, its pages written to the store before the commit;
//   e  commits the transaction held;
//   r  closes the store and opens it again;
//   p  moves what its log holds into the store;
//   b  commits as c without end (answered after the first).
// Any failure ends it with status 3.
TEST(AppHomeStoreWriterChild, Writes) {
  const char* home = std::getenv("LUMORA_TEST_WRITER_HOME");
  if (home == nullptr) GTEST_SKIP();
  const int in = std::atoi(std::getenv("LUMORA_TEST_WRITER_IN"));
  const int out = std::atoi(std::getenv("LUMORA_TEST_WRITER_OUT"));
  platform::AppHome::setRoot(home);
  if (!platform::AppHome::claim().ok()) _exit(3);
  sqlite3* db = nullptr;
  const auto open = [&] {
    if (sqlite3_open((fs::path(home) / kStoreName).c_str(), &db) != SQLITE_OK) _exit(3);
    sqlite3_busy_timeout(db, 60000);
    if (!run(db, "PRAGMA synchronous=OFF")) _exit(3);
  };
  const auto count = [&](const std::string& rows, const std::string& howMany) {
    if (!run(db, "UPDATE t SET n = n + 1, v = randomblob(1000) WHERE " + rows +
                     "; UPDATE meta SET total = total + " + howMany + ", commits = commits + 1")) {
      _exit(3);
    }
  };
  const auto commit = [&] {
    if (!run(db, "BEGIN")) _exit(3);
    count("id IN (" + std::to_string(kRows) + ", 1 + (SELECT commits FROM meta) % " + std::to_string(kRows - 1) + ")",
          "2");
    if (!run(db, "COMMIT")) _exit(3);
  };
  open();
  for (char command; read(in, &command, 1) == 1;) {
    if (command == 'c' || command == 'b') commit();
    if (command == 'h') {
      // A cache too small for it: the transaction writes its pages before
      // it ends.
      if (!run(db, "PRAGMA cache_size=8; BEGIN")) _exit(3);
      count("id <= " + std::to_string(kRows / 2), std::to_string(kRows / 2));
    }
    if (command == 'e' && !run(db, "COMMIT; PRAGMA cache_size=-2000")) _exit(3);
    if (command == 'r') {
      sqlite3_close(db);
      open();
    }
    if (command == 'p' && !run(db, "PRAGMA wal_checkpoint")) _exit(3);
    if (write(out, ".", 1) != 1) _exit(3);
    while (command == 'b') commit();
  }
  sqlite3_close(db);
  _exit(0);
}

// A process writing the store of `home` as its app.
class Writer {
 public:
  explicit Writer(const fs::path& home) {
    int in[2], out[2];
    if (pipe(in) != 0) return;
    if (pipe(out) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    child_ = fork();
    if (child_ == 0) {
      close(in[1]);
      close(out[0]);
      setenv("LUMORA_TEST_WRITER_HOME", home.c_str(), 1);
      setenv("LUMORA_TEST_WRITER_IN", std::to_string(in[0]).c_str(), 1);
      setenv("LUMORA_TEST_WRITER_OUT", std::to_string(out[1]).c_str(), 1);
      execl("/proc/self/exe", "writer", "--gtest_filter=AppHomeStoreWriterChild.Writes", static_cast<char*>(nullptr));
      _exit(6);
    }
    close(in[0]);
    close(out[1]);
    commands_ = in[1];
    answers_ = out[0];
  }
  ~Writer() {
    kill();
    if (commands_ >= 0) close(commands_);
    if (answers_ >= 0) close(answers_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Whether each command was done.
  bool send(const std::string& commands) {
    for (const char command : commands) {
      char answer = 0;
      if (write(commands_, &command, 1) != 1 || read(answers_, &answer, 1) != 1) return false;
    }
    return true;
  }
  // Whether it was still running, all it did done; it is gone afterwards.
  bool kill() {
    if (child_ <= 0) return false;
    int status = 0;
    const bool running = waitpid(child_, &status, WNOHANG) == 0;
    if (running) {
      ::kill(child_, SIGKILL);
      waitpid(child_, &status, 0);
    }
    child_ = -1;
    return running;
  }

 private:
  pid_t child_ = -1;
  int commands_ = -1;
  int answers_ = -1;
};

}  // namespace

// A copy of a home made with hard links but without its hidden lock file
// (`cp -al home/* copy/`) starts beside the process using that home, or
// after it has stopped anywhere, and makes the stores it shares its own:
// whatever the store's journal files in the copy hold (the other process's
// live ones, ones it let go of since, a write cut short), each store of the
// copy passes SQLite's integrity check and holds a state committed to it,
// one no earlier than the copy's making; the files of the home copied from
// are left as they were (while nothing writes them).
TEST(AppHomeStoreCopy, ACopyWithoutTheLockFileHoldsWhatItsStoresHadCommitted) {
  struct Case {
    const char* what;
    const char* journal;
    // The writer's commands before the copy is made ('k': the writer is
    // killed) and after it.
    const char* before;
    const char* after;
    int copies;
  };
  const Case cases[] = {
      {"written all the while, ahead of its log", "WAL", "b", "", 3},
      {"written all the while, with a rollback journal", "DELETE", "b", "", 3},
      {"its writer killed mid-run, its log and index left", "WAL", "ccbk", "", 1},
      {"its writer killed mid-transaction, its journal left", "DELETE", "chk", "", 1},
      {"its log let go of and the store written on", "WAL", "cc", "rccccp", 1},
      {"its journal let go of and the store written on", "DELETE", "ch", "ecccc", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestHome home;
    const fs::path original = home.root() / "original";
    makeStore(original / kStoreName, c.journal);
    Writer writer(original);
    int committed = 0;
    for (const char* command = c.before; *command != '\0'; ++command) {
      if (*command == 'k') {
        ASSERT_TRUE(writer.kill());
        continue;
      }
      ASSERT_TRUE(writer.send(std::string(1, *command)));
      if (*command != 'h') ++committed;
    }
    const std::string before = c.before;
    // Nothing writes the home copied from while the copy starts.
    const bool quiet = before.find('b') == std::string::npos || before.find('k') != std::string::npos;
    for (int i = 0; i < c.copies; ++i) {
      const fs::path copy = home.root() / ("copy" + std::to_string(i));
      ASSERT_TRUE(testsupport::copyWithHardLinks(original, copy, {".lumora.lock"}));
      ASSERT_TRUE(writer.send(c.after));
      const auto files = testsupport::homeFiles(original);
      platform::AppHome::setRoot(copy);
      const platform::Status claimed = platform::AppHome::claim();
      platform::AppHome::setRoot(home.root());
      ASSERT_TRUE(claimed.ok()) << claimed.error().description();
      EXPECT_EQ(testsupport::filesWithSecondNames(copy), std::set<std::string>{});
      if (quiet) {
        EXPECT_TRUE(testsupport::homeFiles(original) == files);
      }
      const std::string state = committedState(copy / kStoreName);
      ASSERT_EQ(state.substr(0, 3), "ok ") << state;
      EXPECT_GE(std::stoi(state.substr(3)), committed) << state;
    }
    if (before.find('k') == std::string::npos) {
      EXPECT_TRUE(writer.kill()) << "the writer failed";
    }
    EXPECT_EQ(committedState(original / kStoreName).substr(0, 3), "ok ");
  }
}
