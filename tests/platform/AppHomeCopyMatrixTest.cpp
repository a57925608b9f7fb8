#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/addressbook/AddressBook.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/SharedFileCopies.h"
#include "support/CommandedChild.h"
#include "support/CountingStore.h"
#include "support/DamagedAddressBook.h"
#include "support/HomeCopy.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;

// The SQLite stores of an app home, where the app keeps them, and the
// journal each keeps there.
struct HomeStore {
  const char* path;
  const char* journal;
};
const HomeStore kStores[] = {
    {"Library/AddressBook/AddressBook.sqlitedb", "WAL"},
    {"Documents/lumora.db", "DELETE"},
    {"Documents/gallery.db", "WAL"},
    {"Documents/database.sqlite", "WAL"},
    {"Media/PhotoData/Photos.sqlite", "DELETE"},
};
constexpr int kMatrixRows = 120;

bool isJournal(const std::string& name) {
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    if (name.ends_with(suffix)) return true;
  }
  return false;
}

using Stores = std::span<const HomeStore>;

// Makes the stores `stores` of a home at `root`, each keeping `journal`, or
// the journal the app has it keep when null.
void makeStores(const fs::path& root, Stores stores, const char* journal) {
  for (const HomeStore& store : stores) {
    ASSERT_TRUE(testsupport::makeCountingStore(root / store.path, journal ? journal : store.journal, kMatrixRows));
  }
}

// What each store `stores` of the home at `root` holds (see
// countingStoreState).
std::map<std::string, std::string> storeStates(const fs::path& root, Stores stores) {
  std::map<std::string, std::string> states;
  for (const HomeStore& store : stores) {
    states[store.path] = testsupport::countingStoreState(root / store.path, kMatrixRows);
  }
  return states;
}

// Every store `stores` holding the state of `commits` commits.
std::map<std::string, std::string> allCommitted(Stores stores, int commits) {
  std::map<std::string, std::string> states;
  for (const HomeStore& store : stores) states[store.path] = "ok " + std::to_string(commits);
  return states;
}

// The files of `root` that are not its own alone, or that a start left
// behind: a leftover (a name beginning with a dot but the lock file's), a
// record of renames.
std::set<std::string> strayFiles(const fs::path& root) {
  std::set<std::string> stray = testsupport::filesWithSecondNames(root);
  for (const auto& [name, bytes] : testsupport::homeFiles(root)) {
    if (fs::path(name).filename().native().front() == '.' && name != ".lumora.lock") stray.insert(name);
  }
  return stray;
}

