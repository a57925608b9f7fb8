#include "blackbox/BBXFile.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/PlantedFiles.h"
#include "support/TestHome.h"

namespace {

using lumora::BBXFile;

std::string bbxFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(BBXFileTest, SectionsFollowTheCommaQuotingAndHexRules) {
  testsupport::TestHome home;
  const std::filesystem::path path = home.root() / "golden.bbxrecord";
  const struct {
    std::function<void(BBXFile*)> body;
    std::string line;
  } cases[] = {
      {[](BBXFile* f) {
         lumora::BBXFileWriteHashEntryUint64(f, "a", 1);
         lumora::BBXFileWriteHashEntryInt64(f, "b", -2);
         lumora::BBXFileWriteHashEntryBoolean(f, "c", true);
       },
       R"({"s":{"a":1,"b":-2,"c":true}})"},
      {[](BBXFile* f) {
         lumora::BBXFileWriteHashEntryString(f, "n", nullptr);
         lumora::BBXFileWriteHashEntryHexEncodedString(f, "h", nullptr);
         lumora::BBXFileWriteHashEntryNSString(f, "skipped", "");
         lumora::BBXFileWriteHashEntryString(f, "e", "");
       },
       R"({"s":{"n":null,"h":null,"e":""}})"},
      {[](BBXFile* f) {
         lumora::BBXFileWriteHashEntryHexEncodedString(f, "x", "abc");
         lumora::BBXFileWriteHashKey(f, "o");
         lumora::BBXFileWriteHashStart(f);
         lumora::BBXFileWriteHashEntryUint64(f, "i", 0);
         lumora::BBXFileWriteHashEnd(f);
         lumora::BBXFileWriteHashKey(f, "l");
         lumora::BBXFileWriteArrayStart(f);
         lumora::BBXFileWriteArrayEntryUint64(f, 7);
         lumora::BBXFileWriteArrayEntryString(f, nullptr);
         lumora::BBXFileWriteArrayEntryHexEncodedString(f, "\xff");
         lumora::BBXFileWriteArrayEnd(f);
       },
       R"({"s":{"x":"616263","o":{"i":0},"l":[7,null,"ff"]}})"},
      {[](BBXFile* f) {
         lumora::BBXFileWriteHashEntryString(f, "q", "a \"quoted\" C:\\dir\n");
         lumora::BBXFileWriteHashEntryNSString(f, "v", std::string_view("t\"x", 3));
       },
       R"({"s":{"q":"a \"quoted\" C:\\dir\u000a","v":"t\"x"}})"},
  };
  for (const auto& c : cases) {
    BBXFile file;
    ASSERT_TRUE(lumora::BBXFileInitWithPathMode(&file, path.c_str(), false, false));
    for (int section = 0; section < 2; ++section) {
      lumora::BBXFileWriteSectionStart(&file, "s");
      lumora::BBXFileWriteHashStart(&file);
      c.body(&file);
      lumora::BBXFileWriteHashEnd(&file);
      lumora::BBXFileWriteSectionEnd(&file);
    }
    ASSERT_TRUE(lumora::BBXFileClose(&file));
    EXPECT_EQ(bbxFileText(path), c.line + "\n" + c.line + "\n");
    const auto sections = lumora::BBXFileReadSections(path.c_str(), false);
    ASSERT_TRUE(sections.has_value());
    EXPECT_EQ(sections->size(), 2u) << c.line;
  }
}

TEST(BBXFileTest, BufferHoldsAtMost999BytesAndAppendCountsTheOldSize) {
  testsupport::TestHome home;
  const std::filesystem::path path = home.root() / "buffered.bbxrecord";
  BBXFile file;
  ASSERT_TRUE(lumora::BBXFileInitWithPathMode(&file, path.c_str(), false, true));
  lumora::BBXFileWriteHashKey(&file, std::string(996, 'k').c_str());  // quotes and colon: 999 bytes
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  lumora::BBXFileWriteHashEntryUint64(&file, "", 5);  // one more piece flushes the full buffer first
  EXPECT_EQ(std::filesystem::file_size(path), 999u);
  std::uint64_t size = 0;
  ASSERT_TRUE(lumora::BBXFileCloseWithOffset(&file, &size));
  EXPECT_EQ(size, 999u + 4u);  // "":5
  EXPECT_EQ(std::filesystem::file_size(path), size);

  std::filesystem::resize_file(path, 500);
  ASSERT_TRUE(lumora::BBXFileInitWithPath(&file, path.c_str(), false));
  lumora::BBXFileWriteHashKey(&file, "1234567");
  ASSERT_TRUE(lumora::BBXFileCloseWithOffset(&file, &size));
  EXPECT_EQ(size, 510u);
}

// A file with another name at a record's name (a copy of the home made
// with hard links) is neither emptied nor appended to: the record goes on
// in a file of this name alone, holding the bytes the name held when
// appending, and the other name keeps its bytes. A pipe there never holds
// the (crash-time) open.
TEST(BBXFileTest, OnlyARecordFileOfItsOwnIsOpened) {
  testsupport::TestHome home;
  const std::filesystem::path userFile = home.root() / "notes.txt";
  std::ofstream(userFile) << "the user's notes\n";
  const std::filesystem::path record = home.root() / "log_a.bbxrecord";
  for (auto kind : {testsupport::Planted::HardLink, testsupport::Planted::Pipe}) {
    for (bool append : {false, true}) {
      SCOPED_TRACE(testsupport::plantedName(kind) + std::string(append ? ", appending" : ", emptying"));
      ASSERT_TRUE(testsupport::plant(kind, record, userFile));
      BBXFile file;
      bool opened = true;
      EXPECT_TRUE(testsupport::endsWithoutWaitingOn(record, [&] {
        opened = lumora::BBXFileInitWithPathMode(&file, record.c_str(), append, false);
        if (opened) lumora::BBXFileWriteHashKey(&file, "written");
        lumora::BBXFileClose(&file);
      }));
      const bool secondName = kind == testsupport::Planted::HardLink;
      EXPECT_EQ(opened, secondName);
      if (secondName) {
        EXPECT_EQ(bbxFileText(record), (append ? "the user's notes\n" : "") + std::string("\"written\":"));
        EXPECT_EQ(std::filesystem::hard_link_count(record), 1u);
      }
      EXPECT_EQ(bbxFileText(userFile), "the user's notes\n");
      std::filesystem::remove(record);
    }
  }
}

