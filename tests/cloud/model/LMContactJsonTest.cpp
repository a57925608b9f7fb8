#include <gtest/gtest.h>

#include "cloud/model/LMContact.h"

namespace {

using lumora::LMContact;
using platform::Json;

// A cloud contact carrying every key the client reads, plus keys it does not.
Json fullContent() {
  return Json::parse(R"({
    "id": 1001, "tag": 77, "status": "custom",
    "displayName": "Dr. Ada B. Lovelace Jr.",
    "name": {"familyName": "Lovelace", "givenName": "Ada", "middleName": "B.",
             "prefix": "Dr.", "suffix": "Jr.", "phoneticFamilyName": "lav-leys",
             "phoneticGivenName": "ay-da", "phoneticMiddleName": "bee"},
    "nickName": "Countess",
    "organizations": [{"company": "Analytical Engines", "title": "Programmer"}],
    "note": "first programmer",
    "emails": [{"type": "home", "value": "ada@example.com", "primary": true}],
    "addresses": [{"type": "work", "streetAddress": "1 St James's Sq", "locality": "London",
                   "region": "LDN", "postalCode": "SW1", "country": "UK",
                   "formatted": "1 St James's Sq London"}],
    "events": [{"type": "birthday", "value": "1815-12-10"},
               {"type": "anniversary", "value": "--07-08"}],
    "lunar": "1815-11-10",
    "photos": [{"type": "photo", "value": "file-1"}, {"type": "thumbnail", "value": "file-2"}],
    "phoneNumbers": [{"type": "mobile", "value": "+44 20-7946-0000"}],
    "urls": [{"type": "homepage", "value": "https://example.com/ada"}],
    "ims": [{"type": "skype", "value": "ada.l"}],
    "sipPhones": [{"value": "sip:ada@example.com"}],
    "relations": [{"type": "father", "value": "Lord Byron"}],
    "groups": [{"value": 3}, {"value": 8}],
    "starred": true,
    "customFields": {"k": ["v"]}
  })");
}

TEST(LMContactJSON, EveryFieldIsRead) {
  auto contact = LMContact::initWithLumoraJSON(fullContent());
  ASSERT_TRUE(contact);
  const LMContact& c = *contact;
  EXPECT_EQ(c.type, lumora::kLMRecordTypeLumora);
  EXPECT_EQ(c.serverID, 1001);
  EXPECT_EQ(c.sync, 77);
  EXPECT_EQ(c.status, "custom");
  EXPECT_EQ(c.name, "Dr. Ada B. Lovelace Jr.");
  EXPECT_EQ(c.familyName, "Lovelace");
  EXPECT_EQ(c.givenName, "Ada");
  EXPECT_EQ(c.middleName, "B.");
  EXPECT_EQ(c.prefix, "Dr.");
  EXPECT_EQ(c.suffix, "Jr.");
  EXPECT_EQ(c.phoneticFamilyName, "lav-leys");
  EXPECT_EQ(c.phoneticGivenName, "ay-da");
  EXPECT_EQ(c.phoneticMiddleName, "bee");
  EXPECT_EQ(c.nickName, "Countess");
  EXPECT_EQ(c.company, "Analytical Engines");
  EXPECT_EQ(c.jobTitle, "Programmer");
  EXPECT_EQ(c.note, "first programmer");
  EXPECT_EQ(c.birthday, "1815-12-10");
  EXPECT_EQ(c.emailArray, fullContent()["emails"]);
  EXPECT_EQ(c.addressArray, fullContent()["addresses"]);
  EXPECT_EQ(c.dateArray, Json::parse(R"([{"type": "anniversary", "value": "--07-08"},
                                         {"type": "lunar", "value": "1815-11-10"}])"));
  EXPECT_TRUE(c.hasPhoto);
  EXPECT_EQ(c.photoId, "file-1");
  EXPECT_EQ(c.thumbnailId, "file-2");
  EXPECT_EQ(c.phoneNumberArray, fullContent()["phoneNumbers"]);
  EXPECT_EQ(c.urlArray, fullContent()["urls"]);
  EXPECT_EQ(c.imsArray, Json::parse(R"([{"type": "skype", "value": "ada.l"},
                                        {"type": "sip", "value": "sip:ada@example.com"}])"));
  EXPECT_EQ(c.relationsArray, fullContent()["relations"]);
  EXPECT_EQ(c.groupIDs, (std::set<std::int64_t>{3, 8}));
  // Unknown keys and the raw "lunar" stay for the way back.
  EXPECT_EQ(c.extensionData, Json::parse(R"({"starred": true, "customFields": {"k": ["v"]},
                                             "lunar": "1815-11-10"})"));
}

