#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMGroup.h"
#include "platform/storage/KeyedArchive.h"
#include "support/TestHome.h"

namespace {

using lumora::LMContact;
using lumora::LMGroup;
using lumora::LMRecord;
using platform::Json;

TEST(LMRecordJSON, BaseKeysAreConsumedAndTheRestTravelsBack) {
  Json content = {{"id", 12}, {"tag", 5}, {"status", "deleted"}, {"color", {{"r", 1}}}};
  auto record = LMRecord::initWithLumoraJSON(content);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->type, lumora::kLMRecordTypeLumora);
  EXPECT_EQ(record->serverID, 12);
  EXPECT_EQ(record->sync, 5);
  EXPECT_EQ(record->status, "deleted");
  EXPECT_EQ(record->extensionData, (Json{{"color", {{"r", 1}}}}));

  Json out = record->dictionaryForLumoraJSON();
  EXPECT_EQ(out, (Json{{"content", {{"id", 12}, {"tag", 5}, {"color", {{"r", 1}}}}}}));
}

TEST(LMRecordJSON, ValuesOfTheWrongTypeStayInTheExtensionData) {
  auto record = LMRecord::initWithLumoraJSON({{"id", "12"}, {"status", ""}, {"tag", 2.5}});
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->serverID);
  EXPECT_FALSE(record->status);
  EXPECT_FALSE(record->sync);
  EXPECT_EQ(record->dictionaryForLumoraJSON()["content"],
            (Json{{"id", "12"}, {"status", ""}, {"tag", 2.5}}));

  EXPECT_FALSE(LMRecord::initWithLumoraJSON(Json::object()));
  EXPECT_FALSE(LMRecord::initWithLumoraJSON(Json::array({1})));
  EXPECT_FALSE(LMRecord::initWithLumoraJSON(nullptr));
}

TEST(LMRecordJSON, AnIdIsAnyNumberWithAWholeValueIn64Bits) {
  // A writer may send a whole number as a real: it still names the record.
  struct Case {
    Json value;
    std::optional<std::int64_t> id;
  };
  const std::vector<Case> cases = {
      {Json(12), 12},
      {Json(12.0), 12},
      {Json(-3.0), -3},
      {Json(9007199254740992.0), 9007199254740992},
      {Json(std::uint64_t{9223372036854775807u}), INT64_MAX},
      {Json(-9223372036854775807.0 - 1), INT64_MIN},
      {Json(12.5), std::nullopt},
      {Json(9223372036854775808.0), std::nullopt},
      {Json(std::uint64_t{9223372036854775808u}), std::nullopt},
      {Json(1e300), std::nullopt},
      {Json(true), std::nullopt},
      {Json("12"), std::nullopt},
  };
  for (const auto& c : cases) {
    auto record = LMRecord::initWithLumoraJSON({{"id", c.value}, {"tag", c.value}});
    ASSERT_TRUE(record);
    EXPECT_EQ(record->serverID, c.id) << c.value;
    EXPECT_EQ(record->sync, c.id) << c.value;
    // What is not an id travels back untouched.
    EXPECT_EQ(record->extensionData.contains("id"), !c.id) << c.value;
    auto contact = LMContact::initWithLumoraJSON(
        {{"groups", Json::array({Json{{"value", c.value}}, Json{{"value", 1}}})}});
    EXPECT_EQ(contact->groupIDs.count(c.id.value_or(1)), 1u) << c.value;
    EXPECT_EQ(contact->groupIDs.size(), c.id && *c.id != 1 ? 2u : 1u) << c.value;
  }
}

TEST(LMGroupJSON, TitleBecomesTheNameAndGoesBack) {
  auto group = LMGroup::initWithLumoraJSON({{"id", 3}, {"tag", 9}, {"title", "Work"}, {"x", 1}});
  ASSERT_TRUE(group);
  EXPECT_EQ(group->name, "Work");
  EXPECT_TRUE(group->memberIDs.empty());
  EXPECT_EQ(group->extensionData, (Json{{"x", 1}}));
  EXPECT_EQ(group->dictionaryForLumoraJSON(),
            (Json{{"type", "group"}, {"content", {{"id", 3}, {"tag", 9}, {"title", "Work"}, {"x", 1}}}}));
}

