#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/storage/AppHome.h"
#include "platform/device/Device.h"
#include "support/TestHome.h"

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

  ASSERT_EQ(platform::AppHome::root(), home.root());
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

// One process per home: a second process is refused while the first lives
// (also one of an earlier version), a copy of the home is a home of its own,
// and a home that is not a writable folder is found before any work.
TEST(AppHome, ClaimRefusesASecondProcessAndAnUnusableHome) {
  namespace fs = std::filesystem;
  testsupport::TestHome home;
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = platform::AppHome::claim().ok() ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    if (read(done[0], &byte, 1) != 1) _exit(2);  // holds the home until told
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'y');
  platform::Status second = platform::AppHome::claim();
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().code(), EWOULDBLOCK);
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(platform::AppHome::claim().ok());
  EXPECT_TRUE(platform::AppHome::claim().ok());  // held already
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);

  // A process of an earlier version locks only the lock file.
  const fs::path earlier = home.root() / "earlier";
  fs::create_directories(earlier);
  const int held = open((earlier / ".lumora.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  platform::AppHome::setRoot(earlier);
  EXPECT_EQ(platform::AppHome::claim().error().code(), EWOULDBLOCK);
  close(held);

  // A copy of a home in use made with hard links (its lock file is the same
  // file) is a home of its own; the home's lock file keeps its name.
  const fs::path copy = home.root() / "copy";
  fs::create_directories(copy);
  fs::create_hard_link(home.root() / ".lumora.lock", copy / ".lumora.lock");
  platform::AppHome::setRoot(copy);
  EXPECT_TRUE(platform::AppHome::claim().ok());
  EXPECT_EQ(fs::hard_link_count(home.root() / ".lumora.lock"), 1u);
  EXPECT_EQ(fs::hard_link_count(copy / ".lumora.lock"), 1u);

  std::ofstream(home.root() / "plain-file") << "x";
  platform::AppHome::setRoot(home.root() / "plain-file");
  EXPECT_FALSE(platform::AppHome::claim().ok());
  platform::AppHome::setRoot(home.root());
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
