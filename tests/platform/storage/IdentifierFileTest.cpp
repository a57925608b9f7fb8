// An identifier is read only from a file of its own: a pipe, or a symbolic
// link to a user's file that holds an acceptable line, at its name is
// replaced by a fresh identifier, never waited on nor read through; only
// the name goes, the user's file stays as it was. A second name of the file
// (a copy of the home made with hard links) is read as the identifier, and
// two processes making one at once agree on it, also where the file is
// linked in for want of a rename that refuses to replace.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/storage/IdentifierFile.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Planted;

// Any line but an empty one is an identifier.
std::optional<std::string> accept(const std::string& line) {
  if (line.empty()) return std::nullopt;
  return line;
}

TEST(IdentifierFile, IsReadOnlyFromAFileOfItsOwn) {
  testsupport::TestHome home;
  const fs::path file = home.root() / "ids" / "identifier";
  const fs::path userFile = home.root() / "Documents" / "notes.txt";
  testsupport::writeFile(userFile, platform::toBytes("the user's line\n"));
  struct Case {
    Planted kind;
    fs::path target;
    const char* id;
  };
  const Case cases[] = {
      {Planted::Pipe, userFile, "fresh"},
      {Planted::SymbolicLink, userFile, "fresh"},
      {Planted::SymbolicLink, home.root() / "missing", "fresh"},
      {Planted::HardLink, userFile, "the user's line"},
  };
  for (const Case& planted : cases) {
    SCOPED_TRACE(std::string(testsupport::plantedName(planted.kind)) + " to " + planted.target.string());
    fs::create_directories(file.parent_path());
    fs::remove(file);
    ASSERT_TRUE(testsupport::plant(planted.kind, file, planted.target));
    std::optional<std::string> id;
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(
        file, [&] { id = platform::readOrCreateIdentifier(file, accept, [] { return std::string("fresh"); }); }));
    EXPECT_EQ(id, planted.id);
    struct stat info {};
    ASSERT_EQ(lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(testsupport::readFile(file), platform::toBytes(std::string(planted.id) + "\n"));
    EXPECT_EQ(testsupport::readFile(userFile), platform::toBytes("the user's line\n"));
  }
}

TEST(IdentifierFile, TwoProcessesMakingOneWhereItIsLinkedInAgreeOnIt) {
  testsupport::TestHome home;
  const fs::path file = home.root() / "ids" / "identifier";
  int linked[2], go[2], told[2];
  ASSERT_EQ(pipe(linked), 0);
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(told), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Publishes by a link, and holds while the file has both names.
    platform::setIdentifierLinkFallbackForTesting([&] {
      char byte = 'l';
      if (write(linked[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
    });
    const auto id = platform::readOrCreateIdentifier(file, accept, [] { return std::string("the child's"); });
    const std::string text = id.value_or("none");
    _exit(write(told[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 3);
  }
  close(told[1]);
  char byte = 0;
  ASSERT_EQ(read(linked[0], &byte, 1), 1);
  const auto id = platform::readOrCreateIdentifier(file, accept, [] { return std::string("the parent's"); });
  ASSERT_EQ(write(go[1], "g", 1), 1);
  char childs[64] = {};
  const ssize_t got = read(told[0], childs, sizeof childs);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(id, std::string(childs, got > 0 ? static_cast<std::size_t>(got) : 0));
  EXPECT_EQ(id, "the child's");
  EXPECT_EQ(testsupport::readFile(file), platform::toBytes("the child's\n"));
  for (int fd : {linked[0], linked[1], go[0], go[1], told[0]}) close(fd);
}

// Another process publishes its identifier while this one, having found
// none, makes its own (or one that is no identifier): the other's is taken,
// never cleared for this one's.
TEST(IdentifierFile, OnePublishedWhileThisProcessMakesItsOwnIsTaken) {
  testsupport::TestHome home;
  const fs::path file = home.root() / "ids" / "identifier";
  for (const char* before : {"", "\n"}) {
    SCOPED_TRACE(*before ? "no identifier there" : "nothing there");
    fs::remove_all(file.parent_path());
    fs::create_directories(file.parent_path());
    if (*before) testsupport::writeFile(file, platform::toBytes(before));
    const auto id = platform::readOrCreateIdentifier(file, accept, [&] {
      const fs::path other = file.string() + ".other";
      testsupport::writeFile(other, platform::toBytes("the other's\n"));
      fs::rename(other, file);
      return std::string("this one's");
    });
    EXPECT_EQ(id, "the other's");
    EXPECT_EQ(testsupport::readFile(file), platform::toBytes("the other's\n"));
  }
}

}  // namespace
