#include <gtest/gtest.h>

#include <unistd.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/storage/AppHome.h"
#include "support/CommandedChild.h"
#include "support/CountingStore.h"
#include "support/HomeCopy.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;

const char* const kStoreName = "Documents/lumora.db";
// Rows of a kilobyte each: a copy of the store takes many times longer
// than one of the writer's commits.
constexpr int kRows = 4000;

// The writer: claims the home named in LUMORA_TEST_WRITER_HOME and answers
// each command (one byte) once done:
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
  const int in = testsupport::CommandedChild::commandsIn();
  const int out = testsupport::CommandedChild::answersOut();
  platform::AppHome::setRoot(home);
  if (!platform::AppHome::claim().ok()) _exit(3);
  sqlite3* db = nullptr;
  const auto open = [&] {
    if (sqlite3_open((fs::path(home) / kStoreName).c_str(), &db) != SQLITE_OK) _exit(3);
    sqlite3_busy_timeout(db, 60000);
    if (sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr) != SQLITE_OK) _exit(3);
  };
  const auto commit = [&] {
    if (!testsupport::commitCount(db, kRows)) _exit(3);
  };
  open();
  for (char command; read(in, &command, 1) == 1;) {
    if (command == 'c' || command == 'b') commit();
    if (command == 'h' && !testsupport::holdCount(db, kRows / 2)) _exit(3);
    if (command == 'e' && !testsupport::commitHeld(db)) _exit(3);
    if (command == 'r') {
      sqlite3_close(db);
      open();
    }
    if (command == 'p' && sqlite3_exec(db, "PRAGMA wal_checkpoint", nullptr, nullptr, nullptr) != SQLITE_OK) _exit(3);
    if (write(out, ".", 1) != 1) _exit(3);
    while (command == 'b') commit();
  }
  sqlite3_close(db);
  _exit(0);
}

// A process writing the store of `home` as its app.
class Writer : public testsupport::CommandedChild {
 public:
  explicit Writer(const fs::path& home)
      : CommandedChild("AppHomeStoreWriterChild.Writes", {{"LUMORA_TEST_WRITER_HOME", home.string()}}) {}
};

std::string committedState(const fs::path& file) { return testsupport::countingStoreState(file, kRows); }

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
      {"its log let go of as its writer closed the store", "WAL", "cc", "r", 1},
      {"its journal let go of at its commit", "DELETE", "ch", "e", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestHome home;
    const fs::path original = home.root() / "original";
    ASSERT_TRUE(testsupport::makeCountingStore(original / kStoreName, c.journal, kRows));
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
