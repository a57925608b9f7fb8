// Whole trips of a contact between the address book and the cloud's JSON form:
// a person read into a contact, sent as JSON text, read back as a cloud
// contact, written into a fresh person, saved, and read again through a new
// handle on the stored address book.
#include <chrono>
#include <memory>
#include <string>

#include "cloud/model/LMContact.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "platform/addressbook/Labels.h"

namespace {

namespace ab = platform::addressbook;
using lumora::LMContact;
using platform::Json;
using P = ab::PersonProperty;

using recordstoretest::at;
using recordstoretest::label;
using recordstoretest::multi;

// Labels and values of a multi-value, without the entry identifiers (a
// fresh person's entries get identifiers of their own).
template <class T>
std::vector<std::pair<std::optional<std::string>, T>> entriesOf(const std::optional<ab::MultiValue<T>>& values) {
  std::vector<std::pair<std::optional<std::string>, T>> out;
  if (!values) return out;
  for (const auto& entry : *values) out.emplace_back(entry.label, entry.value);
  return out;
}

ab::Dictionary imAccount(std::string_view service, const std::string& user) {
  return {{std::string(ab::kPersonInstantMessageServiceKey), std::string(service)},
          {std::string(ab::kPersonInstantMessageUsernameKey), user}};
}

class ContactRoundTrip : public recordstoretest::AddressBookFixture {
 protected:
  // The contact as the cloud would get it back: JSON text, parsed again.
  static std::optional<LMContact> throughCloudText(const LMContact& contact) {
    const std::string text = contact.dictionaryForLumoraJSON()["content"].dump();
    return LMContact::initWithLumoraJSON(Json::parse(text));
  }

  // Writes `contact` into a new person of the local source and saves; the
  // new person's record id.
  ab::RecordId writeIntoFreshPerson(const LMContact& contact) {
    auto created = book_->createPerson(local());
    EXPECT_TRUE(created.ok());
    if (!created.ok()) return ab::kInvalidRecordId;
    EXPECT_TRUE(contact.mergeToLocalRecord(*created).ok());
    EXPECT_TRUE(book_->save().ok());
    return created->id();
  }

  // The person as a second handle reads it from the stored address book.
  ab::Record reloaded(ab::RecordId id) {
    auto opened = ab::AddressBook::create();
    EXPECT_TRUE(opened.ok());
    if (!opened.ok()) return ab::Record();
    otherBook_ = *opened;
    return otherBook_->personWithId(id);
  }

