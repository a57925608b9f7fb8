// Files of the program's own opened for writing: only a regular file is
// taken, emptied or appended to as asked; a pipe, a symbolic link, a folder
// or a device at the name is refused at once and what it leads to stays as
// it was. A file with a second name is read as it is, and written only as a
// file of this name alone: the other name keeps its bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <limits>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/storage/AppHome.h"
#include "platform/storage/OwnFile.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Planted;

TEST(OwnFileTest, OnlyARegularFileIsWrittenAndAsAsked) {
  testsupport::TestHome home;
  const fs::path userFile = home.root() / "notes.txt";
  const std::string notes = "the user's notes, 240 bytes of them or so\n";
  testsupport::writeFile(userFile, platform::toBytes(notes));

  // Anything else at the name: refused at once (a pipe never holds the
  // open), with a reason the callers tell, whatever the caller asked.
  const struct {
    Planted kind;
    int flags;
    int error;
  } refused[] = {
      {Planted::Pipe, O_WRONLY | O_CREAT | O_TRUNC, ENXIO},  // nobody reads it
      {Planted::Pipe, O_RDWR | O_CREAT, EINVAL},
      {Planted::SymbolicLink, O_WRONLY | O_CREAT | O_TRUNC, ELOOP},
      {Planted::SymbolicLink, O_RDONLY, ELOOP},
      {Planted::Folder, O_RDONLY, EISDIR},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(testsupport::plantedName(row.kind) + std::string(" flags ") + std::to_string(row.flags));
    const fs::path at = home.root() / "own";
    ASSERT_TRUE(testsupport::plant(row.kind, at, userFile));
    int fd = -2;
    int error = 0;
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(at, [&] {
      fd = platform::openOwnFile(at.c_str(), row.flags, 0600);
      error = errno;
    }));
    if (fd >= 0) close(fd);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(platform::toString(testsupport::readFile(userFile)), notes);
    fs::remove(at);
  }
  EXPECT_EQ(platform::openOwnFile("/dev/null", O_WRONLY, 0600), -1);
  EXPECT_EQ(errno, EINVAL);

  // A file of its own: made, emptied or appended to as asked, and a
  // descriptor that blocks as any other.
  const fs::path own = home.root() / "own";
  const struct {
    int flags;
    const char* before;  // nullptr: none yet
    const char* after;
  } taken[] = {
      {O_WRONLY | O_CREAT | O_TRUNC, nullptr, "new"},
      {O_WRONLY | O_CREAT | O_TRUNC, "an older text", "new"},
      {O_WRONLY | O_CREAT | O_APPEND, "old ", "old new"},
      {O_RDWR, "older", "newer"},
  };
  for (const auto& row : taken) {
    SCOPED_TRACE(row.after);
    fs::remove(own);
    if (row.before != nullptr) testsupport::writeFile(own, platform::toBytes(row.before));
    const int fd = platform::openOwnFile(own.c_str(), row.flags, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_TRUE(platform::writeWhole(fd, "new", 3));
    close(fd);
    EXPECT_EQ(platform::toString(testsupport::readFile(own)), row.after);
  }
  EXPECT_EQ(platform::toString(testsupport::readFile(userFile)), notes);
}

// The names in `folder`.
std::string namesIn(const fs::path& folder) {
  std::string names;
  for (const auto& entry : fs::directory_iterator(folder)) names += entry.path().filename().string() + " ";
  return names;
}

