// Stores moved aside: each move keeps the newest copies of that store (the
// one just moved always among them) with their journal files, and leaves
// every other file of the folder alone.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/storage/DamagedStore.h"
#include "support/TestHome.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

TEST(DamagedStore, MovesAsideKeepTheNewestCopiesOfThatStoreWithTheirJournals) {
  testsupport::TestHome home;
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  const fs::path folder = home.root() / "stores";
  fs::create_directories(folder);
  const fs::path store = folder / "lumora.db";
  auto touch = [](const fs::path& file) { std::ofstream(file) << "x"; };
  // Another store's copy, and names that only look like copies.
  std::set<std::string> others = {"gallery.db.unreadable-1", "lumora.db.unreadable-old", "lumora.db.old",
                                  "lumora.db.unreadable-0008"};
  for (const std::string& name : others) touch(folder / name);
  // Entries with a copy's name that are no copies: a folder with a file in
  // it, and links to a file and a folder outside; older than every copy.
  const fs::path outside = home.root() / "outside";
  fs::create_directories(outside / "folder");
  touch(outside / "file");
  touch(outside / "folder" / "kept");
  fs::create_directories(folder / "lumora.db.unreadable-6");
  touch(folder / "lumora.db.unreadable-6" / "inside");
  fs::create_symlink(outside / "file", folder / "lumora.db.unreadable-7");
  fs::create_symlink(outside / "folder", folder / "lumora.db.unreadable-9");
  others.insert({"lumora.db.unreadable-6", "lumora.db.unreadable-7", "lumora.db.unreadable-9"});

  struct Move {
    long long atMs;  // the clock at the move
    std::set<std::string> copies;  // the copies of lumora.db afterwards
  };
  const Move moves[] = {
      {1000, {"1000"}},
      {2000, {"1000", "2000"}},
      {3000, {"1000", "2000", "3000"}},
      {4000, {"2000", "3000", "4000"}},
      {5000, {"3000", "4000", "5000"}},
      {500, {"4000", "5000", "500"}},  // the clock went back: the copy just made stays
  };
  for (const Move& move : moves) {
    SCOPED_TRACE(move.atMs);
    clock->setTime(platform::Clock::TimePoint(std::chrono::milliseconds(move.atMs)));
    for (const char* suffix : {"", "-wal", "-shm"}) touch(store.string() + suffix);
    ASSERT_TRUE(platform::moveDamagedStoreAside(store));
    if (move.atMs == 1000) {
      // A journal name of the first copy taken by a folder stays with it.
      fs::create_directories(folder / "lumora.db.unreadable-1000-journal");
      touch(folder / "lumora.db.unreadable-1000-journal" / "inside");
      others.insert("lumora.db.unreadable-1000-journal");
    }
    std::set<std::string> expected = others;
    for (const std::string& stamp : move.copies) {
      for (const char* suffix : {"", "-wal", "-shm"}) expected.insert("lumora.db.unreadable-" + stamp + suffix);
    }
    EXPECT_EQ(namesIn(folder), expected);
  }
  for (const fs::path& file : {folder / "lumora.db.unreadable-6" / "inside", outside / "file",
                               outside / "folder" / "kept", folder / "lumora.db.unreadable-1000-journal" / "inside"}) {
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
  }
}

}  // namespace
