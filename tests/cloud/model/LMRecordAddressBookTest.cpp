#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMGroup.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "platform/addressbook/Labels.h"

namespace {

namespace ab = platform::addressbook;
using lumora::LMContact;
using lumora::LMGroup;
using platform::Json;
using P = ab::PersonProperty;

using recordstoretest::at;
using recordstoretest::label;
using recordstoretest::multi;

class LMRecordAddressBook : public recordstoretest::AddressBookFixture {
 protected:
  ab::Record savedPerson(const std::function<void(ab::Record&)>& fill) {
    auto person = book_->createPerson(book_->defaultSource());
    EXPECT_TRUE(person.ok());
    fill(*person);
    EXPECT_TRUE(book_->save().ok());
    return *person;
  }
};

TEST_F(LMRecordAddressBook, EveryFieldGoesFromAPersonToCloudJsonAndBack) {
  ab::Record person = savedPerson([](ab::Record& p) {
    EXPECT_TRUE(p.setValue(P::Prefix, "Dr.").ok());
    EXPECT_TRUE(p.setValue(P::FirstName, "Ada").ok());
    EXPECT_TRUE(p.setValue(P::MiddleName, "B.").ok());
    EXPECT_TRUE(p.setValue(P::LastName, "Lovelace").ok());
    EXPECT_TRUE(p.setValue(P::Suffix, "Jr.").ok());
    EXPECT_TRUE(p.setValue(P::FirstNamePhonetic, "ay-da").ok());
    EXPECT_TRUE(p.setValue(P::MiddleNamePhonetic, "bee").ok());
    EXPECT_TRUE(p.setValue(P::LastNamePhonetic, "lav-leys").ok());
    EXPECT_TRUE(p.setValue(P::Nickname, "Countess").ok());
    EXPECT_TRUE(p.setValue(P::Organization, "Engines").ok());
    EXPECT_TRUE(p.setValue(P::JobTitle, "Programmer").ok());
    EXPECT_TRUE(p.setValue(P::Note, "first").ok());
    EXPECT_TRUE(p.setValue(P::Birthday, at(1815, 12, 10, 12)).ok());
    EXPECT_TRUE(p.setValue(P::Email, multi<std::string>({{label(ab::kHomeLabel), "ada@home"},
                                                         {"Private", "ada@private"},
                                                         {std::nullopt, "ada@nolabel"}}))
                    .ok());
    ab::Dictionary address{{std::string(ab::kPersonAddressStreetKey), "1 Sq"},
                           {std::string(ab::kPersonAddressCityKey), "London"},
                           {std::string(ab::kPersonAddressStateKey), ""},
                           {std::string(ab::kPersonAddressZIPKey), "SW1"},
                           {std::string(ab::kPersonAddressCountryKey), "UK"},
                           {std::string(ab::kPersonAddressCountryCodeKey), "gb"}};
    EXPECT_TRUE(p.setValue(P::Address, multi<ab::Dictionary>({{label(ab::kWorkLabel), address}})).ok());
    EXPECT_TRUE(p.setValue(P::Date, multi<ab::Date>({{label(ab::kPersonAnniversaryLabel), at(1835, 7, 8)},
                                                     {label(ab::kOtherLabel), at(1604, 2, 29)}}))
                    .ok());
    EXPECT_TRUE(p.setValue(P::Phone, multi<std::string>({{label(ab::kPersonPhoneMobileLabel), "+44 20-7946"},
                                                         {label(ab::kPersonPhoneHomeFAXLabel), "555"},
                                                         {label(ab::kPersonPhoneIPhoneLabel), "777"}}))
                    .ok());
    EXPECT_TRUE(p.setValue(P::URL, multi<std::string>({{label(ab::kPersonHomePageLabel), "https://a.example"},
                                                       {label(ab::kHomeLabel), "https://b.example"}}))
                    .ok());
    const std::string service(ab::kPersonInstantMessageServiceKey);
    const std::string user(ab::kPersonInstantMessageUsernameKey);
    EXPECT_TRUE(p.setValue(P::InstantMessage,
                           multi<ab::Dictionary>(
                               {{label(ab::kHomeLabel),
                                 {{service, std::string(ab::kPersonInstantMessageServiceSkype)}, {user, "ada.l"}}},
                                {std::nullopt, {{service, "Threema"}, {user, "ADA123"}}},
                                {label(ab::kWorkLabel), {{user, "no service"}}}}))
                    .ok());
    EXPECT_TRUE(p.setValue(P::RelatedNames, multi<std::string>({{label(ab::kPersonMotherLabel), "Annabella"},
                                                                {"Mentor", "Babbage"},
                                                                {std::nullopt, "Nobody"}}))
                    .ok());
    EXPECT_TRUE(p.setImageData(platform::Bytes{1, 2, 3}).ok());
  });

  auto local = LMContact::initWithABRecord(person);
  ASSERT_TRUE(local);
  const LMContact& c = *local;
  EXPECT_EQ(c.type, lumora::kLMRecordTypeLocal);
  EXPECT_EQ(c.recordID, person.id());
  EXPECT_EQ(c.name, "Dr. Ada B. Lovelace Jr.");
  EXPECT_TRUE(c.hasPhoto);
  EXPECT_EQ(c.creationTime, clock_->now());
  EXPECT_EQ(c.modificationTime, clock_->now());
  EXPECT_EQ(c.birthday, "1815-12-10");
  EXPECT_EQ(c.emailArray, Json::parse(R"([{"type": "home", "value": "ada@home"},
      {"type": "Private", "value": "ada@private"}, {"value": "ada@nolabel"}])"));
  EXPECT_EQ(c.addressArray, Json::parse(R"([{"type": "work", "streetAddress": "1 Sq",
      "locality": "London", "postalCode": "SW1", "country": "UK"}])"));
  EXPECT_EQ(c.dateArray, Json::parse(R"([{"type": "anniversary", "value": "1835-07-08"},
      {"type": "other", "value": "--02-29"}])"));
  EXPECT_EQ(c.phoneNumberArray, Json::parse(R"([{"type": "mobile", "value": "+44 20-7946"},
      {"type": "faxHome", "value": "555"}, {"type": "iPhone", "value": "777"}])"));
  EXPECT_EQ(c.urlArray, Json::parse(R"([{"type": "homepage", "value": "https://a.example"},
      {"type": "home", "value": "https://b.example"}])"));
  EXPECT_EQ(c.imsArray, Json::parse(R"([{"type": "skype", "value": "ada.l"},
      {"type": "Threema", "value": "ADA123"}])"));
  EXPECT_EQ(c.relationsArray, Json::parse(R"([{"type": "mother", "value": "Annabella"},
      {"type": "Mentor", "value": "Babbage"}])"));
  EXPECT_FALSE(c.photoId);
  EXPECT_FALSE(c.serverID);
  EXPECT_TRUE(c.groupIDs.empty());

