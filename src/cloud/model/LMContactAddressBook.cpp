// LMContact: reading a person of the address book.
#include "cloud/model/LMContact.h"
#include "utils/LMUtils.h"
#include "platform/Bytes.h"
#include "platform/addressbook/Labels.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;
using platform::Json;

void putType(Json& item, const std::optional<std::string>& type) {
  if (platform::hasText(type)) item["type"] = *type;
}

// A present dictionary entry with a non-empty text.
std::optional<std::string> entryText(const ab::Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(std::string(key));
  if (it == dictionary.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

std::optional<std::string> localizedLabelOf(const std::optional<std::string>& label) {
  if (!label) return std::nullopt;
  return ab::localizedLabel(*label);
}

std::optional<platform::Clock::TimePoint> toTimePoint(const std::optional<ab::Date>& date) {
  if (!date) return std::nullopt;
  return std::chrono::time_point_cast<platform::Clock::Duration>(*date);
}

// Rule E and P: {"type": word of the label, "value": the text}.
template <class Word>
Json textItems(const std::optional<ab::MultiValue<std::string>>& values, Word word) {
  Json items = Json::array();
  if (!values) return items;
  for (const auto& entry : *values) {
    Json item = Json::object();
    putType(item, word(entry.label));
    item["value"] = entry.value;
    items.push_back(std::move(item));
  }
  return items;
}

Json addressItems(const std::optional<ab::MultiValue<ab::Dictionary>>& values) {
  Json items = Json::array();
  if (!values) return items;
  constexpr std::pair<std::string_view, const char*> kParts[] = {
      {ab::kPersonAddressStreetKey, "streetAddress"},
      {ab::kPersonAddressCityKey, "locality"},
      {ab::kPersonAddressStateKey, "region"},
      {ab::kPersonAddressZIPKey, "postalCode"},
      {ab::kPersonAddressCountryKey, "country"},
  };
  for (const auto& entry : *values) {
    Json item = Json::object();
    putType(item, LMContact::lumoraNameFromLocal(entry.label));
    for (const auto& [abKey, cloudKey] : kParts) {
      if (auto part = entryText(entry.value, abKey)) item[cloudKey] = *part;
    }
    items.push_back(std::move(item));
  }
  return items;
}

Json dateItems(const std::optional<ab::MultiValue<ab::Date>>& values) {
  Json items = Json::array();
  if (!values) return items;
  for (const auto& entry : *values) {
    Json item = Json::object();
    putType(item, LMContact::lumoraNameFromLocal(localizedLabelOf(entry.label)));
    // The cloud names every event by its type and drops typeless ones, so a
    // date saved without a label goes up as "other" rather than being lost.
    if (!item.contains("type")) item["type"] = "other";
    item["value"] = LMUtils::stringForLumoraDate(entry.value);
    items.push_back(std::move(item));
  }
  return items;
}

Json instantMessageItems(const std::optional<ab::MultiValue<ab::Dictionary>>& values) {
  Json items = Json::array();
  if (!values) return items;
  for (const auto& entry : *values) {
    auto service = entry.value.find(std::string(ab::kPersonInstantMessageServiceKey));
    auto username = entry.value.find(std::string(ab::kPersonInstantMessageUsernameKey));
    if (service == entry.value.end() || username == entry.value.end()) continue;
    Json item = Json::object();
    putType(item, LMContact::lumoraIMSNameFromLocalIMS(service->second));
    item["value"] = username->second;
    items.push_back(std::move(item));
  }
  return items;
}

Json relationItems(const std::optional<ab::MultiValue<std::string>>& values) {
  Json items = Json::array();
  if (!values) return items;
  for (const auto& entry : *values) {
    if (!entry.label) continue;
    Json item = Json::object();
    putType(item, LMContact::lumoraRelationNameFromLocalRelation(entry.label));
    item["value"] = entry.value;
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

std::optional<LMContact> LMContact::initWithABRecord(const ab::Record& record) {
  LMContact contact;
  if (!contact.readABRecord(record) || !record.isPerson()) return std::nullopt;
  contact.hasPhoto = false;
  contact.isPhotoDownloadFail = false;
  contact.groupIDs.clear();
  contact.setPropertiesWithABRecord(record);
  return contact;
}

void LMContact::setPropertiesWithABRecord(const ab::Record& person) {
  if (type != kLMRecordTypeLocal) return;
  using P = ab::PersonProperty;

  if (person.hasImageData()) hasPhoto = true;
  creationTime = toTimePoint(person.dateValue(P::CreationDate));
  modificationTime = toTimePoint(person.dateValue(P::ModificationDate));

  familyName = person.stringValue(P::LastName);
  phoneticFamilyName = person.stringValue(P::LastNamePhonetic);
  givenName = person.stringValue(P::FirstName);
  phoneticGivenName = person.stringValue(P::FirstNamePhonetic);
  middleName = person.stringValue(P::MiddleName);
  phoneticMiddleName = person.stringValue(P::MiddleNamePhonetic);
  prefix = person.stringValue(P::Prefix);
  suffix = person.stringValue(P::Suffix);

  // Birthdays are kept as cloud date texts; a day stored in the year 1604
  // has no year.
  const auto born = person.dateValue(P::Birthday);
  birthday = born ? std::optional<std::string>(LMUtils::stringForLumoraDate(*born)) : std::nullopt;
  nickName = person.stringValue(P::Nickname);
  company = person.stringValue(P::Organization);
  jobTitle = person.stringValue(P::JobTitle);
  note = person.stringValue(P::Note);

  emailArray = textItems(person.multiStringValue(P::Email), lumoraNameFromLocal);
  addressArray = addressItems(person.multiDictionaryValue(P::Address));
  dateArray = dateItems(person.multiDateValue(P::Date));
  phoneNumberArray = textItems(person.multiStringValue(P::Phone), lumoraPhoneNameFromLocalPhone);
  urlArray = textItems(person.multiStringValue(P::URL), localizedLabelOf);
  imsArray = instantMessageItems(person.multiDictionaryValue(P::InstantMessage));
  relationsArray = relationItems(person.multiStringValue(P::RelatedNames));
}

}  // namespace lumora
