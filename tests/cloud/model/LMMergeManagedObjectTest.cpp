#include <gtest/gtest.h>

#include "cloud/model/LMMergeManagedObject.h"

namespace {

using lumora::LMContact;
using lumora::LMMergeManagedObject;
using platform::Json;

Json labelled(const std::string& value, const std::string& type = "") {
  Json j{{"value", value}};
  if (!type.empty()) j["type"] = type;
  return j;
}

LMContact member(std::int32_t id, const std::string& given) {
  LMContact c;
  c.type = lumora::kLMRecordTypeLocal;
  c.recordID = id;
  c.givenName = given;
  c.familyName = "Lee";
  c.name = given + " Lee";
  return c;
}

std::vector<std::string> entryKeys(const Json& list) {
  std::vector<std::string> keys;
  for (const Json& entry : list) {
    for (const auto& kv : entry.items()) {
      if (kv.key() != "type") keys.push_back(kv.key());
    }
  }
  return keys;
}

const Json& choicesOf(const Json& list, const std::string& key) {
  for (const Json& entry : list) {
    if (entry.contains(key)) return entry[key];
  }
  static const Json none;
  return none;
}

TEST(LMMergeManagedObject, PropertyListOfADuplicateGroup) {
  LMContact a = member(1, "Kim");
  a.company = "Acme";
  a.birthday = "--03-04";
  a.phoneNumberArray = Json::array({labelled("010-1234 5678", "mobile")});
  a.emailArray = Json::array({labelled("kim@x", "home")});
  LMContact b = member(2, "Kimberly");
  b.name = a.name;  // same display name, different given name
  b.note = "";
  b.phoneNumberArray = Json::array({labelled("01012345678", "work"), labelled("999")});
  b.addressArray = Json{{{"type", "home"}, {"postalCode", "04524"}}, {{"type", "work"}}};
  LMMergeManagedObject merge({a, b});

  const Json& list = merge.mergePropertyArray;
  EXPECT_EQ(entryKeys(list), (std::vector<std::string>{"name", "birthday", "company", "note",
                                                       "phoneNumberArray", "emailArray",
                                                       "addressArray"}));
  EXPECT_EQ(list[0]["type"], 0);
  EXPECT_EQ(choicesOf(list, "name"),
            Json::parse(R"([{"value": {"familyName": "Lee", "givenName": "Kim"},
                             "display": "Kim Lee"}])"));
  EXPECT_EQ(choicesOf(list, "note"), Json::parse(R"([{"value": "", "display": ""}])"));
  EXPECT_EQ(choicesOf(list, "phoneNumberArray"),
            (Json{{{"value", labelled("010-1234 5678", "mobile")}, {"display", "010-1234 5678"}},
                  {{"value", labelled("999")}, {"display", "999"}}}));
  EXPECT_EQ(choicesOf(list, "addressArray"),
            Json::parse(R"([{"value": {"type": "home", "postalCode": "04524"},
                             "display": " 04524"}])"));
}

TEST(LMMergeManagedObject, MergedContactTakesFirstValuesAndEveryListItem) {
  LMContact a = member(1, "Kim");
  a.phoneNumberArray = Json::array({labelled("010-1", "mobile")});
  LMContact b = member(2, "Kimberly");
  b.company = "Beta";
  b.phoneNumberArray = Json::array({labelled("0101"), labelled("222")});
  b.emailArray = Json::array({labelled("b@x")});
  LMContact c = member(3, "K");
  c.company = "Gamma";
  c.phoneNumberArray = Json::array({labelled("333")});
  c.emailArray = Json::array({labelled("b@x", "work"), labelled("c@x")});
  LMMergeManagedObject merge({a, b, c});

  auto merged = LMMergeManagedObject::contactFromPropertyArray(merge.mergePropertyArray);
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->type, lumora::kLMRecordTypeLocal);
  EXPECT_EQ(merged->givenName, "Kim");
  EXPECT_EQ(merged->familyName, "Lee");
  EXPECT_EQ(merged->company, "Beta");
  EXPECT_EQ(merged->phoneNumberArray, (Json::array({labelled("010-1", "mobile"), labelled("222"), labelled("333")})));
  EXPECT_EQ(merged->emailArray, (Json::array({labelled("b@x"), labelled("c@x")})));
  EXPECT_FALSE(merged->note);

  // Leaving the first member out changes the name and the phones.
  merge.ignoreContactIDs.insert(1);
  merge.generateMergePropertyArray();
  merged = LMMergeManagedObject::contactFromPropertyArray(merge.mergePropertyArray);
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->givenName, "Kimberly");
  EXPECT_EQ(merged->phoneNumberArray, (Json::array({labelled("0101"), labelled("222"), labelled("333")})));
  EXPECT_EQ(merge.mergeContacts().size(), 3u);
}

TEST(LMMergeManagedObject, WhenAGroupCanStillBeMerged) {
  LMMergeManagedObject merge({member(1, "A"), member(2, "B"), member(3, "C")});
  EXPECT_TRUE(merge.isContactsCanMerge());
  merge.ignoreContactIDs = {1};
  EXPECT_TRUE(merge.isContactsCanMerge());
  merge.ignoreContactIDs = {1, 2};
  EXPECT_FALSE(merge.isContactsCanMerge());
  merge.ignoreContactIDs = {1, 99};  // an id of no member leaves two members
  EXPECT_TRUE(merge.isContactsCanMerge());
  merge.ignoreContactIDs.clear();
  merge.isMerged = true;
  EXPECT_FALSE(merge.isContactsCanMerge());
  EXPECT_FALSE(LMMergeManagedObject({}).isContactsCanMerge());
}

TEST(LMMergeManagedObject, ScreenListsAreCheckedFieldByField) {
  EXPECT_FALSE(LMMergeManagedObject::contactFromPropertyArray(Json::array()));
  EXPECT_FALSE(LMMergeManagedObject::contactFromPropertyArray(Json("not a list")));

  Json list = Json::parse(R"([
    {"type": 0, "company": [{"value": "Acme"}, {"value": "Other"}]},
    {"type": 0, "name": [{"value": {"givenName": "Late"}}]},
    {"type": 0, "photoArray": [{"value": [{"type": "photo", "value": "p"}]}]},
    {"type": 0, "displayName": [{"value": "x"}]},
    {"type": 0, "jobTitle": [{"value": 42}]},
    {"type": 1, "note": [{"value": "as a list"}]},
    {"type": 1, "urlArray": [{"value": {"value": "u1"}}, {"display": "no value"}]},
    {"type": 2, "nickName": [{"value": "unknown type"}]},
    {"type": 0, "emailArray": [{"value": "not a list"}]},
    {"type": 1, "relationsArray": []}
  ])");
  auto contact = LMMergeManagedObject::contactFromPropertyArray(list);
  ASSERT_TRUE(contact);
  EXPECT_EQ(contact->company, "Acme");
  EXPECT_FALSE(contact->givenName);  // "name" counts only as the first entry
  EXPECT_FALSE(contact->name);
  EXPECT_TRUE(contact->photoArray().is_null());
  EXPECT_FALSE(contact->jobTitle);
  EXPECT_FALSE(contact->note);
  EXPECT_FALSE(contact->nickName);
  EXPECT_EQ(contact->urlArray, (Json::array({labelled("u1")})));
  EXPECT_TRUE(contact->emailArray.is_null());
  EXPECT_TRUE(contact->relationsArray.is_null());
}

}  // namespace
