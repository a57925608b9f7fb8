// LMContact: fields and the cloud JSON form.
#include "cloud/model/LMContact.h"

#include <utility>

#include "utils/LMUtils.h"
#include "utils/Lumora.h"
#include "platform/Bytes.h"
#include "platform/JsonValues.h"

namespace lumora {
namespace {

using platform::Json;

// The entry under `key` when it holds a non-empty string.
std::optional<std::string> textAt(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !platform::isNonEmptyString(*it)) return std::nullopt;
  return it->get<std::string>();
}

// Moves a non-empty string out of `rest` into `field`.
void takeText(Json& rest, const char* key, std::optional<std::string>& field) {
  auto it = rest.find(key);
  if (it == rest.end() || !platform::isNonEmptyString(*it)) return;
  field = it->get<std::string>();
  rest.erase(it);
}

// Moves a non-empty array out of `rest` into `field`, unchanged.
void takeList(Json& rest, const char* key, Json& field) {
  auto it = rest.find(key);
  if (it == rest.end() || !platform::isNonEmptyArray(*it)) return;
  field = std::move(*it);
  rest.erase(key);
}

void putText(Json& object, const char* key, const std::optional<std::string>& value) {
  if (platform::hasText(value)) object[key] = *value;
}

void putList(Json& object, const char* key, const Json& value) {
  if (platform::isNonEmptyArray(value)) object[key] = value;
}

bool isSip(const Json& entry) {
  if (!entry.is_object()) return false;
  auto type = entry.find("type");
  return type != entry.end() && *type == "sip";
}

// The "value" of an entry, or null when it has none.
Json valueOf(const Json& entry) {
  if (!entry.is_object()) return nullptr;
  auto it = entry.find("value");
  return it == entry.end() ? Json(nullptr) : *it;
}

}  // namespace

std::optional<LMContact> LMContact::initWithLumoraJSON(const Json& content) {
  LMContact contact;
  if (!contact.readLumoraJSON(content)) return std::nullopt;
  contact.hasPhoto = false;
  contact.isPhotoDownloadFail = false;
  contact.groupIDs.clear();
  Json rest = std::move(contact.extensionData);
  contact.setPropertiesWithLumoraJSON(rest);
  return contact;
}

bool LMContact::joinsMiddleNameIntoGivenName(const std::optional<std::string>& family,
                                             const std::string& middle, const std::string& given) {
  // Names written without Latin letters (Chinese, for example) may come
  // with the first part of the given name in "middleName"; then the two
  // parts together form the given name.
  if (family && containsEnglishCharacter(*family)) return false;
  return !containsEnglishCharacter(middle) && !containsEnglishCharacter(given);
}

LMContact LMContact::withCloudNameRule() const {
  LMContact ruled = *this;
  if (platform::hasText(middleName) && givenName &&
      joinsMiddleNameIntoGivenName(familyName, *middleName, *givenName)) {
    ruled.givenName = *middleName + *givenName;
    ruled.middleName.reset();
  }
  return ruled;
}