  std::shared_ptr<ab::AddressBook> otherBook_;
};

TEST_F(ContactRoundTrip, EveryFieldOfAPersonComesBackFromTheCloudForm) {
  ab::Record original = person(local(), "Ada");
  const std::vector<std::pair<P, std::string>> texts = {
      {P::Prefix, "Dr."},         {P::MiddleName, "B."},          {P::LastName, "Lovelace"},
      {P::Suffix, "Jr."},         {P::FirstNamePhonetic, "ay-da"}, {P::MiddleNamePhonetic, "bee"},
      {P::LastNamePhonetic, "lav-leys"}, {P::Nickname, "Countess"}, {P::Organization, "Engines"},
      {P::JobTitle, "Programmer"}, {P::Note, "first\nprogrammer"}};
  for (const auto& [property, value] : texts) ASSERT_TRUE(original.setValue(property, value).ok());
  // A birthday at noon: only its day travels.
  ASSERT_TRUE(original.setValue(P::Birthday, at(1815, 12, 10, 12)).ok());
  ASSERT_TRUE(original.setValue(P::Email, multi<std::string>({{label(ab::kHomeLabel), "ada@home"},
                                                              {label(ab::kWorkLabel), "ada@work"},
                                                              {"Private", "ada@private"},
                                                              {std::nullopt, "ada@nolabel"}}))
                  .ok());
  ab::Dictionary address{{std::string(ab::kPersonAddressStreetKey), "1 St James's Sq"},
                         {std::string(ab::kPersonAddressCityKey), "London"},
                         {std::string(ab::kPersonAddressStateKey), "LDN"},
                         {std::string(ab::kPersonAddressZIPKey), "SW1"},
                         {std::string(ab::kPersonAddressCountryKey), "UK"}};
  ab::Dictionary partial{{std::string(ab::kPersonAddressCityKey), "Paris"}};
  ASSERT_TRUE(original.setValue(P::Address, multi<ab::Dictionary>({{label(ab::kWorkLabel), address},
                                                                   {label(ab::kOtherLabel), partial}}))
                  .ok());
  ASSERT_TRUE(original.setValue(P::Date, multi<ab::Date>({{label(ab::kPersonAnniversaryLabel), at(1835, 7, 8)},
                                                          {label(ab::kHomeLabel), at(1604, 2, 29)},
                                                          {std::nullopt, at(2001, 1, 1)}}))
                  .ok());
  ASSERT_TRUE(original.setValue(P::Phone, multi<std::string>({{label(ab::kPersonPhoneMobileLabel), "+44 20-7946"},
                                                              {label(ab::kPersonPhoneMainLabel), "100"},
                                                              {label(ab::kPersonPhoneHomeFAXLabel), "200"},
                                                              {label(ab::kPersonPhoneWorkFAXLabel), "300"},
                                                              {label(ab::kPersonPhonePagerLabel), "400"},
                                                              {label(ab::kHomeLabel), "500"},
                                                              {label(ab::kPersonPhoneIPhoneLabel), "600"},
                                                              {"Boat", "700"},
                                                              {std::nullopt, "800"}}))
                  .ok());
  ASSERT_TRUE(original.setValue(P::URL, multi<std::string>({{label(ab::kPersonHomePageLabel), "https://a.example"},
                                                            {"blog", "https://b.example"}}))
                  .ok());
  ASSERT_TRUE(original.setValue(P::InstantMessage,
                                multi<ab::Dictionary>(
                                    {{label(ab::kPersonInstantMessageServiceSkype),
                                      imAccount(ab::kPersonInstantMessageServiceSkype, "ada.l")},
                                     {label(ab::kPersonInstantMessageServiceQQ),
                                      imAccount(ab::kPersonInstantMessageServiceQQ, "10001")},
                                     {std::string("Threema"), imAccount("Threema", "ADA123")}}))
                  .ok());
  ASSERT_TRUE(original.setValue(P::RelatedNames,
                                multi<std::string>({{label(ab::kPersonMotherLabel), "Annabella"},
                                                    {label(ab::kPersonAssistantLabel), "Mary"},
                                                    {label(ab::kOtherLabel), "Charles"},
                                                    {"Mentor", "Babbage"}}))
                  .ok());
  ASSERT_TRUE(book_->save().ok());

  auto sent = LMContact::initWithABRecord(original);
  ASSERT_TRUE(sent);
  auto received = throughCloudText(*sent);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->type, lumora::kLMRecordTypeLumora);
  const ab::RecordId copyId = writeIntoFreshPerson(*received);
  ASSERT_NE(copyId, ab::kInvalidRecordId);
  ASSERT_NE(copyId, original.id());

  ab::Record copy = reloaded(copyId);
  ASSERT_FALSE(copy.isNull());
  auto back = LMContact::initWithABRecord(copy);
  ASSERT_TRUE(back);

