#include <gtest/gtest.h>

#include <fstream>

#include "platform/storage/KeyedArchive.h"
#include "platform/CraftedPlists.h"
#include "support/TestHome.h"

namespace {

using platform::ArchiveValue;
using platform::KeyedArchive;

TEST(KeyedArchive, EveryValueKindRoundTrips) {
  const auto when = platform::Clock::TimePoint(std::chrono::seconds(1700000000)) +
                    std::chrono::microseconds(123456);
  KeyedArchive inner;
  inner.encodeString("title", "inner");
  KeyedArchive archive;
  archive.encodeBool("flag", true);
  archive.encodeInt64("negative", -1);
  archive.encodeInt64("min", INT64_MIN);
  archive.encodeInt64("max", INT64_MAX);
  archive.encodeDouble("ratio", 0.25);
  archive.encodeString("text", "héllo");
  archive.encodeBytes("bytes", platform::Bytes{0, 1, 255});
  archive.encodeDate("when", when);
  archive.encodeArray("list", {ArchiveValue(1), ArchiveValue("two"), ArchiveValue(ArchiveValue::Array{})});
  archive.encodeArchive("child", inner);

  auto data = archive.binaryData();
  ASSERT_TRUE(data.ok());
  auto back = KeyedArchive::fromBinaryData(*data);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, archive);
  EXPECT_EQ(back->decodeInt64("min"), INT64_MIN);
  EXPECT_EQ(back->decodeDate("when"), when);
  EXPECT_EQ(back->decodeArchive("child")->decodeString("title"), "inner");
}

TEST(KeyedArchive, DatesKeepEveryMicrosecondBeforeAndAfter2001) {
  // Half of all fractions came back a microsecond short (244 as 243), and
  // one more on each rewrite.
  for (auto micros : {978307198500000LL, 978307100250000LL, -500000LL, -86400500000LL,
                      978446464000244LL, 978307199999999LL, 1700000000000001LL,
                      -1169176448000001LL}) {  // the earliest date the format holds
    const auto when = platform::Clock::TimePoint(std::chrono::microseconds(micros));
    KeyedArchive archive;
    archive.encodeDate("when", when);
    auto data = archive.binaryData();
    ASSERT_TRUE(data.ok());
    auto back = KeyedArchive::fromBinaryData(*data);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->decodeDate("when"), when) << micros;
    auto again = KeyedArchive::fromBinaryData(*back->binaryData());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->decodeDate("when"), when) << micros;
  }
}

TEST(KeyedArchive, FilesAndBadInput) {
  testsupport::TestHome home;
  const auto path = home.root() / "sub" / "empty.data";
  ASSERT_TRUE(KeyedArchive().writeToFile(path).ok());
  auto empty = KeyedArchive::readFromFile(path);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->values().empty());

  auto missing = KeyedArchive::readFromFile(home.root() / "nope");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().domain(), platform::kKeyedArchiveErrorDomain);
  EXPECT_EQ(missing.error().code(), platform::kKeyedArchiveErrorFile);

  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "bplist00 this is not a property list";
  }
  testing::internal::CaptureStderr();
  auto garbage = KeyedArchive::readFromFile(path);
  testing::internal::GetCapturedStderr();
  ASSERT_FALSE(garbage.ok());
  EXPECT_EQ(garbage.error().code(), platform::kKeyedArchiveErrorUnreadable);
  // An unreadable archive is set aside so the next start does not meet it.
  auto aside = path;
  aside += ".corrupt";
  EXPECT_EQ(garbage.error().userInfo().value("movedTo", ""), aside.string());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(std::filesystem::exists(aside));
  for (const auto& [what, bytes] : testsupport::unreadablePlists()) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(KeyedArchive::fromBinaryData(bytes).ok());
  }
  EXPECT_FALSE(KeyedArchive::fromBinaryData({}).ok());

  KeyedArchive tooOld;
  tooOld.encodeDate("when", platform::Clock::TimePoint(std::chrono::seconds(-2000000000)) -
                                std::chrono::hours(24 * 365 * 10));
  EXPECT_FALSE(tooOld.binaryData().ok());
  EXPECT_FALSE(tooOld.writeToFile(path).ok());
}

}  // namespace