TEST(BBXFileTest, ReaderKeepsParsedObjectsAndTransformsThem) {
  testsupport::TestHome home;
  const std::filesystem::path path = home.root() / "read.bbxrecord";
  std::ofstream(path) << "{\"a\":{}}\n\nbroken\n[1]\n{\"b\":{\"n\":2}}\n{\"c\":";
  const auto all = lumora::BBXFileReadSections(path.c_str(), false);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 2u);
  const auto numbers = lumora::BBXFileReadSections(path.c_str(), false, [](nlohmann::json section) {
    return section.contains("b") ? std::optional<nlohmann::json>(section["b"]["n"]) : std::nullopt;
  });
  ASSERT_EQ(numbers->size(), 1u);
  EXPECT_EQ(numbers->front(), 2);

  EXPECT_FALSE(lumora::BBXFileReadSections((home.root() / "missing").c_str(), true).has_value());
  EXPECT_FALSE(lumora::BBXFileReadSections(nullptr, false).has_value());
  // A line nested deeper than any record is none.
  std::ofstream(path) << std::string(100, '[') << std::string(100, ']') << "\n{\"a\":{}}\n";
  EXPECT_EQ(lumora::BBXFileReadSections(path.c_str(), false)->size(), 1u);
}

TEST(BBXFileTest, WhatCaptureWritesAndLaterLaunchesReadIsBounded) {
  testsupport::TestHome home;
  const std::filesystem::path path = home.root() / "bounded.bbxrecord";
  BBXFile file;
  ASSERT_TRUE(lumora::BBXFileInitWithPathMode(&file, path.c_str(), false, true));
  // A text field keeps the first part of a long text.
  const std::string longText(lumora::kBBXMaxRecordedTextBytes + 100, 'a');
  lumora::BBXFileWriteSectionStart(&file, "s");
  lumora::BBXFileWriteHashStart(&file);
  lumora::BBXFileWriteHashEntryHexEncodedString(&file, "hex", longText.c_str());
  lumora::BBXFileWriteHashEntryString(&file, "text", longText.c_str());
  lumora::BBXFileWriteHashEnd(&file);
  lumora::BBXFileWriteSectionEnd(&file);
  // The file takes nothing past its bound: the line under way is cut there.
  const std::string digits(1000, '7');
  for (std::uint64_t written = 0; written < lumora::kBBXMaxRecordFileBytes + 10000; written += digits.size() + 12) {
    lumora::BBXFileWriteSectionStart(&file, "n");
    lumora::BBXFileWriteHashStart(&file);
    lumora::BBXFileWriteHashEntryString(&file, "d", digits.c_str());
    lumora::BBXFileWriteHashEnd(&file);
    lumora::BBXFileWriteSectionEnd(&file);
  }
  ASSERT_TRUE(lumora::BBXFileClose(&file));
  EXPECT_LE(std::filesystem::file_size(path), lumora::kBBXMaxRecordFileBytes);
  const auto sections = lumora::BBXFileReadSections(path.c_str(), false);
  ASSERT_TRUE(sections && sections->size() > 1);
  EXPECT_EQ(sections->front()["s"]["hex"].get<std::string>().size(), 2 * lumora::kBBXMaxRecordedTextBytes);
  EXPECT_EQ(sections->front()["s"]["text"].get<std::string>().size(), lumora::kBBXMaxRecordedTextBytes);

  // Only a regular file within the bound is read (a second name of one as
  // well): never a symbolic link, never a pipe (which would block), never
  // more than the bound.
  const std::filesystem::path link = home.root() / "link";
  const std::filesystem::path hardLink = home.root() / "hard-link";
  std::ofstream(home.root() / "another") << "{\"another\":{}}\n";
  std::filesystem::create_hard_link(home.root() / "another", hardLink);
  const std::filesystem::path pipe = home.root() / "pipe";
  const std::filesystem::path large = home.root() / "large";
  std::filesystem::create_symlink(path, link);
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::ofstream{large};
  std::filesystem::resize_file(large, lumora::kBBXMaxRecordFileBytes + 1);
  using Problem = lumora::BBXFileReadProblem;
  const struct {
    std::filesystem::path path;
    Problem problem;
  } reads[] = {{path, Problem::None},
               {link, Problem::NotRegular},
               {hardLink, Problem::None},
               {pipe, Problem::NotRegular},
               {large, Problem::TooLarge},
               {home.root() / "missing", Problem::Missing},
               {home.root(), Problem::NotRegular}};
  for (const auto& read : reads) {
    Problem problem = Problem::Unreadable;
    const auto bytes = lumora::BBXFileReadBounded(read.path.c_str(), lumora::kBBXMaxRecordFileBytes, &problem);
    EXPECT_EQ(problem, read.problem) << read.path;
    EXPECT_EQ(bytes.has_value(), read.problem == Problem::None) << read.path;
  }
}

}  // namespace