void LMContact::setPropertiesWithLumoraJSON(const Json& content) {
  Json rest = content.is_object() ? content : Json::object();

  takeText(rest, "displayName", name);

  if (auto it = rest.find("name"); it != rest.end() && it->is_object() && !it->empty()) {
    const Json& parts = *it;
    if (auto v = textAt(parts, "prefix")) prefix = v;
    if (auto v = textAt(parts, "familyName")) familyName = v;
    if (auto v = textAt(parts, "givenName")) givenName = v;
    if (auto middle = textAt(parts, "middleName")) {
      auto family = parts.find("familyName");
      auto given = parts.find("givenName");
      std::optional<std::string> familyText;
      if (family != parts.end() && family->is_string()) familyText = family->get<std::string>();
      if (given != parts.end() && given->is_string() &&
          joinsMiddleNameIntoGivenName(familyText, *middle, given->get_ref<const std::string&>())) {
        givenName = *middle + given->get<std::string>();
      } else {
        middleName = middle;
      }
    }
    if (auto v = textAt(parts, "suffix")) suffix = v;
    if (auto v = textAt(parts, "phoneticFamilyName")) phoneticFamilyName = v;
    if (auto v = textAt(parts, "phoneticMiddleName")) phoneticMiddleName = v;
    if (auto v = textAt(parts, "phoneticGivenName")) phoneticGivenName = v;
    rest.erase("name");
  }

  takeText(rest, "nickName", nickName);

  if (auto it = rest.find("organizations"); it != rest.end() && platform::isNonEmptyArray(*it)) {
    const Json& first = it->front();
    if (first.is_object() && !first.empty()) {
      if (auto v = textAt(first, "company")) company = v;
      if (auto v = textAt(first, "title")) jobTitle = v;
    }
    // Only the first organisation is kept; the key goes whatever it held.
    rest.erase("organizations");
  }

  takeText(rest, "note", note);
  takeList(rest, "emails", emailArray);
  takeList(rest, "addresses", addressArray);

  Json dates = Json::array();
  if (auto it = rest.find("events"); it != rest.end() && platform::isNonEmptyArray(*it)) {
    bool birthdayTaken = false;
    for (const Json& event : *it) {
      if (!event.is_object()) continue;
      auto type = event.find("type");
      if (type == event.end() || !platform::isNonEmptyString(*type)) continue;
      auto value = event.find("value");
      const bool hasValue = value != event.end() && platform::isNonEmptyString(*value);
      if (!birthdayTaken && *type == "birthday") {
        if (hasValue) {
          birthday = LMUtils::dateStringFromLumoraString(value->get_ref<const std::string&>());
          birthdayTaken = true;
        }
        continue;
      }
      Json entry = Json::object();
      entry["type"] = *type;
      if (hasValue) {
        entry["value"] = LMUtils::dateStringFromLumoraString(value->get_ref<const std::string&>());
      }
      dates.push_back(std::move(entry));
    }
    rest.erase("events");
  }
  if (auto lunar = textAt(rest, "lunar")) {
    // The raw "lunar" stays in the extension data; the writer replaces it
    // with the date entry as long as that entry exists.
    dates.push_back(Json{{"type", "lunar"}, {"value", LMUtils::dateStringFromLumoraString(*lunar)}});
  }
  if (!dates.empty()) dateArray = std::move(dates);

  if (auto it = rest.find("photos"); it != rest.end() && platform::isNonEmptyArray(*it)) {
    setPhotoArray(*it);
    hasPhoto = platform::isNonEmptyArray(photoArray_);
    rest.erase("photos");
  }

  takeList(rest, "phoneNumbers", phoneNumberArray);
  takeList(rest, "urls", urlArray);

  Json ims = Json::array();
  if (auto it = rest.find("ims"); it != rest.end() && platform::isNonEmptyArray(*it)) {
    for (const Json& entry : *it) ims.push_back(entry);
    rest.erase("ims");
  }
  if (auto it = rest.find("sipPhones"); it != rest.end() && platform::isNonEmptyArray(*it)) {
    for (const Json& entry : *it) {
      // An address needs its value; an element without one is dropped.
      Json value = valueOf(entry);
      if (value.is_null()) continue;
      ims.push_back(Json{{"type", "sip"}, {"value", std::move(value)}});
    }
    rest.erase("sipPhones");
  }
  if (!ims.empty()) imsArray = std::move(ims);

  takeList(rest, "relations", relationsArray);

  if (auto it = rest.find("groups"); it != rest.end() && platform::isNonEmptyArray(*it)) {
    std::set<std::int64_t> ids;
    for (const Json& entry : *it) {
      const Json value = valueOf(entry);
      if (auto id = cloudIntegerOf(value)) ids.insert(*id);
    }
    if (!ids.empty()) groupIDs = std::move(ids);
    rest.erase("groups");
  }

  extensionData = std::move(rest);
}

