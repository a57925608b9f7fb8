// Writing a contact into an address-book person field by field, stopping at
// the first error, and loading a relation row's sync state into a contact.
#include <chrono>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMContactRelation.h"
#include "cloud/model/LMGroup.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "utils/LMErrors.h"
#include "platform/addressbook/Labels.h"

namespace {

namespace ab = platform::addressbook;
using lumora::LMContact;
using lumora::LMContactRelation;
using platform::Json;
using P = ab::PersonProperty;

using recordstoretest::at;

std::string str(std::string_view s) { return std::string(s); }

class ContactWrite : public recordstoretest::AddressBookFixture {
 protected:
  // A person holding a value in every property the writer handles, and an
  // image and a department that it must leave alone.
  ab::Record fullPerson() {
    ab::Record p = person(local(), "Old first");
    for (P property : {P::LastName, P::LastNamePhonetic, P::MiddleName, P::MiddleNamePhonetic,
                       P::FirstNamePhonetic, P::Prefix, P::Suffix, P::Nickname, P::Organization,
                       P::JobTitle, P::Note, P::Department}) {
      EXPECT_TRUE(p.setValue(property, std::string("old")).ok());
    }
    EXPECT_TRUE(p.setValue(P::Birthday, at(1980, 1, 2)).ok());
    ab::MultiValue<std::string> strings;
    strings.add("old", str(ab::kHomeLabel));
    for (P property : {P::Email, P::Phone, P::URL, P::RelatedNames}) {
      EXPECT_TRUE(p.setValue(property, strings).ok());
    }
    ab::MultiValue<ab::Date> dates;
    dates.add(at(2000, 3, 4), str(ab::kPersonAnniversaryLabel));
    EXPECT_TRUE(p.setValue(P::Date, dates).ok());
    ab::MultiValue<ab::Dictionary> dictionaries;
    dictionaries.add({{str(ab::kPersonAddressCityKey), "Old town"}}, str(ab::kWorkLabel));
    EXPECT_TRUE(p.setValue(P::Address, dictionaries).ok());
    EXPECT_TRUE(p.setValue(P::InstantMessage, dictionaries).ok());
    EXPECT_TRUE(p.setImageData(platform::Bytes{1, 2, 3}).ok());
    return p;
  }
};

TEST_F(ContactWrite, EmptyContactRemovesEveryWrittenPropertyAndNothingElse) {
  ab::Record p = fullPerson();
  LMContact empty;
  EXPECT_TRUE(empty.mergeToLocalRecord(p).ok());
  for (P property : {P::LastName, P::LastNamePhonetic, P::MiddleName, P::MiddleNamePhonetic,
                     P::FirstName, P::FirstNamePhonetic, P::Prefix, P::Suffix, P::Birthday,
                     P::Nickname, P::Organization, P::JobTitle, P::Note, P::Email, P::Address,
                     P::Date, P::Phone, P::URL, P::InstantMessage, P::RelatedNames}) {
    EXPECT_FALSE(p.value(property).has_value()) << ab::propertyName(property);
  }
  EXPECT_TRUE(p.hasImageData());
  EXPECT_EQ(p.stringValue(P::Department), "old");
}

TEST_F(ContactWrite, SingleValuesAndBirthdays) {
  ab::Record p = fullPerson();
  LMContact c;
  c.familyName = "Lee";
  c.phoneticFamilyName = "Lii";
  c.middleName = "Q";
  c.givenName = "";  // empty: removed
  c.prefix = "Dr";
  c.birthday = "1990-05-17";
  c.company = "Quenby";
  c.note = "line one\nline two";
  EXPECT_TRUE(c.mergeToLocalRecord(p).ok());
  EXPECT_EQ(p.stringValue(P::LastName), "Lee");
  EXPECT_EQ(p.stringValue(P::LastNamePhonetic), "Lii");
  EXPECT_EQ(p.stringValue(P::MiddleName), "Q");
  EXPECT_FALSE(p.stringValue(P::FirstName).has_value());
  EXPECT_EQ(p.stringValue(P::Prefix), "Dr");
  EXPECT_FALSE(p.stringValue(P::Suffix).has_value());
  EXPECT_EQ(p.dateValue(P::Birthday), at(1990, 5, 17));
  EXPECT_EQ(p.stringValue(P::Organization), "Quenby");
  EXPECT_EQ(p.stringValue(P::Note), "line one\nline two");

  // A day without a year is stored in the year 1604; a text that is no date
  // counts as no birthday.
  c.birthday = "--06-01";
  EXPECT_TRUE(c.mergeToLocalRecord(p).ok());
  EXPECT_EQ(p.dateValue(P::Birthday), at(1604, 6, 1));
  c.birthday = "someday";
  EXPECT_TRUE(c.mergeToLocalRecord(p).ok());
  EXPECT_FALSE(p.dateValue(P::Birthday).has_value());
}

TEST_F(ContactWrite, ListsReplaceThePersonsEntriesInOrderWithTheirLabels) {
  ab::Record p = fullPerson();
  LMContact c;
  c.phoneNumberArray = Json::parse(
      R"([{"type":"mobile","value":"+1 (555) 123-4567"},{"type":"work","value":"555-0000"}])");
  c.emailArray = Json::parse(R"([{"value":"a@x.org"},{"type":"home","value":"b@x.org"}])");
  c.urlArray = Json::parse(R"([{"type":"home","value":"https://x.org"}])");
  c.addressArray = Json::parse(
      R"([{"type":"work","streetAddress":"1 Main St","locality":"Springfield","region":"",
           "postalCode":"12345","country":"US","formatted":"1 Main St, Springfield"}])");
  c.dateArray = Json::parse(
      R"([{"type":"lunar","value":"--08-15"},{"type":"other","value":"2001-02-03"},
          {"type":"home","value":"not a date"}])");
  c.imsArray = Json::parse(
      R"([{"type":"qq","value":"12345"},{"type":"sip","value":"sip:a@x.org"},{"value":"nobody"}])");
  c.relationsArray = Json::parse(R"([{"type":"mother","value":"Mum"},{"type":"coach","value":"C"}])");
  ASSERT_TRUE(c.mergeToLocalRecord(p).ok());

  auto phones = p.multiStringValue(P::Phone);
  ASSERT_TRUE(phones.has_value());
  ASSERT_EQ(phones->size(), 2u);
  EXPECT_EQ((*phones)[0].value, "+1 (555) 123-4567");  // not normalised
  EXPECT_EQ((*phones)[0].label, str(ab::kPersonPhoneMobileLabel));
  EXPECT_EQ((*phones)[1].value, "555-0000");
  EXPECT_EQ((*phones)[1].label, str(ab::kWorkLabel));

  auto emails = p.multiStringValue(P::Email);
  ASSERT_EQ(emails->size(), 2u);
  EXPECT_FALSE((*emails)[0].label.has_value());
  EXPECT_EQ((*emails)[1].label, str(ab::kHomeLabel));

  auto urls = p.multiStringValue(P::URL);
  ASSERT_EQ(urls->size(), 1u);
  EXPECT_EQ((*urls)[0].label, "home");  // the word itself, not the home label

  auto addresses = p.multiDictionaryValue(P::Address);
  ASSERT_EQ(addresses->size(), 1u);
  const ab::Dictionary expected = {{str(ab::kPersonAddressStreetKey), "1 Main St"},
                                   {str(ab::kPersonAddressCityKey), "Springfield"},
                                   {str(ab::kPersonAddressZIPKey), "12345"},
                                   {str(ab::kPersonAddressCountryKey), "US"}};
  EXPECT_EQ((*addresses)[0].value, expected);  // no state, no formatted text
  EXPECT_EQ((*addresses)[0].label, str(ab::kWorkLabel));

  auto dates = p.multiDateValue(P::Date);
  ASSERT_EQ(dates->size(), 2u);  // the entry that is no date is left out
  EXPECT_EQ((*dates)[0].value, at(1604, 8, 15));
  EXPECT_EQ((*dates)[0].label, "lunar");
  EXPECT_EQ((*dates)[1].value, at(2001, 2, 3));
  EXPECT_EQ((*dates)[1].label, str(ab::kOtherLabel));

  auto ims = p.multiDictionaryValue(P::InstantMessage);
  ASSERT_EQ(ims->size(), 3u);
  EXPECT_EQ((*ims)[0].value.at(str(ab::kPersonInstantMessageServiceKey)),
            str(ab::kPersonInstantMessageServiceQQ));
  EXPECT_EQ((*ims)[0].value.at(str(ab::kPersonInstantMessageUsernameKey)), "12345");
  EXPECT_EQ((*ims)[0].label, str(ab::kPersonInstantMessageServiceQQ));
  EXPECT_EQ((*ims)[1].label, "sip");
  EXPECT_FALSE((*ims)[2].value.contains(str(ab::kPersonInstantMessageServiceKey)));
  EXPECT_FALSE((*ims)[2].label.has_value());

  auto relations = p.multiStringValue(P::RelatedNames);
  ASSERT_EQ(relations->size(), 2u);
  EXPECT_EQ((*relations)[0].label, str(ab::kPersonMotherLabel));
  EXPECT_EQ((*relations)[1].label, "coach");

  // An empty list removes the person's whole list.
  c.phoneNumberArray = Json::array();
  ASSERT_TRUE(c.mergeToLocalRecord(p).ok());
  EXPECT_FALSE(p.value(P::Phone).has_value());
}