// The writer: claims the home named in LUMORA_TEST_WRITER_HOME, opens its
// stores as the app does (its log never copied in but by a command), and
// answers each command (one byte) once done on every store:
//   c  commits a count up of two rows;
//   h  counts up half the rows and holds the transaction open, its pages
//      written out before the commit (to the store's file or its log);
//   q  closes the stores, as the app does when it quits.
// Any failure ends it with status 3.
TEST(AppHomeCopyWriterChild, Writes) {
  const char* home = std::getenv("LUMORA_TEST_WRITER_HOME");
  if (home == nullptr) GTEST_SKIP();
  platform::AppHome::setRoot(home);
  if (!platform::AppHome::claim().ok()) _exit(3);
  std::vector<sqlite3*> stores;
  for (const HomeStore& store : kStores) {
    // The stores the home has.
    if (!fs::exists(fs::path(home) / store.path)) continue;
    sqlite3* db = nullptr;
    if (sqlite3_open((fs::path(home) / store.path).c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA synchronous=OFF; PRAGMA wal_autocheckpoint=0", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
      _exit(3);
    }
    sqlite3_busy_timeout(db, 60000);
    stores.push_back(db);
  }
  const int in = testsupport::CommandedChild::commandsIn();
  const int out = testsupport::CommandedChild::answersOut();
  for (char command; read(in, &command, 1) == 1;) {
    for (sqlite3*& db : stores) {
      if (command == 'c' && !testsupport::commitCount(db, kMatrixRows)) _exit(3);
      if (command == 'h' && !testsupport::holdCount(db, kMatrixRows / 2)) _exit(3);
      if (command == 'q') {
        if (sqlite3_close(db) != SQLITE_OK) _exit(3);
        db = nullptr;
      }
    }
    if (write(out, ".", 1) != 1) _exit(3);
  }
  _exit(0);
}

class HomeWriter : public testsupport::CommandedChild {
 public:
  explicit HomeWriter(const fs::path& home)
      : CommandedChild("AppHomeCopyWriterChild.Writes", {{"LUMORA_TEST_WRITER_HOME", home.string()}}) {}
};

// How a home is left when it is copied: its app quit, killed (after two
// commits, a third one under way: in the log, or its pages in the store
// with its journal hot), or running (idle after two commits, its log not
// copied in).
enum class Left { Closed, Killed, Running };

// Leaves the home at `home` (its stores made) as `left` says, through
// `writer`; the commits that hold.
int leave(HomeWriter& writer, Left left) {
  EXPECT_TRUE(writer.send("cc"));
  if (left == Left::Closed) {
    EXPECT_TRUE(writer.send("q"));
  }
  if (left == Left::Killed) {
    EXPECT_TRUE(writer.send("h"));
  }
  if (left != Left::Running) {
    EXPECT_TRUE(writer.kill());
  }
  return 2;
}

// How a copy of a home is made. rsync is not among the test's tools: the
// copies are made here as each tool leaves them, by which files are new
// copies and which are second names of which.
// - cp -a, and rsync -a: every file a new copy, the lock file too.
// - cp -al: every file a second name of the home's.
// - cp -al home/* copy/: the same without the hidden lock file.
// - rsync -a --link-dest=PREVIOUS: a file that did not change since the
//   previous backup is a second name of the previous backup's (which is a
//   copy of it), the others new copies: the stores unchanged and their
//   journal files changed, or the other way round.
enum class Tool { Copies, HardLinks, HardLinksButTheLockFile, LinkingStores, LinkingJournals };

// Copies `from` to `to` as `tool` does, `previous` the previous backup.
void copyHome(Tool tool, const fs::path& from, const fs::path& to, const fs::path& previous) {
  if (tool == Tool::HardLinks || tool == Tool::HardLinksButTheLockFile) {
    const std::set<std::string> leftOut =
        tool == Tool::HardLinks ? std::set<std::string>{} : std::set<std::string>{".lumora.lock"};
    ASSERT_TRUE(testsupport::copyWithHardLinks(from, to, leftOut));
    return;
  }
  const std::function<bool(const std::string&)> unchanged = [tool](const std::string& name) {
    const bool store = name.ends_with(".sqlitedb") || name.ends_with(".db") || name.ends_with(".sqlite");
    return tool == Tool::LinkingStores ? store : tool == Tool::LinkingJournals && isJournal(name);
  };
  for (const auto& [name, bytes] : testsupport::homeFiles(from)) {
    fs::create_directories((to / name).parent_path());
    if (!unchanged(name)) {
      testsupport::writeFile(to / name, bytes);
      continue;
    }
    if (!fs::exists(previous / name)) testsupport::writeFile(previous / name, bytes);
    fs::create_hard_link(previous / name, to / name);
  }
}

const char* nameOf(Tool tool) {
  switch (tool) {
    case Tool::Copies:
      return "cp -a or rsync -a";
    case Tool::HardLinks:
      return "cp -al";
    case Tool::HardLinksButTheLockFile:
      return "cp -al home/*";
    case Tool::LinkingStores:
      return "rsync --link-dest, the stores linked";
    case Tool::LinkingJournals:
      return "rsync --link-dest, the journal files linked";
  }
  return "";
}

const Tool kTools[] = {Tool::Copies, Tool::HardLinks, Tool::HardLinksButTheLockFile, Tool::LinkingStores,
                       Tool::LinkingJournals};

// The claim of `root` (the root the test home's again afterwards).
platform::Status claimAt(const fs::path& root, const fs::path& back) {
  platform::AppHome::setRoot(root);
  platform::Status claimed = platform::AppHome::claim();
  platform::AppHome::setRoot(back);
  return claimed;
}

}  // namespace

