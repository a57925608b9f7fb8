// A stream into a new file: whatever file or link lay at the name, the
// bytes go into a file of the name alone; another name of the file that
// lay there and what a link leads to keep their bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/FileOutputStream.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

namespace fs = std::filesystem;

TEST(FileOutputStreamTest, WritesANewFileWhateverLayAtTheName) {
  testsupport::TestHome home;
  const fs::path userFile = home.root() / "notes.txt";
  const fs::path at = home.root() / "package.partial";
  enum class There { Nothing, OwnFile, SecondName, SymbolicLink };
  for (There there : {There::Nothing, There::OwnFile, There::SecondName, There::SymbolicLink}) {
    SCOPED_TRACE(static_cast<int>(there));
    testsupport::writeFile(userFile, platform::toBytes("the user's notes\n"));
    fs::remove(at);
    if (there == There::OwnFile) testsupport::writeFile(at, platform::toBytes("an older package, longer"));
    if (there == There::SecondName) fs::create_hard_link(userFile, at);
    if (there == There::SymbolicLink) fs::create_symlink(userFile, at);
    auto stream = platform::FileOutputStream::open(at.string());
    ASSERT_TRUE(stream) << stream.error().description();
    ASSERT_TRUE((*stream)->write(reinterpret_cast<const std::uint8_t*>("new"), 3));
    (*stream)->close();
    EXPECT_EQ(platform::toString(testsupport::readFile(at)), "new");
    EXPECT_EQ(fs::hard_link_count(at), 1u);
    EXPECT_EQ(platform::toString(testsupport::readFile(userFile)), "the user's notes\n");
  }
}

}  // namespace
