// Files of the program's own opened for writing: only a regular file of one
// link is taken, emptied or appended to as asked; a pipe, a link of either
// kind, a folder or a device at the name is refused at once and what it
// leads to stays as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/storage/OwnFile.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Planted;

TEST(OwnFileTest, OnlyARegularFileOfOneLinkIsWrittenAndAsAsked) {
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
      {Planted::HardLink, O_WRONLY | O_CREAT | O_TRUNC, EMLINK},
      {Planted::HardLink, O_WRONLY | O_CREAT | O_APPEND, EMLINK},
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