TEST(LMContactJSON, WritingBackGivesTheSameContentLessTheStatus) {
  auto contact = LMContact::initWithLumoraJSON(fullContent());
  ASSERT_TRUE(contact);
  Json out = contact->dictionaryForLumoraJSON();
  EXPECT_EQ(out["type"], "contact");
  Json expected = fullContent();
  expected.erase("status");
  EXPECT_EQ(out["content"], expected);

  // And a second trip through the reader changes nothing.
  auto again = LMContact::initWithLumoraJSON(out["content"]);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->dictionaryForLumoraJSON(), out);
  EXPECT_TRUE(again->isEqualToRecord(&*contact));
}

TEST(LMContactJSON, MiddleNameRule) {
  const auto read = [](Json name) {
    return LMContact::initWithLumoraJSON({{"name", std::move(name)}}).value();
  };
  // No Latin letters anywhere: the middle part joins the given name.
  LMContact chinese = read({{"familyName", "王"}, {"middleName", "小"}, {"givenName", "明"}});
  EXPECT_EQ(chinese.givenName, "小明");
  EXPECT_FALSE(chinese.middleName);
  EXPECT_EQ(chinese.dictionaryForLumoraJSON()["content"]["name"],
            (Json{{"familyName", "王"}, {"givenName", "小明"}}));

  LMContact latinFamily = read({{"familyName", "Wang"}, {"middleName", "小"}, {"givenName", "明"}});
  EXPECT_EQ(latinFamily.givenName, "明");
  EXPECT_EQ(latinFamily.middleName, "小");

  LMContact noGiven = read({{"familyName", "王"}, {"middleName", "小"}});
  EXPECT_EQ(noGiven.middleName, "小");
  EXPECT_FALSE(noGiven.givenName);

  LMContact latinGiven = read({{"familyName", "王"}, {"middleName", "小"}, {"givenName", "Ming"}});
  EXPECT_EQ(latinGiven.middleName, "小");
  EXPECT_EQ(latinGiven.givenName, "Ming");
}

TEST(LMContactJSON, EventsWithAndWithoutAYear) {
  auto contact = LMContact::initWithLumoraJSON(Json::parse(R"({"events": [
      {"type": "custom", "value": "06-01"},
      {"type": "birthday"},
      {"type": "birthday", "value": "02-29"},
      {"type": "birthday", "value": "2001-01-01", "extra": 1},
      {"type": "typed only"},
      {"value": "2000-01-01"},
      "not an event"
    ]})"));
  ASSERT_TRUE(contact);
  EXPECT_EQ(contact->birthday, "--02-29");
  EXPECT_EQ(contact->dateArray, Json::parse(R"([{"type": "custom", "value": "--06-01"},
                                                {"type": "birthday", "value": "2001-01-01"},
                                                {"type": "typed only"}])"));
  EXPECT_FALSE(contact->extensionData.contains("events"));
  // The birthday goes first; the second birthday follows as a date entry.
  EXPECT_EQ(contact->dictionaryForLumoraJSON()["content"]["events"],
            Json::parse(R"([{"type": "birthday", "value": "--02-29"},
                            {"type": "custom", "value": "--06-01"},
                            {"type": "birthday", "value": "2001-01-01"},
                            {"type": "typed only"}])"));
}

TEST(LMContactJSON, LunarDateReplacesTheRawValueWhileItExists) {
  auto contact = LMContact::initWithLumoraJSON({{"id", 1}, {"lunar", "08-15"}});
  ASSERT_TRUE(contact);
  EXPECT_EQ(contact->dateArray, Json::parse(R"([{"type": "lunar", "value": "--08-15"}])"));
  Json content = contact->dictionaryForLumoraJSON()["content"];
  EXPECT_EQ(content["lunar"], "--08-15");
  EXPECT_FALSE(content.contains("events"));

  contact->dateArray = Json::array();
  EXPECT_EQ(contact->dictionaryForLumoraJSON()["content"]["lunar"], "08-15");
}