  Json content = c.dictionaryForLumoraJSON()["content"];
  EXPECT_EQ(content["name"], Json::parse(R"({"prefix": "Dr.", "givenName": "Ada", "middleName": "B.",
      "familyName": "Lovelace", "suffix": "Jr.", "phoneticGivenName": "ay-da",
      "phoneticMiddleName": "bee", "phoneticFamilyName": "lav-leys"})"));
  EXPECT_EQ(content["organizations"], Json::parse(R"([{"company": "Engines", "title": "Programmer"}])"));
  EXPECT_EQ(content["events"][0], Json::parse(R"({"type": "birthday", "value": "1815-12-10"})"));

  auto cloud = LMContact::initWithLumoraJSON(content);
  ASSERT_TRUE(cloud);
  EXPECT_TRUE(cloud->isEqualToRecord(&c));
  EXPECT_TRUE(c.isEqualToRecord(&*cloud));
  EXPECT_EQ(cloud->dictionaryForLumoraJSON()["content"], content);
  EXPECT_EQ(cloud->givenName, "Ada");
  EXPECT_EQ(cloud->middleName, "B.");
}

TEST_F(LMRecordAddressBook, SparsePersonHasEmptyListsAndYearlessBirthday) {
  ab::Record person = savedPerson([](ab::Record& p) {
    EXPECT_TRUE(p.setValue(P::Phone, multi<std::string>({{label(ab::kWorkLabel), "010 1234-5"}})).ok());
    EXPECT_TRUE(p.setValue(P::Birthday, at(1604, 6, 1)).ok());
  });
  // The day must not depend on the device's time zone.
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  ::setenv("TZ", "America/Los_Angeles", 1);
  ::tzset();
  auto contact = LMContact::initWithABRecord(person);
  if (previous) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
  ASSERT_TRUE(contact);
  EXPECT_EQ(contact->birthday, "--06-01");
  EXPECT_EQ(contact->phoneNumberArray, Json::parse(R"([{"type": "work", "value": "010 1234-5"}])"));
  for (const Json* list : {&contact->emailArray, &contact->addressArray, &contact->dateArray,
                           &contact->urlArray, &contact->imsArray, &contact->relationsArray}) {
    EXPECT_EQ(*list, Json::array());
  }
  EXPECT_FALSE(contact->hasPhoto);
  EXPECT_FALSE(contact->familyName);
  EXPECT_FALSE(contact->isNameValid());
  EXPECT_TRUE(contact->isValid());
}