// A file of its own with another name as well (a copy of the home made with
// hard links): read through that name as it is; written, emptied or
// appended to as asked in a file of this name alone, with the file's mode
// and, unless emptied, its bytes; the other name keeps its bytes.
TEST(OwnFileTest, AFileWithASecondNameIsReadAsItIsAndWrittenAsAFileOfItsOwn) {
  testsupport::TestHome home;
  const fs::path folder = home.root() / "kept";
  const fs::path snapshot = home.root() / "snapshot";
  const fs::path own = folder / "own";
  const std::string before = "the bytes both names hold, 240 of them or so\n";
  const struct {
    int flags;
    std::string after;
    nlink_t links;
  } rows[] = {
      {O_RDONLY, before, 2},
      {O_WRONLY | O_CREAT | O_TRUNC, "new", 1},
      {O_WRONLY | O_CREAT | O_APPEND, before + "new", 1},
      {O_WRONLY, "new" + before.substr(3), 1},
      {O_RDWR | O_APPEND, before + "new", 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.flags);
    fs::remove_all(folder);
    fs::remove(snapshot);
    fs::create_directories(folder);
    testsupport::writeFile(own, platform::toBytes(before));
    ASSERT_EQ(chmod(own.c_str(), 0640), 0);
    fs::create_hard_link(own, snapshot);
    const int fd = platform::openOwnFile(own.c_str(), row.flags, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    if ((row.flags & O_ACCMODE) != O_RDONLY) {
      EXPECT_TRUE(platform::writeWhole(fd, "new", 3));
    } else {
      char read[512];
      EXPECT_EQ(::read(fd, read, sizeof read), static_cast<ssize_t>(before.size()));
    }
    struct stat info {};
    ASSERT_EQ(fstat(fd, &info), 0);
    close(fd);
    EXPECT_EQ(info.st_nlink, row.links);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(platform::toString(testsupport::readFile(own)), row.after);
    EXPECT_EQ(platform::toString(testsupport::readFile(snapshot)), before);
    EXPECT_EQ(namesIn(folder), "own ");
  }
  EXPECT_EQ(platform::readOwnFile(snapshot, 1024), before);
}

// A copy to a file of its own cut short by the process's end leaves a
// temporary that the next start of the app home clears; neither name
// changed.
TEST(OwnFileTest, ACopyCutShortLeavesATemporaryTheNextStartClears) {
  testsupport::TestHome home;
  const fs::path folder = home.root() / "Library";
  const fs::path own = folder / "own.log";
  const fs::path snapshot = home.root() / "snapshot.log";
  const std::string before(10000, 'b');
  fs::create_directories(folder);
  testsupport::writeFile(own, platform::toBytes(before));
  fs::create_hard_link(own, snapshot);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Ended by the file-size limit in the middle of the copy.
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = 5000;
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_DFL);
    platform::openOwnFile(own.c_str(), O_WRONLY | O_APPEND, 0600);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  EXPECT_NE(namesIn(folder), "own.log ");
  platform::AppHome::setRoot(home.root() / "elsewhere");
  platform::AppHome::setRoot(home.root());
  platform::AppHome::root();
  EXPECT_EQ(namesIn(folder), "own.log ");
  EXPECT_EQ(platform::toString(testsupport::readFile(own)), before);
  EXPECT_EQ(platform::toString(testsupport::readFile(snapshot)), before);
}

// A file found is read as that file or not at all: one renamed over its
// name meanwhile is never read (nor copied) in its place.
TEST(OwnFileTest, AReadOfAFileFoundOpensThatVeryFileOrNone) {
  testsupport::TestHome home;
  const fs::path found = home.root() / "found";
  const fs::path other = home.root() / "other";
  testsupport::writeFile(found, platform::toBytes("found"));
  struct stat info {};
  ASSERT_EQ(lstat(found.c_str(), &info), 0);
  int fd = platform::openToRead(found.c_str(), info);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  close(fd);
  testsupport::writeFile(other, platform::toBytes("other"));
  ASSERT_EQ(rename(other.c_str(), found.c_str()), 0);
  errno = 0;
  fd = platform::openToRead(found.c_str(), info);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(errno, EAGAIN);
  if (fd >= 0) close(fd);
}

// Read back whole within its bound, whatever the bound: one past it is too
// large, and no bound at all reads the file as it is.
TEST(OwnFileTest, AFileIsReadWholeWithinItsBound) {
  testsupport::TestHome home;
  const fs::path own = home.root() / "own";
  const std::string text(10000, 'x');
  testsupport::writeFile(own, platform::toBytes(text));
  const struct {
    std::uint64_t limit;
    bool whole;
  } rows[] = {{10000, true}, {9999, false}, {std::numeric_limits<std::uint64_t>::max(), true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.limit);
    platform::OwnFileProblem problem = platform::OwnFileProblem::None;
    const auto read = platform::readOwnFile(own, row.limit, &problem);
    EXPECT_EQ(read == text, row.whole);
    EXPECT_EQ(problem, row.whole ? platform::OwnFileProblem::None : platform::OwnFileProblem::TooLarge);
  }
}

}  // namespace
