#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>
#include <vector>
#include <thread>

#include "platform/addressbook/AddressBook.h"
#include "platform/device/Device.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/SharedFileCopies.h"
#include "support/DamagedAddressBook.h"
#include "support/HomeCopy.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

using platform::Device;
using platform::DeviceFacts;

class DeviceTest : public ::testing::Test {
 protected:
  ~DeviceTest() override { Device::configure(saved_); }
  DeviceFacts saved_ = Device::configured();
};

TEST_F(DeviceTest, ConfiguredFactsWinAndUnsetOnesFallBack) {
  struct utsname info {};
  ASSERT_EQ(uname(&info), 0);

  Device::configure(DeviceFacts{});
  EXPECT_EQ(Device::sysInfo("hw.machine"), std::string(info.machine));
  EXPECT_EQ(Device::sysInfo("kern.ostype"), std::string(info.sysname));
  EXPECT_EQ(Device::sysInfo("kern.osrelease"), std::string(info.release));
  EXPECT_EQ(Device::sysInfo("kern.osversion"), std::string(info.version));
  EXPECT_EQ(Device::sysInfo("hw.nosuchparameter"), std::nullopt);
  EXPECT_EQ(Device::model(), "iPhone");
  EXPECT_EQ(Device::systemName(), "iPhone OS");
  EXPECT_EQ(Device::systemVersion(), "9.3");
  EXPECT_EQ(Device::name(), std::string(info.nodename));

  DeviceFacts facts;
  facts.modelIdentifier = "iPhone7,2";
  facts.model = "iPad";
  facts.systemName = "Phone OS";
  facts.systemVersion = "8.1";
  facts.name = "Test phone";
  facts.systemBuild = "13E233";
  Device::configure(facts);
  EXPECT_EQ(Device::sysInfo("hw.machine"), "iPhone7,2");
  EXPECT_EQ(Device::sysInfo("kern.osversion"), "13E233");
  EXPECT_EQ(Device::sysInfo("kern.ostype"), std::string(info.sysname));  // not configurable
  EXPECT_EQ(Device::model(), "iPad");
  EXPECT_EQ(Device::systemName(), "Phone OS");
  EXPECT_EQ(Device::systemVersion(), "8.1");
  EXPECT_EQ(Device::name(), "Test phone");
}

TEST(Device, ProcessNamesComeFromTheProcessTable) {
  std::ifstream comm("/proc/self/comm");
  std::string own;
  std::getline(comm, own);
  EXPECT_EQ(Device::processName(getpid()), own);
  EXPECT_TRUE(Device::processName(getppid()).has_value());
  EXPECT_EQ(Device::processName(0), std::nullopt);
  EXPECT_EQ(Device::processName(-1), std::nullopt);
}

TEST(AppHome, FoldersLieUnderTheRootAndAreCreatedOnUse) {
  testsupport::TestHome home;
  namespace fs = std::filesystem;
  EXPECT_EQ(platform::AppHome::root(), home.root());
  EXPECT_FALSE(fs::exists(home.root() / "Library"));
  EXPECT_EQ(platform::AppHome::documents(), home.root() / "Documents");
  EXPECT_EQ(platform::AppHome::caches(), home.root() / "Library" / "Caches");
  EXPECT_EQ(platform::AppHome::preferences(), home.root() / "Library" / "Preferences");
  EXPECT_EQ(platform::AppHome::tmp(), home.root() / "tmp");
  for (const char* folder : {"Documents", "Library/Caches", "Library/Preferences", "tmp"}) {
    EXPECT_TRUE(fs::is_directory(home.root() / folder)) << folder;
  }
}

