// A body streamed from a file of the program's own: a symbolic link to a
// user's file, a pipe or a folder at the name gives no body (never waited
// on), a second name of the file (a hard link) is sent as the file, and the
// file once opened is what every send reads, whatever is put at its name
// afterwards.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/http/FileBodySource.h"
#include "platform/storage/OwnFile.h"
#include "support/PlantedFiles.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Planted;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One send's reading of the body, in small pieces.
std::string sent(const platform::http::BodySource& source) {
  auto stream = source.open();
  if (!stream) return "(no stream)";
  std::string body;
  std::uint8_t piece[3];
  for (;;) {
    auto got = stream->read(piece, sizeof piece);
    if (!got) return "(failed)";
    if (*got == 0) return body;
    body.append(reinterpret_cast<const char*>(piece), *got);
  }
}

TEST(FileBodySourceTest, OnlyAFileOfTheProgramsOwnIsSentAndTheOneOpenedStays) {
  testsupport::TestHome home;
  const fs::path userFile = home.root() / "user.txt";
  std::ofstream(userFile, std::ios::binary) << "USER TEXT";
  for (Planted kind : {Planted::Pipe, Planted::SymbolicLink, Planted::Folder}) {
    const fs::path at = home.root() / "package.multipartmime";
    ASSERT_TRUE(testsupport::plant(kind, at, userFile)) << testsupport::plantedName(kind);
    EXPECT_TRUE(testsupport::endsWithoutWaitingOn(at, [&] {
      errno = 0;
      EXPECT_FALSE(platform::http::fileBodySource(at)) << testsupport::plantedName(kind);
      EXPECT_TRUE(platform::notOwnFile(errno)) << testsupport::plantedName(kind) << ": " << errno;
    })) << testsupport::plantedName(kind);
    fs::remove(at);
  }
  const fs::path secondName = home.root() / "package.multipartmime";
  fs::create_hard_link(userFile, secondName);
  const auto linked = platform::http::fileBodySource(secondName);
  ASSERT_TRUE(linked);
  EXPECT_EQ(sent(*linked), "USER TEXT");

  // The package sent, every time; a link put at its name after the body was
  // taken changes nothing of what goes.
  const fs::path package = home.root() / "own.multipartmime";
  std::ofstream(package, std::ios::binary) << "PACKAGE BYTES";
  const auto source = platform::http::fileBodySource(package);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->length, 13u);
  EXPECT_EQ(sent(*source), "PACKAGE BYTES");
  fs::remove(package);
  fs::create_symlink(userFile, package);
  EXPECT_EQ(sent(*source), "PACKAGE BYTES");
  EXPECT_EQ(contents(userFile), "USER TEXT");
}

}  // namespace