TEST_F(LMRecordAddressBook, OnlySavedPeopleBecomeContacts) {
  EXPECT_FALSE(LMContact::initWithABRecord(ab::Record()));
  auto unsaved = book_->createPerson(book_->defaultSource());
  ASSERT_TRUE(unsaved.ok());
  EXPECT_FALSE(LMContact::initWithABRecord(*unsaved));
  EXPECT_FALSE(lumora::LMRecord::initWithABRecord(*unsaved));
  auto group = book_->createGroup(book_->defaultSource());
  ASSERT_TRUE(group.ok());
  ASSERT_TRUE(book_->save().ok());
  EXPECT_FALSE(LMContact::initWithABRecord(*group));
  EXPECT_FALSE(LMGroup::initWithABRecord(*unsaved));

  LMContact cloud;
  cloud.type = lumora::kLMRecordTypeLumora;
  cloud.setPropertiesWithABRecord(*unsaved);  // only local contacts read people
  EXPECT_TRUE(cloud.emailArray.is_null());
}

TEST_F(LMRecordAddressBook, GroupsReadTheirMembersAndWriteTheirName) {
  ab::Record ann = savedPerson([](ab::Record& p) { EXPECT_TRUE(p.setValue(P::FirstName, "Ann").ok()); });
  ab::Record bob = savedPerson([](ab::Record& p) { EXPECT_TRUE(p.setValue(P::FirstName, "Bob").ok()); });
  auto created = book_->createGroup(book_->defaultSource());
  ASSERT_TRUE(created.ok());
  ab::Record group = *created;
  ASSERT_TRUE(group.setName("Friends").ok());
  ASSERT_TRUE(group.addMember(bob).ok());
  ASSERT_TRUE(group.addMember(ann).ok());
  ASSERT_TRUE(book_->save().ok());

  auto read = LMGroup::initWithABRecord(group);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->type, lumora::kLMRecordTypeLocal);
  EXPECT_EQ(read->recordID, group.id());
  EXPECT_EQ(read->name, "Friends");
  EXPECT_EQ(read->memberIDs, (std::set<std::int32_t>{ann.id(), bob.id()}));
  EXPECT_FALSE(LMGroup::initWithABRecord(ann));

  LMGroup renamed = *read;
  renamed.name = "Family";
  EXPECT_TRUE(renamed.mergeToLocalRecord(group).ok());
  EXPECT_EQ(group.name(), "Family");
  EXPECT_TRUE(renamed.mergeToLocalRecord(ann).ok());  // not a group: nothing written
  renamed.name = "";
  EXPECT_TRUE(renamed.mergeToLocalRecord(group).ok());
  EXPECT_EQ(group.name(), "Family");
}