  // Field by field, the contact read back is the contact that was sent.
  EXPECT_EQ(back->name, sent->name);
  for (auto field : {&LMContact::familyName, &LMContact::givenName, &LMContact::middleName,
                     &LMContact::prefix, &LMContact::suffix, &LMContact::phoneticFamilyName,
                     &LMContact::phoneticGivenName, &LMContact::phoneticMiddleName,
                     &LMContact::birthday, &LMContact::nickName, &LMContact::company,
                     &LMContact::jobTitle, &LMContact::note}) {
    EXPECT_EQ((*back).*field, (*sent).*field);
    EXPECT_TRUE(((*sent).*field).has_value());
  }
  for (auto list : {&LMContact::emailArray, &LMContact::addressArray, &LMContact::phoneNumberArray,
                    &LMContact::urlArray, &LMContact::imsArray, &LMContact::relationsArray}) {
    EXPECT_EQ((*back).*list, (*sent).*list);
    EXPECT_FALSE(((*sent).*list).empty());
  }
  // A date the person holds without a label goes up as "other", so the
  // cloud (which names every event by its type) keeps it.
  ASSERT_EQ(sent->dateArray.size(), 3u);
  EXPECT_EQ(sent->dateArray.back(), Json({{"type", "other"}, {"value", "2001-01-01"}}));
  EXPECT_EQ(back->dateArray, sent->dateArray);
  EXPECT_EQ(back->dictionaryForLumoraJSON(), sent->dictionaryForLumoraJSON());
  EXPECT_TRUE(back->isEqualToRecord(&*sent));
  EXPECT_TRUE(sent->isEqualToRecord(&*back));

  // In the address book itself the texts, e-mails, phones and related names
  // are stored exactly as they were, labels included; the birthday is the
  // same day, kept at midnight.
  for (const auto& [property, value] : texts) EXPECT_EQ(copy.stringValue(property), value);
  EXPECT_EQ(copy.stringValue(P::FirstName), "Ada");
  EXPECT_EQ(copy.dateValue(P::Birthday), at(1815, 12, 10));
  for (P property : {P::Email, P::Phone, P::RelatedNames}) {
    EXPECT_EQ(entriesOf(copy.multiStringValue(property)), entriesOf(original.multiStringValue(property)));
  }
  EXPECT_EQ(entriesOf(copy.multiDictionaryValue(P::Address)),
            entriesOf(original.multiDictionaryValue(P::Address)));
  EXPECT_EQ(entriesOf(copy.multiDateValue(P::Date)).at(1),
            std::make_pair(label(ab::kHomeLabel), at(1604, 2, 29)));
}

