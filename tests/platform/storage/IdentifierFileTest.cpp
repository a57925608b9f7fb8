// An identifier is read only from a file of its own: a pipe, or a link of
// either kind to a user's file that holds an acceptable line, at its name
// is replaced by a fresh identifier, never waited on nor read through; only
// the name goes, the user's file stays as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>

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

TEST(IdentifierFile, IsReadOnlyFromAFileOfItsOwn) {
  testsupport::TestHome home;
  const fs::path file = home.root() / "ids" / "identifier";
  const fs::path userFile = home.root() / "Documents" / "notes.txt";
  testsupport::writeFile(userFile, platform::toBytes("the user's line\n"));
  const auto accept = [](const std::string& line) -> std::optional<std::string> {
    if (line.empty()) return std::nullopt;
    return line;
  };
  struct Case {
    Planted kind;
    fs::path target;
  };
  const Case cases[] = {
      {Planted::Pipe, userFile},
      {Planted::SymbolicLink, userFile},
      {Planted::SymbolicLink, home.root() / "missing"},
      {Planted::HardLink, userFile},
  };
  for (const Case& planted : cases) {
    SCOPED_TRACE(std::string(testsupport::plantedName(planted.kind)) + " to " + planted.target.string());
    fs::create_directories(file.parent_path());
    fs::remove(file);
    ASSERT_TRUE(testsupport::plant(planted.kind, file, planted.target));
    std::optional<std::string> id;
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(
        file, [&] { id = platform::readOrCreateIdentifier(file, accept, [] { return std::string("fresh"); }); }));
    EXPECT_EQ(id, "fresh");
    struct stat info {};
    ASSERT_EQ(lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode) && info.st_nlink == 1);
    EXPECT_EQ(testsupport::readFile(file), platform::toBytes("fresh\n"));
    EXPECT_EQ(testsupport::readFile(userFile), platform::toBytes("the user's line\n"));
  }
}

}  // namespace