// A copy of a home, made with any tool a user copies a home with, of a
// home whose app quit, was killed or runs, each store of it keeping a log
// or a rollback journal, holds after its first start every transaction
// committed in the files it holds and none other, every store passing
// SQLite's integrity check, and owns each of its files alone, while the
// homes it shares files with stay byte for byte as they were. A copy that
// shares the lock file of a home in use waits its turn.
TEST(AppHomeCopyMatrix, ACopyHoldsEveryTransactionCommittedInItsFiles) {
  for (const char* journal : {"WAL", "DELETE"}) {
    for (const Left left : {Left::Closed, Left::Killed, Left::Running}) {
      SCOPED_TRACE(std::string(journal) + (left == Left::Closed   ? ", closed"
                                           : left == Left::Killed ? ", killed"
                                                                  : ", running"));
      testsupport::TestHome home;
      const fs::path original = home.root() / "original";
      makeStores(original, kStores, journal);
      HomeWriter writer(original);
      const int commits = leave(writer, left);
      for (const Tool tool : kTools) {
        SCOPED_TRACE(nameOf(tool));
        const fs::path copy = home.root() / (std::string("copy-") + std::to_string(static_cast<int>(tool)));
        const fs::path previous = home.root() / (std::string("previous-") + std::to_string(static_cast<int>(tool)));
        copyHome(tool, original, copy, previous);
        const auto originalFiles = testsupport::homeFiles(original);
        const auto previousFiles = testsupport::homeFiles(previous);
        const platform::Status claimed = claimAt(copy, home.root());
        EXPECT_TRUE(testsupport::homeFiles(original) == originalFiles);
        EXPECT_TRUE(testsupport::homeFiles(previous) == previousFiles);
        if (tool == Tool::HardLinks && left == Left::Running) {
          ASSERT_FALSE(claimed.ok());
          EXPECT_EQ(claimed.error().code(), EWOULDBLOCK);
          continue;
        }
        ASSERT_TRUE(claimed.ok()) << claimed.error().description();
        EXPECT_EQ(strayFiles(copy), std::set<std::string>{});
        EXPECT_EQ(storeStates(copy, kStores), allCommitted(kStores, commits));
      }
      if (left == Left::Running) {
        EXPECT_TRUE(writer.kill()) << "the writer failed";
      }
    }
  }
}

// The start of a copy: claims the home named in LUMORA_TEST_CLAIM_HOME, and
// is killed at the step of its copies numbered LUMORA_TEST_CLAIM_KILL_AT (1
// the first); ends 0 when it claimed the home before that step, 3 when the
// claim failed.
TEST(AppHomeCopyClaimChild, Claims) {
  const char* home = std::getenv("LUMORA_TEST_CLAIM_HOME");
  if (home == nullptr) GTEST_SKIP();
  const int killAt = std::atoi(std::getenv("LUMORA_TEST_CLAIM_KILL_AT"));
  int steps = 0;
  platform::SharedFileCopies::setStepHookForTesting([&](platform::SharedFileCopies::Step, const fs::path&) {
    if (++steps == killAt) raise(SIGKILL);
  });
  platform::AppHome::setRoot(home);
  _exit(platform::AppHome::claim().ok() ? 0 : 3);
}