TEST(LMGroupJSON, MissingOrEmptyTitleNamesTheGroupGroup) {
  auto untitled = LMGroup::initWithLumoraJSON({{"id", 3}});
  ASSERT_TRUE(untitled);
  EXPECT_EQ(untitled->name, "Group");
  EXPECT_EQ(untitled->dictionaryForLumoraJSON()["content"]["title"], "Group");

  // An empty title is not consumed; the name written back replaces it.
  auto empty = LMGroup::initWithLumoraJSON({{"id", 3}, {"title", ""}});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->name, "Group");
  EXPECT_EQ(empty->extensionData, (Json{{"title", ""}}));
  EXPECT_EQ(empty->dictionaryForLumoraJSON()["content"]["title"], "Group");
}

TEST(LMGroupJSON, IgnoringExtensionDataWritesOnlyIdTagAndTitle) {
  auto group = LMGroup::initWithLumoraJSON({{"id", 3}, {"tag", 1}, {"title", "A"}, {"extra", true}});
  ASSERT_TRUE(group);
  group->shouldIgnoreExtensionData = true;
  EXPECT_EQ(group->dictionaryForLumoraJSON()["content"], (Json{{"id", 3}, {"tag", 1}, {"title", "A"}}));
}

TEST(LMRecordCompare, NamesDecideAndTheClassMustMatch) {
  LMGroup a;
  LMGroup b;
  EXPECT_TRUE(a.isEqualToRecord(&b));  // both unnamed
  b.name = "";
  EXPECT_TRUE(a.isEqualToRecord(&b));
  b.name = "Friends";
  EXPECT_FALSE(a.isEqualToRecord(&b));
  EXPECT_FALSE(a.isEqualToRecord(nullptr));

  LMContact contact;
  contact.name = "Friends";
  a.name = "Friends";
  EXPECT_FALSE(a.isEqualToRecord(&contact));  // a contact is not a group
  LMRecord base;
  base.name = "Friends";
  EXPECT_TRUE(base.isEqualToRecord(&a));  // a group is a record
}

TEST(LMRecordCompare, MergeKeepsTheNameWhenTheOtherHasNone) {
  LMGroup a;
  a.name = "Mine";
  LMGroup nameless;
  a.mergeWithRecord(&nameless);
  EXPECT_EQ(a.name, "Mine");
  a.mergeWithRecord(nullptr);
  EXPECT_EQ(a.name, "Mine");
  LMGroup named;
  named.name = "Theirs";
  a.mergeWithRecord(&named);
  EXPECT_EQ(a.name, "Theirs");
}

TEST(LMGroupArchive, RoundTripThroughAFile) {
  testsupport::TestHome home;
  auto cloud = LMGroup::initWithLumoraJSON({{"id", 3}, {"tag", 1}, {"title", "Family"}, {"x", 2}});
  ASSERT_TRUE(cloud);
  LMGroup group = *cloud;
  group.recordID = 42;
  group.memberIDs = {5, 1, 9};

  platform::KeyedArchive groupArchive;
  group.encodeWithCoder(groupArchive);
  platform::KeyedArchive root;
  root.encodeArchive("42", groupArchive);
  const auto path = home.root() / "syncGroups.data";
  ASSERT_TRUE(root.writeToFile(path).ok());

  auto read = platform::KeyedArchive::readFromFile(path);
  ASSERT_TRUE(read.ok());
  auto readGroup = read->decodeArchive("42");
  ASSERT_TRUE(readGroup);
  LMGroup back = LMGroup::initWithCoder(*readGroup);
  EXPECT_EQ(back.recordID, 42);
  EXPECT_EQ(back.name, "Family");
  EXPECT_EQ(back.memberIDs, (std::set<std::int32_t>{1, 5, 9}));
  EXPECT_EQ(back.type, lumora::kLMRecordTypeLocal);
  EXPECT_FALSE(back.serverID);
  EXPECT_FALSE(back.sync);
  EXPECT_TRUE(back.extensionData.is_null());
}

TEST(LMGroupArchive, MissingKeysLeaveFieldsUnset) {
  LMGroup back = LMGroup::initWithCoder(platform::KeyedArchive());
  EXPECT_FALSE(back.recordID);
  EXPECT_FALSE(back.name);
  EXPECT_TRUE(back.memberIDs.empty());
  EXPECT_EQ(back.type, lumora::kLMRecordTypeLocal);
}

}  // namespace