// The home holds tokens and contacts: other users get no way in, and what a
// crash left half-written is cleared at the start.
TEST(AppHome, HomeIsPrivateAndAtomicWriteLeftoversAreCleared) {
  testsupport::TestHome home;
  namespace fs = std::filesystem;
  const auto mode = [](const fs::path& path) {
    return fs::symlink_status(path).permissions() & fs::perms::mask;
  };
  // What an earlier version left: open folders and files, a dead write.
  const fs::path prefs = home.root() / "Library" / "Preferences";
  fs::create_directories(prefs);
  fs::permissions(home.root(), fs::perms(0755));
  fs::permissions(home.root() / "Library", fs::perms(0755));
  for (const char* name : {"app.plist", ".app.plist.Ab12Cd", ".keep", ".app.plist.old"}) {
    std::ofstream(prefs / name) << "x";
    fs::permissions(prefs / name, fs::perms(0644));
  }

  // A file of someone else's linked in: a mode is the file's under every
  // name, so it keeps its own.
  const fs::path theirs = home.sharedDirectory() / "theirs.plist";
  std::ofstream(theirs) << "x";
  fs::permissions(theirs, fs::perms(0644));
  fs::create_hard_link(theirs, prefs / "linked.plist");

  ASSERT_EQ(platform::AppHome::root(), home.root());
  EXPECT_EQ(mode(theirs), fs::perms(0644));
  EXPECT_EQ(mode(home.root()), fs::perms(0700));
  EXPECT_EQ(mode(home.root() / "Library"), fs::perms(0700));
  EXPECT_EQ(mode(prefs / "app.plist"), fs::perms(0600));
  EXPECT_FALSE(fs::exists(prefs / ".app.plist.Ab12Cd"));
  EXPECT_TRUE(fs::exists(prefs / ".keep"));
  EXPECT_TRUE(fs::exists(prefs / ".app.plist.old"));

  // Files and folders made from now on are private, SQLite databases too.
  const fs::path db = platform::AppHome::documents() / "store.sqlite";
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);
  EXPECT_EQ(mode(db), fs::perms(0600));
  EXPECT_EQ(mode(platform::AppHome::caches()), fs::perms(0700));
}

}  // namespace

namespace {

// What a refused claim must leave of a home: each file's bytes, mode and
// number of names.
std::map<std::string, std::tuple<platform::Bytes, std::filesystem::perms, std::uintmax_t>> asItLies(
    const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::tuple<platform::Bytes, fs::perms, std::uintmax_t>> files;
  for (const auto& [name, bytes] : testsupport::homeFiles(root)) {
    files[name] = {bytes, fs::status(root / name).permissions(), fs::hard_link_count(root / name)};
  }
  return files;
}

// The errno of a failed claim, 0 for one that held.
std::int64_t claimFailure() {
  const platform::Status claimed = platform::AppHome::claim();
  return claimed.ok() ? 0 : claimed.error().code();
}

// A claim of `root` refused as in use, every file of it left as it lies;
// `root` is the root from then on.
void expectRefusedLeavingItAsItLies(const std::filesystem::path& root) {
  const auto before = asItLies(root);
  platform::AppHome::setRoot(root);
  EXPECT_EQ(claimFailure(), EWOULDBLOCK);
  EXPECT_TRUE(asItLies(root) == before);
}

// Another process that claims the app home `root` and holds it until it is
// told to quit.
class OtherProcess {
 public:
  explicit OtherProcess(const std::filesystem::path& root) {
    if (pipe(ready_) != 0 || pipe(done_) != 0) return;
    child_ = fork();
    if (child_ == 0) {
      platform::AppHome::setRoot(root);
      char byte = platform::AppHome::claim().ok() ? 'y' : 'n';
      if (write(ready_[1], &byte, 1) != 1) _exit(2);
      if (read(done_[0], &byte, 1) != 1) _exit(2);
      _exit(0);
    }
    char byte = 0;
    claimed_ = child_ > 0 && read(ready_[0], &byte, 1) == 1 && byte == 'y';
  }
  ~OtherProcess() { quit(); }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;