namespace {

// Starts the home at `root` in a child killed at its step `killAt`; whether
// it was killed there (else it ended by itself, claiming the home).
bool startKilledAt(const fs::path& root, int killAt) {
  testsupport::CommandedChild start(
      "AppHomeCopyClaimChild.Claims",
      {{"LUMORA_TEST_CLAIM_HOME", root.string()}, {"LUMORA_TEST_CLAIM_KILL_AT", std::to_string(killAt)}});
  const int status = start.wait();
  EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}  // namespace

// A start killed at any step of making its files its own (a copy made, a
// store's stage made or its journals brought in, the renames recorded, a
// journal file removed, a copy renamed), and even again at the first step
// of the next, is completed by the start after it: the copy holds every
// transaction committed in its files, none lost with the journal files the
// killed start removed. Its stores keep logs and rollback journals, shared
// with the other home (`cp -al home/*`) or its own (a backup that links the
// stores it did not see change).
TEST(AppHomeCopyMatrix, AStartKilledAtAnyStepOfItsCopiesIsCompletedByTheNext) {
  // A store of each journal (every step a start takes for one store it
  // takes for each).
  const Stores stores(kStores, 2);
  testsupport::TestHome home;
  const fs::path original = home.root() / "original";
  makeStores(original, stores, nullptr);
  {
    HomeWriter writer(original);
    leave(writer, Left::Killed);
  }
  const auto originalFiles = testsupport::homeFiles(original);
  for (const Tool tool : {Tool::HardLinksButTheLockFile, Tool::LinkingStores}) {
    SCOPED_TRACE(nameOf(tool));
    const fs::path previous = home.root() / "previous";
    bool killed = true;
    for (int step = 1; killed; ++step) {
      SCOPED_TRACE("killed at step " + std::to_string(step));
      // A root of its own each time: this process holds each it claimed.
      const fs::path copy =
          home.root() / ("copy-" + std::to_string(static_cast<int>(tool)) + "-" + std::to_string(step));
      copyHome(tool, original, copy, previous);
      const auto previousFiles = testsupport::homeFiles(previous);
      killed = startKilledAt(copy, step);
      // Killed again as it completes what the first left (the completion
      // is the same whatever the copies).
      if (killed && tool == Tool::LinkingStores && fs::exists(copy / ".lumora.renames")) startKilledAt(copy, 1);
      const platform::Status claimed = claimAt(copy, home.root());
      ASSERT_TRUE(claimed.ok()) << claimed.error().description();
      EXPECT_EQ(strayFiles(copy), std::set<std::string>{});
      EXPECT_EQ(storeStates(copy, stores), allCommitted(stores, 2));
      EXPECT_TRUE(testsupport::homeFiles(original) == originalFiles);
      EXPECT_TRUE(testsupport::homeFiles(previous) == previousFiles);
      ASSERT_LT(step, 200) << "a start that never ends";
      fs::remove_all(copy);
    }
    fs::remove_all(previous);
  }
}

// A store the app keeps in rollback mode is copied held as its readers hold
// it, even where the journal at its name is this home's alone: a writer
// through the other home's name waits for the copy, and has none of its
// pages written in the store while it is copied.
TEST(AppHomeCopyMatrix, AStoreInRollbackModeIsHeldWhileItIsCopied) {
  const Stores stores(kStores + 1, 1);
  ASSERT_STREQ(stores[0].journal, "DELETE");
  testsupport::TestHome home;
  const fs::path original = home.root() / "original";
  makeStores(original, stores, nullptr);
  {
    HomeWriter writer(original);
    leave(writer, Left::Killed);
  }
  const fs::path previous = home.root() / "previous";
  const fs::path copy = home.root() / "copy";
  copyHome(Tool::LinkingStores, original, copy, previous);
  int probes = 0;
  platform::SharedFileCopies::setStepHookForTesting([&](platform::SharedFileCopies::Step step, const fs::path& file) {
    if (step != platform::SharedFileCopies::Step::Copied || file != copy / stores[0].path) return;
    ++probes;
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open((previous / stores[0].path).c_str(), &writer), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_BUSY);
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
  });
  const platform::Status claimed = claimAt(copy, home.root());
  platform::SharedFileCopies::setStepHookForTesting(nullptr);
  ASSERT_TRUE(claimed.ok()) << claimed.error().description();
  EXPECT_EQ(probes, 1);
  EXPECT_EQ(storeStates(copy, stores), allCommitted(stores, 2));
}