TEST_F(LMRecordAddressBook, GroupNameFailureIsConvertedAndLogged) {
  auto created = book_->createGroup(book_->defaultSource());
  ASSERT_TRUE(created.ok());
  ASSERT_TRUE(book_->save().ok());
  ab::AddressBook::setWriteFault([](const ab::WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.operation != ab::WriteOperation::SetName) return std::nullopt;
    return platform::Error(ab::kErrorDomain, ab::kOperationNotPermittedByStoreError);
  });
  auto sink = std::make_shared<testsupport::LogRecorder>();
  lumora::LMLogUtil::setLogDelegate(sink);
  LMGroup group;
  group.name = "Blocked";
  auto written = group.mergeToLocalRecord(*created);
  lumora::LMLogUtil::setLogDelegate(nullptr);
  ASSERT_FALSE(written.ok());
  const platform::Error& error = written.error();
  EXPECT_EQ(error.domain(), lumora::kLMLocalErrorDomain);
  EXPECT_EQ(error.code(), lumora::kLMLocalErrorAddressBookNotAllowed);
  ASSERT_EQ(sink->records.size(), 1u);
  EXPECT_EQ(sink->records[0].flag(), lumora::kLMLogFlagError);
  EXPECT_EQ(sink->records[0].message(), error.description());
}

TEST(LMContactLabels, WordsAndLabelsBothWays) {
  EXPECT_EQ(LMContact::localNameFromLumora("home"), std::string(ab::kHomeLabel));
  EXPECT_EQ(LMContact::localNameFromLumora("Home"), "Home");  // words compare exactly
  EXPECT_EQ(LMContact::localNameFromLumora(""), std::nullopt);
  EXPECT_EQ(LMContact::localPhoneNameFromLumoraPhone("work"), std::string(ab::kWorkLabel));
  EXPECT_EQ(LMContact::localPhoneNameFromLumoraPhone("faxWork"), std::string(ab::kPersonPhoneWorkFAXLabel));
  EXPECT_EQ(LMContact::localPhoneNameFromLumoraPhone(""), std::nullopt);
  EXPECT_EQ(LMContact::localIMSNameFromLumoraIMS("windowsLive"),
            std::string(ab::kPersonInstantMessageServiceMSN));
  EXPECT_EQ(LMContact::localRelationNameFromLumoraRelation("other"), std::string(ab::kOtherLabel));
  EXPECT_EQ(LMContact::localRelationNameFromLumoraRelation("mentor"), "mentor");

  EXPECT_EQ(LMContact::lumoraPhoneNameFromLocalPhone(label(ab::kHomeLabel)), "home");
  EXPECT_EQ(LMContact::lumoraPhoneNameFromLocalPhone(std::string("_$!<mobile>!$_")), "mobile");
  EXPECT_EQ(LMContact::lumoraPhoneNameFromLocalPhone(std::string("Boat")), "Boat");
  EXPECT_EQ(LMContact::lumoraPhoneNameFromLocalPhone(std::nullopt), std::nullopt);
  EXPECT_EQ(LMContact::lumoraNameFromLocal(label(ab::kPersonPhoneMobileLabel)),
            std::string(ab::kPersonPhoneMobileLabel));  // not a generic label
  EXPECT_EQ(LMContact::lumoraIMSNameFromLocalIMS(std::string("googletalk")), "gTalk");
  EXPECT_EQ(LMContact::lumoraRelationNameFromLocalRelation(label(ab::kPersonAssistantLabel)), "assistant");
}

}  // namespace