TEST_F(ContactWrite, FirstErrorStopsTheWriting) {
  ab::Record p = fullPerson();
  LMContact c;
  c.familyName = "New last";
  c.givenName = "New first";
  c.emailArray = Json::parse(R"([{"type":"work","value":"n@x.org"}])");
  c.phoneNumberArray = Json::parse(R"([{"type":"mobile","value":"1"}])");
  std::vector<P> touched;
  failWrites([&](const ab::WriteAttempt& a) -> std::optional<platform::Error> {
    if (a.property) touched.push_back(*a.property);
    if (a.property == P::Email) return storeError();
    return std::nullopt;
  });

  auto error = c.mergeToLocalRecord(p);
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().domain(), lumora::kLMLocalErrorDomain);
  EXPECT_EQ(error.error().code(), lumora::kLMLocalErrorAddressBookNotAllowed);
  EXPECT_TRUE(log_->contains(error.error().description(), lumora::kLMLogFlagError));
  // Written before the failure: kept. After it: not touched.
  EXPECT_EQ(p.stringValue(P::LastName), "New last");
  EXPECT_EQ(p.stringValue(P::FirstName), "New first");
  EXPECT_EQ(p.multiStringValue(P::Email)->entries()[0].value, "old");
  EXPECT_EQ(p.multiStringValue(P::Phone)->entries()[0].value, "old");
  EXPECT_EQ(p.multiDictionaryValue(P::Address)->size(), 1u);
  ASSERT_FALSE(touched.empty());
  EXPECT_EQ(touched.back(), P::Email);
  // The fixed order: last name first, then its phonetic form, ...
  EXPECT_EQ(touched[0], P::LastName);
  EXPECT_EQ(touched[1], P::LastNamePhonetic);
}