  bool claimed() const { return claimed_; }
  void quit() {
    if (child_ > 0) {
      if (write(done_[1], "x", 1) != 1) kill(child_, SIGKILL);
      int status = 0;
      waitpid(child_, &status, 0);
      child_ = -1;
    }
    for (int* fd : {&ready_[0], &ready_[1], &done_[0], &done_[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

 private:
  int ready_[2] = {-1, -1};
  int done_[2] = {-1, -1};
  pid_t child_ = -1;
  bool claimed_ = false;
};

}  // namespace

// One process per home: a second process is refused while the first lives,
// on the home or on a copy of it made with hard links (one of an earlier
// version too, which locks only the lock file), and the refused claim
// changes nothing; a copy started once the other has quit is a home of its
// own; a home that is not a writable folder is found before any work.
TEST(AppHome, ClaimRefusesASecondProcessAndAnUnusableHome) {
  namespace fs = std::filesystem;
  testsupport::TestHome home;
  OtherProcess other(home.root());
  ASSERT_TRUE(other.claimed());
  // The running app writes (its temporary) files of open modes: a second
  // launch is refused and leaves them as they lie, and so is a copy of the
  // home made now.
  const fs::path prefs = home.root() / "Library" / "Preferences";
  fs::create_directories(prefs);
  for (const char* name : {"app.plist", ".app.plist.Ab12Cd"}) {
    std::ofstream(prefs / name) << "x";
    fs::permissions(prefs / name, fs::perms(0644));
  }
  expectRefusedLeavingItAsItLies(home.root());
  const fs::path copy = home.root() / "copy";
  ASSERT_TRUE(testsupport::copyWithHardLinks(home.root(), copy, {"copy"}));
  expectRefusedLeavingItAsItLies(copy);

  other.quit();
  // Free now, the copy becomes a home of its own, lock file and all.
  EXPECT_TRUE(platform::AppHome::claim().ok());
  EXPECT_TRUE(platform::AppHome::claim().ok());  // held already
  EXPECT_EQ(testsupport::filesWithSecondNames(copy), std::set<std::string>{});
  EXPECT_EQ(fs::status(copy / "Library" / "Preferences" / "app.plist").permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(prefs / "app.plist").permissions(), fs::perms(0644));
  platform::AppHome::setRoot(home.root());
  EXPECT_TRUE(platform::AppHome::claim().ok());

  // A process of an earlier version locks only the lock file, here under
  // another name as well (a copy of its home).
  const fs::path earlier = home.root() / "earlier";
  fs::create_directories(earlier);
  const int held = open((earlier / ".lumora.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const fs::path earlierCopy = home.root() / "earlier-copy";
  ASSERT_TRUE(testsupport::copyWithHardLinks(earlier, earlierCopy));
  for (const fs::path& root : {earlier, earlierCopy}) {
    platform::AppHome::setRoot(root);
    EXPECT_EQ(claimFailure(), EWOULDBLOCK) << root;
  }
  EXPECT_EQ(fs::hard_link_count(earlier / ".lumora.lock"), 2u);
  close(held);

  std::ofstream(home.root() / "plain-file") << "x";
  platform::AppHome::setRoot(home.root() / "plain-file");
  EXPECT_FALSE(platform::AppHome::claim().ok());
  platform::AppHome::setRoot(home.root());
}

// A used home copied with hard links (a snapshot before a risky step, a
// backup that links what it did not see change) is a home of its own from
// its first start: every file of the program's own with a second name,
// its stores and their journals, the library's catalogue, a file of the
// user's linked in at a program file's name, becomes a file of that name
// alone, with its bytes and mode (a store, what was committed to it; the
// start then tightens its own), while the other names keep theirs and the
// user's photos stay as they are.
// People removed in one home stay in the other.
TEST(AppHome, ACopyMadeWithHardLinksIsAHomeOfItsOwnFromItsFirstStart) {
  namespace fs = std::filesystem;
  testsupport::TestHome home;
  const fs::path original = home.root() / "original";
  platform::AppHome::setRoot(original);
  testsupport::makeWholeAddressBook(3);
  const fs::path theirs = home.sharedDirectory() / "notes.txt";
  testsupport::writeFile(theirs, platform::Bytes{'n'});
  fs::permissions(theirs, fs::perms(0644));
  fs::create_hard_link(theirs, platform::AppHome::caches() / "notes.txt");
  testsupport::writeFile(original / "Media" / "IMG_0001.JPG", platform::Bytes{'j'});
  testsupport::writeFile(original / "Media" / "PhotoData" / "Photos.sqlite", platform::Bytes{'p'});
  testsupport::writeFile(original / ".lumora.lock", {});
  const fs::path copy = home.root() / "copy";
  ASSERT_TRUE(testsupport::copyWithHardLinks(original, copy));
  ASSERT_EQ(testsupport::filesWithSecondNames(copy).size(), 5u);
  const auto before = testsupport::homeFiles(original);

  platform::AppHome::setRoot(copy);
  ASSERT_TRUE(platform::AppHome::claim().ok());
  EXPECT_EQ(testsupport::filesWithSecondNames(copy), std::set<std::string>{"Media/IMG_0001.JPG"});
  EXPECT_TRUE(testsupport::filesOtherThanStores(copy) == testsupport::filesOtherThanStores(original));
  EXPECT_EQ(fs::status(copy / "Library" / "Caches" / "notes.txt").permissions(), fs::perms(0600));
  {
    auto book = platform::addressbook::AddressBook::create();
    ASSERT_TRUE(book.ok());
    EXPECT_EQ((*book)->people().size(), 3u);
    for (const auto& person : (*book)->people()) ASSERT_TRUE((*book)->removeRecord(person).ok());
    ASSERT_TRUE((*book)->save().ok());
  }
  EXPECT_TRUE(testsupport::homeFiles(original) == before);
  platform::AppHome::setRoot(original);
  ASSERT_TRUE(platform::AppHome::claim().ok());
  auto originalBook = platform::addressbook::AddressBook::create();
  ASSERT_TRUE(originalBook.ok());
  EXPECT_EQ((*originalBook)->people().size(), 3u);
  EXPECT_EQ(fs::status(theirs).permissions(), fs::perms(0644));
  EXPECT_EQ(testsupport::readFile(theirs), platform::Bytes{'n'});
  EXPECT_EQ(fs::hard_link_count(original / "Media" / "IMG_0001.JPG"), 2u);
}

// A home and, beside it, where a copy of it goes; the root is the test
// home's again afterwards.
class AppHomeCopy : public ::testing::Test {
 protected:
  ~AppHomeCopy() override { platform::AppHome::setRoot(home_.root()); }

  testsupport::TestHome home_;
  const std::filesystem::path original_ = home_.root() / "original";
  const std::filesystem::path copy_ = home_.root() / "copy";
};

// A start that finds its lock file shared with a copy of its home (made
// before it, or in the instant between its lock and its walk of the home)
// gives its home a lock file of its own but holds on to the one it started
// with: the copy waits its turn until that process quits, and is then a
// home of its own.
TEST_F(AppHomeCopy, ACopySharingTheLockFileAStartReplacedWaitsUntilThatProcessQuits) {
  namespace fs = std::filesystem;
  const fs::path& original = original_;
  const fs::path& copy = copy_;
  testsupport::writeFile(original / "Documents" / "lumora.db", platform::Bytes{'d'});
  testsupport::writeFile(original / ".lumora.lock", {});
  ASSERT_TRUE(testsupport::copyWithHardLinks(original, copy));
  OtherProcess other(original);
  ASSERT_TRUE(other.claimed());
  EXPECT_EQ(testsupport::filesWithSecondNames(original), std::set<std::string>{});
  expectRefusedLeavingItAsItLies(copy);

  other.quit();
  EXPECT_TRUE(platform::AppHome::claim().ok());
  EXPECT_EQ(testsupport::readFile(copy / "Documents" / "lumora.db"), platform::Bytes{'d'});
}

// A start cut short in its copy of a shared store left that copy beside it
// under a leftover's name, as large as the store: the next start clears it,
// and every leftover of the program's own, before it copies anything, so
// that a disk nearly full has the room again; the user's files in Media
// stay. The size of the copies to make is told before they are made.
TEST_F(AppHomeCopy, AStartClearsTheLeftoversOfOneCutShortBeforeItCopies) {
  namespace fs = std::filesystem;
  const fs::path& original = original_;
  const fs::path& copy = copy_;
  testsupport::writeFile(original / "Documents" / "lumora.db", platform::Bytes(1000, 'd'));
  testsupport::writeFile(original / "Media" / "PhotoData" / "Photos.sqlite", platform::Bytes(10, 'p'));
  testsupport::writeFile(original / "Media" / ".IMG_0009.JPG.Ab12Cd", platform::Bytes{'u'});
  testsupport::writeFile(original / ".lumora.lock", {});
  ASSERT_TRUE(testsupport::copyWithHardLinks(original, copy));
  const fs::path leftovers[] = {copy / "Documents" / ".lumora.db.Xy12Ab", copy / "..lumora.lock.Zx56Cv",
                                copy / "Media" / "PhotoData" / ".Photos.sqlite.Qw34Er"};
  for (const fs::path& leftover : leftovers) testsupport::writeFile(leftover, platform::Bytes(1000, 'l'));

  platform::AppHome::setRoot(copy);
  std::vector<std::uintmax_t> told;
  std::set<std::string> leftBeforeCopying;
  ASSERT_TRUE(platform::AppHome::claim([&](std::uintmax_t bytes) {
                told.push_back(bytes);
                for (const fs::path& leftover : leftovers) {
                  if (fs::exists(fs::symlink_status(leftover))) leftBeforeCopying.insert(leftover.filename());
                }
              }).ok());
  EXPECT_EQ(told, std::vector<std::uintmax_t>{1010});
  EXPECT_EQ(leftBeforeCopying, std::set<std::string>{});
  EXPECT_EQ(testsupport::filesWithSecondNames(copy), std::set<std::string>{"Media/.IMG_0009.JPG.Ab12Cd"});
  EXPECT_TRUE(testsupport::homeFiles(copy) == testsupport::homeFiles(original));
}

// The lock file takes its file of its own last, once every other copy has
// taken its name: a start killed between the renames leaves the copy's lock
// file shared still, so the copy stays refused while the other home's
// process runs, and never copies a store that process writes.
TEST_F(AppHomeCopy, TheLockFileIsTheLastOfAHomesSharedFilesToBeMadeItsOwn) {
  namespace fs = std::filesystem;
  const fs::path& original = original_;
  const fs::path& copy = copy_;
  for (const char* name : {"Documents/lumora.db", "Library/Preferences/app.plist", "Media/PhotoData/Photos.sqlite",
                           ".lumora.lock", "tmp/zz"}) {
    testsupport::writeFile(original / name, platform::Bytes{'x'});
  }
  ASSERT_TRUE(testsupport::copyWithHardLinks(original, copy));
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, copy.c_str(), IN_MOVED_TO), 0);
  for (const auto& entry : fs::recursive_directory_iterator(copy)) {
    if (entry.is_directory()) {
      ASSERT_GE(inotify_add_watch(watch, entry.path().c_str(), IN_MOVED_TO), 0);
    }
  }
  platform::AppHome::setRoot(copy);
  ASSERT_TRUE(platform::AppHome::claim().ok());
  std::vector<std::string> renamed;
  alignas(inotify_event) char events[16384];
  for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
    for (char* at = events; at < events + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      if (event->len > 0) renamed.emplace_back(event->name);
      at += sizeof(inotify_event) + event->len;
    }
  }
  close(watch);
  ASSERT_EQ(renamed.size(), 5u);
  EXPECT_EQ(renamed.back(), ".lumora.lock");
  EXPECT_EQ(testsupport::filesWithSecondNames(copy), std::set<std::string>{});
}

// A file of the home written in place through the other home's name while
// the start copies it (the other home's log, say) is copied again: the copy
// holds what the file held once written, not what it held before.
TEST_F(AppHomeCopy, AFileWrittenWhileItIsCopiedIsCopiedAgain) {
  namespace fs = std::filesystem;
  const fs::path log = fs::path("Library") / "Caches" / "Logs" / "app.log";
  testsupport::writeFile(original_ / log, platform::Bytes{'1', '\n'});
  ASSERT_TRUE(testsupport::copyWithHardLinks(original_, copy_));
  int copies = 0;
  platform::SharedFileCopies::setStepHookForTesting([&](platform::SharedFileCopies::Step step, const fs::path& file) {
    if (step != platform::SharedFileCopies::Step::Copied || file != copy_ / log || ++copies > 1) return;
    std::ofstream(original_ / log, std::ios::app) << "2\n";
  });
  platform::AppHome::setRoot(copy_);
  const platform::Status claimed = platform::AppHome::claim();
  platform::SharedFileCopies::setStepHookForTesting(nullptr);
  ASSERT_TRUE(claimed.ok()) << claimed.error().description();
  EXPECT_EQ(copies, 2);
  EXPECT_EQ(testsupport::readFile(copy_ / log), (platform::Bytes{'1', '\n', '2', '\n'}));
  EXPECT_EQ(testsupport::filesWithSecondNames(copy_), std::set<std::string>{});
}

// The exiting program: runs only when the test below executes it, so its
// exit handlers are those of a fresh process, not of whatever tests ran
// before in this one.
TEST(AppHomeExitChild, ReadsTheRootWhileExiting) {
  const char* root = std::getenv("APPHOME_EXIT_ROOT");
  if (!root) GTEST_SKIP();
  platform::AppHome::setRoot(root);
  static std::atomic<bool> reading{false};
  std::thread([] {
    for (;;) {
      if (platform::AppHome::root().empty()) _exit(3);
      reading = true;
    }
  }).detach();
  while (!reading) std::this_thread::yield();
  std::exit(0);
}

// A worker of a process-wide object still reads the root while the process
// exits: the root outlives the exit handlers.
TEST(AppHome, TheRootCanBeReadWhileTheProcessExits) {
  testsupport::TestHome home;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("APPHOME_EXIT_ROOT", home.root().c_str(), 1);
    execl("/proc/self/exe", "exiting", "--gtest_filter=AppHomeExitChild.ReadsTheRootWhileExiting",
          static_cast<char*>(nullptr));
    _exit(6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