TEST_F(ContactRoundTrip, CloudLabelWordsAndDatesComeBackFromTheAddressBook) {
  Json phones = Json::array();
  for (const char* word : {"mobile", "main", "faxHome", "faxWork", "pager", "home", "work", "other", "Boat"}) {
    phones.push_back({{"type", word}, {"value", std::string("+1 555-") + word}});
  }
  Json ims = Json::array();
  for (const char* word : {"yahoo", "jabber", "windowsLive", "icq", "aim", "qq", "gTalk", "skype",
                           "facebook", "gadugadu", "Threema"}) {
    ims.push_back({{"type", word}, {"value", std::string("user-") + word}});
  }
  Json relations = Json::array();
  for (const char* word : {"mother", "father", "parent", "sister", "brother", "child", "friend",
                           "spouse", "partner", "manager", "assistant", "other", "mentor"}) {
    relations.push_back({{"type", word}, {"value", std::string("name-") + word}});
  }
  Json content = {
      {"id", 42},
      {"tag", 7},
      {"displayName", "Grace Hopper"},
      {"name", {{"givenName", "Grace"}, {"familyName", "Hopper"}}},
      {"emails", Json::parse(R"([{"type": "home", "value": "g@home"}, {"type": "work", "value": "g@work"},
                                 {"type": "other", "value": "g@other"}, {"type": "navy", "value": "g@navy"}])")},
      {"addresses", Json::parse(R"([{"type": "home", "streetAddress": "1 Main St", "locality": "Arlington",
                                     "region": "VA", "postalCode": "22201", "country": "USA"}])")},
      // A birthday without a year, dates with and without one, and a
      // month-day text that gains its dashes.
      {"events", Json::parse(R"([{"type": "birthday", "value": "--12-09"},
                                 {"type": "anniversary", "value": "1930-06-15"},
                                 {"type": "other", "value": "--03-01"},
                                 {"type": "work", "value": "06-01"}])")},
      {"lunar", "--08-15"},
      {"phoneNumbers", phones},
      {"urls", Json::parse(R"([{"type": "home", "value": "https://g.example"}])")},
      {"ims", ims},
      {"sipPhones", Json::parse(R"([{"value": "sip:grace@example.com"}])")},
      {"relations", relations},
  };
  auto cloud = LMContact::initWithLumoraJSON(content);
  ASSERT_TRUE(cloud);
  const ab::RecordId id = writeIntoFreshPerson(*cloud);
  ab::Record stored = reloaded(id);
  ASSERT_FALSE(stored.isNull());

  // The address book holds its own label constants for the known words.
  auto storedPhones = stored.multiStringValue(P::Phone);
  ASSERT_TRUE(storedPhones);
  ASSERT_EQ(storedPhones->size(), 9u);
  EXPECT_EQ((*storedPhones)[0].label, label(ab::kPersonPhoneMobileLabel));
  EXPECT_EQ((*storedPhones)[3].label, label(ab::kPersonPhoneWorkFAXLabel));
  EXPECT_EQ((*storedPhones)[5].label, label(ab::kHomeLabel));
  EXPECT_EQ((*storedPhones)[8].label, "Boat");
  auto storedIms = stored.multiDictionaryValue(P::InstantMessage);
  ASSERT_TRUE(storedIms);
  EXPECT_EQ((*storedIms)[2].value.at(std::string(ab::kPersonInstantMessageServiceKey)),
            ab::kPersonInstantMessageServiceMSN);
  auto storedRelations = stored.multiStringValue(P::RelatedNames);
  ASSERT_TRUE(storedRelations);
  EXPECT_EQ((*storedRelations)[10].label, label(ab::kPersonAssistantLabel));
  EXPECT_EQ(stored.dateValue(P::Birthday), at(1604, 12, 9));
  auto storedDates = stored.multiDateValue(P::Date);
  ASSERT_TRUE(storedDates);
  ASSERT_EQ(storedDates->size(), 4u);
  EXPECT_EQ((*storedDates)[0].value, at(1930, 6, 15));
  EXPECT_EQ((*storedDates)[2].value, at(1604, 6, 1));
  EXPECT_EQ((*storedDates)[3].label, "lunar");

  // Read back, every word, date and item is the cloud's again.
  auto back = LMContact::initWithABRecord(stored);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->phoneNumberArray, phones);
  EXPECT_EQ(back->emailArray, content["emails"]);
  EXPECT_EQ(back->addressArray, content["addresses"]);
  EXPECT_EQ(back->urlArray, content["urls"]);
  EXPECT_EQ(back->relationsArray, relations);
  EXPECT_EQ(back->birthday, "--12-09");
  EXPECT_EQ(back->dateArray, Json::parse(R"([{"type": "anniversary", "value": "1930-06-15"},
                                             {"type": "other", "value": "--03-01"},
                                             {"type": "work", "value": "--06-01"},
                                             {"type": "lunar", "value": "--08-15"}])"));
  Json expectedIms = ims;
  expectedIms.push_back({{"type", "sip"}, {"value", "sip:grace@example.com"}});
  EXPECT_EQ(back->imsArray, expectedIms);
  EXPECT_TRUE(back->isEqualToRecord(&*cloud));

  // Sent again, the content holds what the cloud sent (its own id and tag
  // are the store's to add; the month-day text now has its dashes).
  Json resent = back->dictionaryForLumoraJSON()["content"];
  Json expected = content;
  expected.erase("id");
  expected.erase("tag");
  expected["events"][3]["value"] = "--06-01";
  EXPECT_EQ(resent, expected);
}

}  // namespace
