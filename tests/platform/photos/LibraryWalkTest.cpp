// The walk of the library's folder as the file system really answers it to
// an app's process (no stand-in refusals): folders whose listing is
// refused, and links that lead nowhere to be seen.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/photos/AssetFile.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryFixture.h"
#include "support/TestMedia.h"
#include "support/UserFolder.h"
#include "support/WithoutFileModeOverride.h"

namespace {

using namespace platform;
using namespace platform::photos;
namespace fs = std::filesystem;
using LibraryWalkTest = testsupport::PhotoLibraryFixture;

// Gives each path its mode for as long as it lives, then its mode before.
class ModesWhileAlive {
 public:
  void set(const fs::path& path, fs::perms mode) {
    saved_.emplace_back(path, fs::status(path).permissions());
    fs::permissions(path, mode);
  }
  ~ModesWhileAlive() {
    std::error_code ec;
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) fs::permissions(it->first, it->second, ec);
  }

 private:
  std::vector<std::pair<fs::path, fs::perms>> saved_;
};

// Each image of the library by its path within the library's folder.
std::map<std::string, std::string> imagesByPath(PhotoLibrary& library) {
  std::map<std::string, std::string> byPath;
  for (const Asset& asset : library.fetchAssetsWithMediaType(MediaType::Image)) {
    byPath[asset.file.lexically_relative(PhotoLibrary::folder()).string()] = asset.localIdentifier;
  }
  return byPath;
}

// What the library tells of the folders it could not read.
std::set<std::string> unreadFoldersTold(PhotoLibrary& library) {
  std::set<std::string> told;
  for (const Error& error : library.unreadFolders()) {
    const auto failure = assetFileFailureOf(error);
    EXPECT_TRUE(failure && failure->kind == AssetFileFailure::Kind::Unlisted) << error.description();
    told.insert(error.userInfo().value(Error::kLocalizedDescriptionKey, error.description()));
  }
  return told;
}

std::string cannotBeRead(const std::string& folder, int code) {
  return "the folder \"" + folder + "\" cannot be read: " + fileRefusalText(code);
}

// Whether the calling thread is refused the listing of `folder` (of mode
// 000), as an app is (a process that keeps root's power over modes is not).
bool refusedLikeAnApp(const fs::path& folder) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing != nullptr) ::closedir(listing);
  return listing == nullptr && errno == EACCES;
}

// Real folders whose listing the file system refuses to the app (modes
// 000, 0300 and 0311: no reading; 0600: listed, nothing in it to be looked
// at), one of them reached through a link, keep the photos the library
// knew in them, with their identifiers, and are told with the file
// system's own answer; readable again, they are whole, and nothing is told.
TEST_F(LibraryWalkTest, RealFoldersThatCannotBeReadKeepTheirPhotosAndAreTold) {
  const fs::path media = PhotoLibrary::folder();
  const testsupport::UserFolder pictures;
  struct Row {
    std::string name;
    fs::perms mode;
    bool linked;
  };
  const Row rows[] = {{"none", fs::perms::none, false},
                      {"write and search", fs::perms(0300), false},
                      {"search only", fs::perms(0311), false},
                      {"read and write", fs::perms(0600), false},
                      {"linked", fs::perms::none, true}};
  int size = 10;
  for (const Row& row : rows) {
    const fs::path folder = row.linked ? pictures.path() / row.name : media / row.name;
    testsupport::writeFile(folder / "IMG_0001.JPG", testsupport::makeJpeg(size++, 10));
    if (row.linked) fs::create_directory_symlink(folder, media / row.name);
  }
  testsupport::writeFile(media / "open" / "IMG_0001.JPG", testsupport::makeJpeg(size++, 10));
  const auto known = imagesByPath(*library);
  ASSERT_EQ(known.size(), std::size(rows) + 1);

  {
    ModesWhileAlive modes;
    std::set<std::string> expected;
    for (const Row& row : rows) {
      modes.set(row.linked ? pictures.path() / row.name : media / row.name, row.mode);
      expected.insert(cannotBeRead(row.name, EACCES));
    }
    // A photo arriving beside them comes in.
    testsupport::writeFile(media / "open" / "IMG_0002.JPG", testsupport::makeJpeg(size++, 10));
    testsupport::WithoutFileModeOverride asAnApp;
    if (!refusedLikeAnApp(media / "none")) GTEST_SKIP() << "this process reads folders of mode 000";
    library->rescan();
    auto now = imagesByPath(*library);
    EXPECT_EQ(now.erase("open/IMG_0002.JPG"), 1u);
    EXPECT_EQ(now, known);
    EXPECT_EQ(unreadFoldersTold(*library), expected);
  }
  library->rescan();
  auto after = imagesByPath(*library);
  EXPECT_EQ(after.erase("open/IMG_0002.JPG"), 1u);
  EXPECT_EQ(after, known);
  EXPECT_TRUE(unreadFoldersTold(*library).empty());
}