TEST_F(ContactWrite, OnlyPeopleAreWritten) {
  auto group = book_->createGroup(local());
  ASSERT_TRUE(group.ok());
  ASSERT_TRUE(group->setName("Friends").ok());
  LMContact c;
  c.givenName = "Ann";
  EXPECT_TRUE(c.mergeToLocalRecord(*group).ok());
  EXPECT_EQ(group->name(), "Friends");
  EXPECT_TRUE(c.mergeToLocalRecord(ab::Record()).ok());
}

TEST_F(ContactWrite, SyncStateComesFromTheRelationRow) {
  LMContactRelation row;
  row.setServerID(42);
  row.setServerSync(7);
  row.setDigest("abc");
  row.setIsPhotoFail(true);
  row.setPhotoId("p1");
  row.setThumbnailId("t1");
  LMContact c;
  c.loadSyncInfoWithRelation(row);
  EXPECT_EQ(c.serverID, 42);
  EXPECT_EQ(c.sync, 7);
  EXPECT_EQ(c.photoDigest, "abc");
  EXPECT_TRUE(c.isPhotoDownloadFail);
  EXPECT_EQ(c.photoId, "p1");
  EXPECT_EQ(c.thumbnailId, "t1");
  EXPECT_EQ(c.photoArray(), Json::parse(R"([{"type":"photo","value":"p1"},
                                           {"type":"thumbnail","value":"t1"}])"));

  // No photo ids: the contact's photo fields stay; no flag: not failed.
  LMContactRelation bare;
  bare.setIsPhotoFail(std::nullopt);
  bare.setPhotoId("");
  c.isPhotoDownloadFail = true;
  c.loadSyncInfoWithRelation(bare);
  EXPECT_FALSE(c.isPhotoDownloadFail);
  EXPECT_EQ(c.photoId, "p1");
  EXPECT_EQ(c.thumbnailId, "t1");
  EXPECT_FALSE(c.serverID.has_value());
}

}  // namespace
