// Writing a contact into an address-book person, and loading the sync state
// of its relation row.
#include <chrono>
#include <functional>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMContactRelation.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/JsonValues.h"
#include "platform/addressbook/Labels.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;
using Json = platform::Json;

// A string item field as text; nullopt for a missing or non-string value.
std::optional<std::string> text(const Json& item, const char* key) {
  if (!item.is_object()) return std::nullopt;
  auto it = item.find(key);
  if (it == item.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// The same, only when non-empty.
std::optional<std::string> nonEmptyText(const Json& item, const char* key) {
  auto value = text(item, key);
  if (value && value->empty()) return std::nullopt;
  return value;
}

// A label lookup over the item's "type" word (no label without a word).
using LabelLookup = std::optional<std::string> (*)(std::string_view);
std::optional<std::string> labelOf(const Json& item, LabelLookup lookup) {
  auto word = text(item, "type");
  return word ? lookup(*word) : std::nullopt;
}

// A cloud date text as an address-book date (midnight UTC of that day).
std::optional<ab::Date> dateOf(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  auto day = LMUtils::dateFromLumoraString(*value);
  if (!day) return std::nullopt;
  return ab::Date(std::chrono::duration_cast<std::chrono::microseconds>(day->time_since_epoch()));
}

class PersonWriter {
 public:
  explicit PersonWriter(ab::Record person) : person_(std::move(person)) {}

  // A single value: set when present, else removed when the person has it.
  platform::Status single(ab::PersonProperty property, std::optional<ab::PropertyValue> value) {
    if (value) return person_.setValue(property, std::move(*value));
    return removeIfPresent(property);
  }

  // A list: built from a non-empty array, else removed when present.
  template <class T>
  platform::Status list(ab::PersonProperty property, const Json& items,
                        const std::function<void(const Json& item, ab::MultiValue<T>& out)>& add) {
    if (!platform::isNonEmptyArray(items)) return removeIfPresent(property);
    ab::MultiValue<T> entries;
    for (const Json& item : items) add(item, entries);
    return person_.setValue(property, std::move(entries));
  }

 private:
  platform::Status removeIfPresent(ab::PersonProperty property) {
    if (!person_.value(property)) return platform::Status::success();
    return person_.removeValue(property);
  }

  ab::Record person_;
};

std::optional<ab::PropertyValue> stringValue(const std::optional<std::string>& field) {
  if (!field || field->empty()) return std::nullopt;
  return ab::PropertyValue(*field);
}

}  // namespace

platform::Status LMContact::mergeToLocalRecord(ab::Record record) const {
  if (record.isNull() || !record.isPerson()) return platform::Status::success();
  PersonWriter writer(record);
  using P = ab::PersonProperty;

  // Single values, in their fixed order; a birthday that does not parse
  // counts as no birthday.
  const std::vector<std::function<platform::Status()>> steps = {
      [&] { return writer.single(P::LastName, stringValue(familyName)); },
      [&] { return writer.single(P::LastNamePhonetic, stringValue(phoneticFamilyName)); },
      [&] { return writer.single(P::MiddleName, stringValue(middleName)); },
      [&] { return writer.single(P::MiddleNamePhonetic, stringValue(phoneticMiddleName)); },
      [&] { return writer.single(P::FirstName, stringValue(givenName)); },
      [&] { return writer.single(P::FirstNamePhonetic, stringValue(phoneticGivenName)); },
      [&] { return writer.single(P::Prefix, stringValue(prefix)); },
      [&] { return writer.single(P::Suffix, stringValue(suffix)); },
      [&] {
        std::optional<ab::PropertyValue> date;
        if (birthday && !birthday->empty()) {
          if (auto parsed = dateOf(birthday)) date = ab::PropertyValue(*parsed);
        }
        return writer.single(P::Birthday, std::move(date));
      },
      [&] { return writer.single(P::Nickname, stringValue(nickName)); },
      [&] { return writer.single(P::Organization, stringValue(company)); },
      [&] { return writer.single(P::JobTitle, stringValue(jobTitle)); },
      [&] { return writer.single(P::Note, stringValue(note)); },
      // Lists, one entry per item in array order.
      [&] {
        return writer.list<std::string>(P::Email, emailArray, [](const Json& item, auto& out) {
          if (auto value = text(item, "value")) out.add(*value, labelOf(item, localNameFromLumora));
        });
      },
      [&] {
        return writer.list<ab::Dictionary>(P::Address, addressArray, [](const Json& item, auto& out) {
          if (!item.is_object()) return;
          ab::Dictionary address;
          const std::pair<const char*, std::string_view> parts[] = {
              {"streetAddress", ab::kPersonAddressStreetKey},
              {"locality", ab::kPersonAddressCityKey},
              {"region", ab::kPersonAddressStateKey},
              {"postalCode", ab::kPersonAddressZIPKey},
              {"country", ab::kPersonAddressCountryKey}};
          for (const auto& [field, key] : parts) {
            if (auto value = nonEmptyText(item, field)) address.emplace(std::string(key), *value);
          }
          out.add(std::move(address), labelOf(item, localNameFromLumora));
        });
      },
      [&] {
        return writer.list<ab::Date>(P::Date, dateArray, [](const Json& item, auto& out) {
          // An entry whose date does not parse is left out.
          if (auto date = dateOf(text(item, "value"))) {
            out.add(*date, labelOf(item, localNameFromLumora));
          }
        });
      },
      [&] {
        return writer.list<std::string>(P::Phone, phoneNumberArray, [](const Json& item, auto& out) {
          // The number as the cloud has it, not normalised.
          if (auto value = text(item, "value")) {
            out.add(*value, labelOf(item, localPhoneNameFromLumoraPhone));
          }
        });
      },
      [&] {
        return writer.list<std::string>(P::URL, urlArray, [](const Json& item, auto& out) {
          // The label is the cloud's word itself, not looked up.
          if (auto value = text(item, "value")) out.add(*value, nonEmptyText(item, "type"));
        });
      },
      [&] {
        return writer.list<ab::Dictionary>(P::InstantMessage, imsArray, [](const Json& item, auto& out) {
          if (!item.is_object()) return;
          // Without a service word the entry is written without a service.
          ab::Dictionary account;
          if (auto user = nonEmptyText(item, "value")) {
            account.emplace(std::string(ab::kPersonInstantMessageUsernameKey), *user);
          }
          auto service = labelOf(item, localIMSNameFromLumoraIMS);
          if (service) account.emplace(std::string(ab::kPersonInstantMessageServiceKey), *service);
          out.add(std::move(account), service);
        });
      },
      [&] {
        return writer.list<std::string>(P::RelatedNames, relationsArray, [](const Json& item, auto& out) {
          if (auto value = text(item, "value")) {
            out.add(*value, labelOf(item, localRelationNameFromLumoraRelation));
          }
        });
      },
  };

  for (const auto& step : steps) {
    platform::Status written = step();
    if (!written.ok()) {
      platform::Error error = LMUtils::errorFromABAddressBookError(written.error());
      LM_LOG_ERROR("{}", error.description());
      return error;
    }
  }
  return platform::Status::success();
}

void LMContact::loadSyncInfoWithRelation(const LMContactRelation& relation) {
  serverID = relation.serverID();
  sync = relation.serverSync();
  photoDigest = relation.digest();
  isPhotoDownloadFail = relation.isPhotoFail().value_or(false);

  Json photos = Json::array();
  if (relation.photoId() && !relation.photoId()->empty()) {
    photos.push_back({{"type", "photo"}, {"value", *relation.photoId()}});
  }
  if (relation.thumbnailId() && !relation.thumbnailId()->empty()) {
    photos.push_back({{"type", "thumbnail"}, {"value", *relation.thumbnailId()}});
  }
  // Without photo ids the contact keeps its photo fields.
  if (!photos.empty()) setPhotoArray(std::move(photos));
}

}  // namespace lumora