TEST(LMContactJSON, OnlyTheFirstOrganizationIsKept) {
  auto contact = LMContact::initWithLumoraJSON(Json::parse(
      R"({"organizations": [{"company": "A", "title": "T"}, {"company": "B"}]})"));
  ASSERT_TRUE(contact);
  EXPECT_EQ(contact->company, "A");
  EXPECT_EQ(contact->dictionaryForLumoraJSON()["content"]["organizations"],
            Json::parse(R"([{"company": "A", "title": "T"}])"));
  // The key goes even when its first element is unusable.
  auto odd = LMContact::initWithLumoraJSON(Json::parse(R"({"organizations": ["x"]})"));
  ASSERT_TRUE(odd);
  EXPECT_FALSE(odd->company);
  EXPECT_FALSE(odd->dictionaryForLumoraJSON()["content"].contains("organizations"));
}

TEST(LMContactJSON, SipAddressesTravelApartFromOtherAccounts) {
  auto contact = LMContact::initWithLumoraJSON(
      Json::parse(R"({"sipPhones": [{"value": "sip:bob@example.com"}, {"novalue": 1}]})"));
  ASSERT_TRUE(contact);
  EXPECT_EQ(contact->imsArray, Json::parse(R"([{"type": "sip", "value": "sip:bob@example.com"}])"));
  Json content = contact->dictionaryForLumoraJSON()["content"];
  EXPECT_EQ(content["sipPhones"], Json::parse(R"([{"value": "sip:bob@example.com"}])"));
  EXPECT_FALSE(content.contains("ims"));
}

TEST(LMContactJSON, GroupsKeepOnlyNumericIds) {
  auto contact = LMContact::initWithLumoraJSON(
      Json::parse(R"({"groups": [{"value": 3}, {"value": "4"}, 5]})"));
  ASSERT_TRUE(contact);
  EXPECT_EQ(contact->groupIDs, (std::set<std::int64_t>{3}));
  EXPECT_FALSE(contact->extensionData.contains("groups"));
}

TEST(LMContactJSON, PhotoEntries) {
  auto thumbOnly = LMContact::initWithLumoraJSON(
      Json::parse(R"({"photos": [{"type": "thumbnail", "value": "t1"}]})"));
  ASSERT_TRUE(thumbOnly);
  EXPECT_TRUE(thumbOnly->hasPhoto);
  EXPECT_FALSE(thumbOnly->photoId);
  EXPECT_EQ(thumbOnly->thumbnailId, "t1");

  auto untyped = LMContact::initWithLumoraJSON(Json::parse(R"({"photos": [{"value": "x"}]})"));
  ASSERT_TRUE(untyped);
  EXPECT_EQ(untyped->dictionaryForLumoraJSON()["content"]["photos"], Json::array());

  LMContact local;
  local.setPhotoArray(Json::parse(R"([{"type": "photo", "value": "p"}])"));
  EXPECT_EQ(local.photoId, "p");
  local.setPhotoArray(nullptr);
  EXPECT_FALSE(local.photoId);
  EXPECT_FALSE(local.dictionaryForLumoraJSON()["content"].contains("photos"));
}

TEST(LMContactJSON, WrongTypesStayInTheExtensionData) {
  Json content = Json::parse(R"({"displayName": "", "nickName": 3, "emails": [],
                                 "phoneNumbers": {"value": "1"}, "name": {}, "note": null})");
  auto contact = LMContact::initWithLumoraJSON(content);
  ASSERT_TRUE(contact);
  EXPECT_FALSE(contact->name);
  EXPECT_FALSE(contact->nickName);
  EXPECT_TRUE(contact->emailArray.is_null());
  EXPECT_TRUE(contact->phoneNumberArray.is_null());
  EXPECT_EQ(contact->extensionData, content);
  EXPECT_EQ(contact->dictionaryForLumoraJSON()["content"], content);
}

}  // namespace
