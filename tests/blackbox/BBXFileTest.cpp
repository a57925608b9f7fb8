#include "blackbox/BBXFile.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

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
}

}  // namespace