// A store that SQLite finds damaged is copied byte for byte as it lies,
// whatever it keeps; the journal files here that are this home's alone
// stay beside it as they were.
TEST(AppHomeCopyMatrix, ADamagedStoreIsCopiedAsItLies) {
  for (const char* journal : {"WAL", "DELETE"}) {
    SCOPED_TRACE(journal);
    const Stores stores(kStores, 1);
    testsupport::TestHome home;
    const fs::path original = home.root() / "original";
    makeStores(original, stores, journal);
    {
      HomeWriter writer(original);
      leave(writer, Left::Killed);
    }
    // A page size no store has.
    const fs::path store = original / stores[0].path;
    platform::Bytes bytes = testsupport::readFile(store);
    bytes[16] = 0;
    bytes[17] = 3;
    testsupport::writeFile(store, bytes);
    const fs::path previous = home.root() / "previous";
    const fs::path copy = home.root() / "copy";
    copyHome(Tool::LinkingStores, original, copy, previous);
    const auto files = testsupport::homeFiles(copy);
    const platform::Status claimed = claimAt(copy, home.root());
    ASSERT_TRUE(claimed.ok()) << claimed.error().description();
    EXPECT_EQ(strayFiles(copy), std::set<std::string>{});
    EXPECT_TRUE(testsupport::homeFiles(copy) == files);
  }
}

// The app's own writer of its address book: makes the book of the home in
// LUMORA_TEST_BOOK_HOME with 3 people, closed, then saves 200 more and,
// asked anything, answers and stays until it is killed (its log not copied
// into the store).
TEST(AppHomeCopyBookChild, Saves) {
  const char* home = std::getenv("LUMORA_TEST_BOOK_HOME");
  if (home == nullptr) GTEST_SKIP();
  platform::AppHome::setRoot(home);
  if (!platform::AppHome::claim().ok()) _exit(3);
  testsupport::makeWholeAddressBook(3);
  auto book = platform::addressbook::AddressBook::create();
  if (!book.ok()) _exit(3);
  namespace ab = platform::addressbook;
  for (int i = 0; i < 200; ++i) {
    auto person = (*book)->createPerson((*book)->sourceWithId(ab::kLocalSourceId));
    if (!person.ok() || !person->setValue(ab::PersonProperty::FirstName, "Saved " + std::to_string(i)).ok()) _exit(3);
  }
  if (!(*book)->save().ok()) _exit(3);
  const int in = testsupport::CommandedChild::commandsIn();
  const int out = testsupport::CommandedChild::answersOut();
  for (char command; read(in, &command, 1) == 1;) {
    if (write(out, ".", 1) != 1) _exit(3);
  }
  _exit(0);
}

// The address book of an app killed after it saved, in a snapshot by a
// backup that linked its store (unchanged since the previous backup) and
// copied its log: the copy's book holds every person saved, read as the
// app reads its book.
TEST(AppHomeCopyMatrix, AnAddressBookSavedBeforeItsAppWasKilledIsWholeInABackupThatLinkedItsStore) {
  testsupport::TestHome home;
  const fs::path original = home.root() / "original";
  {
    testsupport::CommandedChild app("AppHomeCopyBookChild.Saves", {{"LUMORA_TEST_BOOK_HOME", original.string()}});
    ASSERT_TRUE(app.send("."));
    ASSERT_TRUE(app.kill());
  }
  ASSERT_TRUE(fs::exists(original / "Library" / "AddressBook" / "AddressBook.sqlitedb-wal"));
  const fs::path previous = home.root() / "previous";
  const fs::path copy = home.root() / "copy";
  copyHome(Tool::LinkingStores, original, copy, previous);
  const auto previousFiles = testsupport::homeFiles(previous);
  platform::AppHome::setRoot(copy);
  ASSERT_TRUE(platform::AppHome::claim().ok());
  {
    auto book = platform::addressbook::AddressBook::create();
    ASSERT_TRUE(book.ok());
    EXPECT_EQ((*book)->people().size(), 203u);
  }
  platform::AppHome::setRoot(home.root());
  EXPECT_TRUE(testsupport::homeFiles(previous) == previousFiles);
}