// A link that leads nowhere to be seen (to itself, two links to each other,
// two photo names linked to each other, a target on a way the app may not
// search) never held a photo of the library: it is no folder, and nothing
// is told of it, as of a link whose target is gone. One under which the
// library knows photos (its folder since made unreachable, or the link
// turned to itself) keeps them, with their identifiers, and is told as a
// folder that cannot be read, whatever its name.
TEST_F(LibraryWalkTest, ALinkThatLeadsNowhereIsAFolderOnlyWhereTheLibraryKnowsPhotosUnderIt) {
  const fs::path media = PhotoLibrary::folder();
  const testsupport::UserFolder pictures;
  testsupport::writeFile(media / "IMG_0001.JPG", testsupport::makeJpeg(12, 10));
  testsupport::writeFile(pictures.path() / "nothing" / "trip" / "IMG_0001.JPG", testsupport::makeJpeg(14, 10));
  testsupport::writeFile(pictures.path() / "shut" / "trip" / "IMG_0001.JPG", testsupport::makeJpeg(16, 10));
  testsupport::writeFile(pictures.path() / "turned" / "IMG_0001.JPG", testsupport::makeJpeg(18, 10));
  fs::create_directory_symlink("loop", media / "loop");
  fs::create_directory_symlink("l2", media / "l1");
  fs::create_directory_symlink("l1", media / "l2");
  fs::create_symlink("b.JPG", media / "a.JPG");
  fs::create_symlink("a.JPG", media / "b.JPG");
  fs::create_directory_symlink(pictures.path() / "nothing" / "trip", media / "locked");
  fs::create_directory_symlink(pictures.path() / "missing", media / "gone");
  fs::create_directory_symlink(pictures.path() / "shut" / "trip", media / "2023 Trip");
  fs::create_directory_symlink(pictures.path() / "turned", media / "Turned.JPG");

  ModesWhileAlive modes;
  modes.set(pictures.path() / "nothing", fs::perms::none);
  testsupport::WithoutFileModeOverride asAnApp;
  if (!refusedLikeAnApp(pictures.path() / "nothing")) GTEST_SKIP() << "this process reads folders of mode 000";
  struct stat info {};
  ASSERT_NE(::stat((media / "locked").c_str(), &info), 0);
  ASSERT_EQ(errno, EACCES);
  const auto known = imagesByPath(*library);
  EXPECT_EQ(known.size(), 3u);
  EXPECT_TRUE(known.contains("2023 Trip/IMG_0001.JPG"));
  EXPECT_TRUE(known.contains("Turned.JPG/IMG_0001.JPG"));
  EXPECT_TRUE(unreadFoldersTold(*library).empty());

  // The folders known to hold photos go out of reach.
  modes.set(pictures.path() / "shut", fs::perms::none);
  fs::remove(media / "Turned.JPG");
  fs::create_directory_symlink("Turned.JPG", media / "Turned.JPG");
  library->rescan();
  EXPECT_EQ(imagesByPath(*library), known);
  EXPECT_EQ(unreadFoldersTold(*library),
            (std::set<std::string>{cannotBeRead("2023 Trip", EACCES), cannotBeRead("Turned.JPG", ELOOP)}));

  // In reach again: the same photos, and nothing told.
  fs::permissions(pictures.path() / "shut", fs::perms::owner_all);
  fs::remove(media / "Turned.JPG");
  fs::create_directory_symlink(pictures.path() / "turned", media / "Turned.JPG");
  library->rescan();
  EXPECT_EQ(imagesByPath(*library), known);
  EXPECT_TRUE(unreadFoldersTold(*library).empty());
}

}  // namespace
