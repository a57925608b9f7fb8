#include <gtest/gtest.h>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMGroup.h"

namespace {

using lumora::LMContact;
using platform::Json;

Json item(const std::string& value, const std::string& type = "") {
  Json j{{"value", value}};
  if (!type.empty()) j["type"] = type;
  return j;
}

LMContact person(const std::string& given, const std::string& family = "Smith") {
  LMContact c;
  c.type = lumora::kLMRecordTypeLocal;
  c.givenName = given;
  c.familyName = family;
  c.name = given + " " + family;
  return c;
}

// ---- Validity and single properties ----

TEST(LMContactValidity, WhatMakesAContactAndItsNameValid) {
  LMContact addressAndNote;
  addressAndNote.addressArray = Json{{{"locality", "Oslo"}}};
  addressAndNote.note = "n";
  EXPECT_FALSE(addressAndNote.isValid());

  LMContact nickOnly;
  nickOnly.nickName = "Bo";
  EXPECT_TRUE(nickOnly.isValid());
  EXPECT_FALSE(nickOnly.isNameValid());

  LMContact phoneOnly;
  phoneOnly.phoneNumberArray = Json::array({item("1")});
  EXPECT_TRUE(phoneOnly.isValid());

  LMContact emptyName;
  emptyName.givenName = "";
  emptyName.phoneticGivenName = "x";
  EXPECT_FALSE(emptyName.isNameValid());
  emptyName.suffix = "Jr";
  EXPECT_TRUE(emptyName.isNameValid());
}

TEST(LMContactValidity, SinglePropertyFlagsCross) {
  bool first = false;
  bool second = false;
  EXPECT_FALSE(LMContact::hasSinglePropertyConflict(std::string("a"), std::nullopt, first, second));
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_TRUE(LMContact::hasSinglePropertyConflict(std::nullopt, std::string("b"), first, second));
  EXPECT_TRUE(second);

  bool f = false;
  bool s = false;
  EXPECT_FALSE(LMContact::hasSinglePropertyConflict(std::string(""), std::nullopt, f, s));
  EXPECT_TRUE(LMContact::hasSinglePropertyConflict(std::string("a"), std::string("b"), f, s));
  EXPECT_FALSE(f || s);
}

// ---- Equality ----

TEST(LMContactEquality, TextsCompareExactlyWithMissingEqualToEmpty) {
  LMContact a = person("Ann");
  LMContact b = person("ann");
  EXPECT_FALSE(a.isEqualToRecord(&b));
  b = person("Ann");
  b.note = "";
  b.emailArray = Json::array();
  b.name = "Another display name";  // the display name does not take part
  b.groupIDs = {4};
  EXPECT_TRUE(a.isEqualToRecord(&b));
  lumora::LMGroup group;
  EXPECT_FALSE(a.isEqualToRecord(&group));
  EXPECT_FALSE(a.isEqualToRecord(nullptr));
}

TEST(LMContactEquality, ListsUseTheirOwnRules) {
  LMContact a = person("Ann");
  LMContact b = person("Ann");
  a.phoneNumberArray = Json::array({item("138 0013-8000", "mobile")});
  b.phoneNumberArray = Json::array({item("13800138000", "work")});
  EXPECT_TRUE(a.isEqualToRecord(&b));

  a.emailArray = Json{{{"value", "a@x"}, {"primary", true}}, item("b@x")};
  b.emailArray = Json::array({item("a@x"), item("b@x")});
  EXPECT_TRUE(a.isEqualToRecord(&b));
  b.emailArray = Json::array({item("b@x"), item("a@x")});
  EXPECT_FALSE(a.isEqualToRecord(&b));
  b.emailArray = a.emailArray;

  a.urlArray = Json::array({item("u", "home")});
  b.urlArray = Json::array({item("u", "work")});  // whole items: labels count
  EXPECT_FALSE(a.isEqualToRecord(&b));
  b.urlArray = a.urlArray;

  a.addressArray = Json{{{"type", "home"}, {"locality", "Oslo"}}};
  b.addressArray = Json{{{"type", "work"}, {"locality", "Oslo"}, {"formatted", "Oslo"}}};
  EXPECT_TRUE(a.isEqualToRecord(&b));
}

TEST(LMContactEquality, PhotoIdentity) {
  LMContact a = person("Ann");
  LMContact b = person("Ann");
  a.photoId = "p1";
  b.thumbnailId = "p1";
  EXPECT_TRUE(a.isEqualToRecord(&b));
  EXPECT_TRUE(b.isEqualToRecord(&a));
  b.thumbnailId = "t";
  EXPECT_FALSE(a.isEqualToRecord(&b));
  b.photoId = "p2";
  EXPECT_FALSE(a.isEqualToRecord(&b));
  b.photoId = "p1";  // same photo, thumbnails do not matter
  EXPECT_TRUE(a.isEqualToRecord(&b));
  a.photoId.reset();
  b.photoId.reset();
  a.thumbnailId = "t";
  EXPECT_TRUE(a.isEqualToRecord(&b));
  a.thumbnailId = "u";
  EXPECT_FALSE(a.isEqualToRecord(&b));
}

// ---- Conflict ----

TEST(LMContactConflict, InvalidOrMismatchedNamesConflict) {
  LMContact a = person("Ann");
  EXPECT_TRUE(a.hasConflictWithContact(nullptr));

  LMContact companyOnly;
  companyOnly.company = "Acme";
  LMContact phoneOnly;
  phoneOnly.phoneNumberArray = Json::array({item("1")});
  EXPECT_TRUE(companyOnly.hasConflictWithContact(&phoneOnly));  // companies differ

  LMContact invalid;
  EXPECT_TRUE(a.hasConflictWithContact(&invalid));
  EXPECT_TRUE(a.hasConflictWithContact(&companyOnly));  // name-valid against not

  LMContact b = person("Bob");
  EXPECT_TRUE(a.hasConflictWithContact(&b));
  b.name = a.name;  // equal display names skip the parts
  EXPECT_FALSE(a.hasConflictWithContact(&b));
}

TEST(LMContactConflict, SamePhoneWinsOverDifferentEmails) {
  LMContact a = person("Ann");
  LMContact b = person("Ann");
  a.company = b.company = "Acme";
  a.phoneNumberArray = Json::array({item("555-1")});
  b.phoneNumberArray = Json::array({item("5551")});
  a.emailArray = Json::array({item("a@x")});
  b.emailArray = Json::array({item("b@x")});
  EXPECT_FALSE(a.hasConflictWithContact(&b));

  b.phoneNumberArray = Json::array({item("5551"), item("777")});  // contained
  EXPECT_FALSE(a.hasConflictWithContact(&b));

  b.phoneNumberArray = Json::array({item("777")});  // both lists differ
  EXPECT_TRUE(a.hasConflictWithContact(&b));
  b.emailArray = Json::array({item("a@x")});
  EXPECT_FALSE(a.hasConflictWithContact(&b));
}

TEST(LMContactConflict, ValuesHeldOnOppositeSidesConflict) {
  LMContact a = person("Ann");
  LMContact b = person("Ann");
  a.birthday = "1990-01-01";
  b.note = "met at work";
  EXPECT_TRUE(a.hasConflictWithContact(&b));

  LMContact c = person("Ann");
  LMContact d = person("Ann");
  c.phoneNumberArray = Json::array({item("1")});
  d.emailArray = Json::array({item("a@x")});
  EXPECT_TRUE(c.hasConflictWithContact(&d));

  // One side's extra value alone is no conflict.
  LMContact e = person("Ann");
  LMContact f = person("Ann");
  e.birthday = "1990-01-01";
  e.phoneNumberArray = Json::array({item("1")});
  EXPECT_FALSE(e.hasConflictWithContact(&f));
  f.birthday = "1990-01-02";
  EXPECT_TRUE(e.hasConflictWithContact(&f));
}

TEST(LMContactConflict, DifferentEmailsAloneConflict) {
  LMContact a = person("Ann");
  LMContact b = person("Ann");
  a.emailArray = Json::array({item("a@x")});
  b.emailArray = Json::array({item("b@x")});
  EXPECT_TRUE(a.hasConflictWithContact(&b));
}

// ---- Merge ----

TEST(LMContactMerge, BothEndWithTheSameValues) {
  LMContact a = person("Ann");
  LMContact b = person("Bob");
  a.nickName = "Annie";
  b.nickName = "";
  a.company = "Acme";
  b.note = "note";
  a.phoneNumberArray = Json::array({item("555 1", "mobile")});
  b.phoneNumberArray = Json::array({item("5551", "work"), item("777")});
  b.dateArray = Json::array({item("--01-02", "anniversary")});
  a.mergeWithRecord(&b);

  EXPECT_EQ(a.nickName, "");
  EXPECT_EQ(b.nickName, "");
  EXPECT_EQ(a.company, "Acme");
  EXPECT_EQ(b.company, "Acme");
  EXPECT_EQ(a.note, "note");
  EXPECT_EQ(a.phoneNumberArray, (Json::array({item("555 1", "mobile"), item("777")})));
  EXPECT_EQ(b.phoneNumberArray, a.phoneNumberArray);
  EXPECT_EQ(a.dateArray, b.dateArray);
  EXPECT_EQ(a.givenName, "Ann");  // names are left alone
  EXPECT_EQ(b.givenName, "Bob");
}

TEST(LMContactMerge, OnlyAnotherContactIsMerged) {
  LMContact a = person("Ann");
  a.nickName = "Annie";
  lumora::LMGroup group;
  group.name = "G";
  a.mergeWithRecord(&group);
  a.mergeWithRecord(nullptr);
  EXPECT_EQ(a.nickName, "Annie");
  EXPECT_EQ(a.name, "Ann Smith");
}

}  // namespace