Json LMContact::dictionaryForLumoraJSON() const {
  Json envelope = LMRecord::dictionaryForLumoraJSON();
  envelope[kLMRecordTypeKey] = "contact";
  Json& content = envelope[kLMRecordContentKey];

  putText(content, "displayName", name);

  Json parts = Json::object();
  putText(parts, "familyName", familyName);
  putText(parts, "middleName", middleName);
  putText(parts, "givenName", givenName);
  putText(parts, "phoneticFamilyName", phoneticFamilyName);
  putText(parts, "phoneticMiddleName", phoneticMiddleName);
  putText(parts, "phoneticGivenName", phoneticGivenName);
  putText(parts, "prefix", prefix);
  putText(parts, "suffix", suffix);
  if (!parts.empty()) content["name"] = std::move(parts);

  putText(content, "nickName", nickName);

  Json organization = Json::object();
  putText(organization, "company", company);
  putText(organization, "title", jobTitle);
  if (!organization.empty()) content["organizations"] = Json::array({std::move(organization)});

  putText(content, "note", note);
  putList(content, "emails", emailArray);
  putList(content, "addresses", addressArray);

  Json events = Json::array();
  if (platform::hasText(birthday)) events.push_back(Json{{"type", "birthday"}, {"value", *birthday}});
  if (dateArray.is_array()) {
    for (const Json& entry : dateArray) {
      if (entry.is_object() && entry.contains("type") && entry["type"] == "lunar") {
        Json value = valueOf(entry);
        if (!value.is_null()) content["lunar"] = std::move(value);
        continue;
      }
      events.push_back(entry);
    }
  }
  if (!events.empty()) content["events"] = std::move(events);

  if (platform::isNonEmptyArray(photoArray_)) {
    Json photos = Json::array();
    if (platform::hasText(photoId)) photos.push_back(Json{{"type", "photo"}, {"value", *photoId}});
    if (platform::hasText(thumbnailId)) photos.push_back(Json{{"type", "thumbnail"}, {"value", *thumbnailId}});
    content["photos"] = std::move(photos);
  }

  putList(content, "phoneNumbers", phoneNumberArray);
  putList(content, "urls", urlArray);

  if (platform::isNonEmptyArray(imsArray)) {
    Json ims = Json::array();
    Json sipPhones = Json::array();
    for (const Json& entry : imsArray) {
      if (!isSip(entry)) {
        ims.push_back(entry);
        continue;
      }
      Json value = valueOf(entry);
      if (!value.is_null()) sipPhones.push_back(Json{{"value", std::move(value)}});
    }
    if (!ims.empty()) content["ims"] = std::move(ims);
    if (!sipPhones.empty()) content["sipPhones"] = std::move(sipPhones);
  }

  putList(content, "relations", relationsArray);

  if (!groupIDs.empty()) {
    Json groups = Json::array();
    for (std::int64_t id : groupIDs) groups.push_back(Json{{"value", id}});
    content["groups"] = std::move(groups);
  }
  return envelope;
}

void LMContact::setPhotoArray(Json photoArray) {
  photoArray_ = std::move(photoArray);
  photoId.reset();
  thumbnailId.reset();
  if (!photoArray_.is_array()) return;
  bool photoFound = false;
  bool thumbnailFound = false;
  for (const Json& entry : photoArray_) {
    if (!entry.is_object()) continue;
    auto type = entry.find("type");
    if (type == entry.end()) continue;
    const Json value = valueOf(entry);
    auto asText = [&]() -> std::optional<std::string> {
      if (value.is_string()) return value.get<std::string>();
      return std::nullopt;
    };
    if (!photoFound && *type == "photo") {
      photoFound = true;
      photoId = asText();
    } else if (!thumbnailFound && *type == "thumbnail") {
      thumbnailFound = true;
      thumbnailId = asText();
    }
  }
}

bool LMContact::isOfMyClass(const LMRecord& other) const {
  return dynamic_cast<const LMContact*>(&other) != nullptr;
}

}  // namespace lumora
