#include "cloud/model/LMMergeManagedObject.h"

#include <string_view>
#include <unordered_set>

#include "utils/LMUtils.h"
#include "platform/JsonValues.h"

namespace lumora {
namespace {

using platform::Json;

using TextField = std::optional<std::string> LMContact::*;
using ListField = Json LMContact::*;

struct SingleField {
  const char* key;
  TextField field;
};

// Single-valued entries after "name", in list order.
constexpr SingleField kSingleFields[] = {
    {"phoneticFamilyName", &LMContact::phoneticFamilyName},
    {"phoneticMiddleName", &LMContact::phoneticMiddleName},
    {"phoneticGivenName", &LMContact::phoneticGivenName},
    {"prefix", &LMContact::prefix},
    {"suffix", &LMContact::suffix},
    {"birthday", &LMContact::birthday},
    {"nickName", &LMContact::nickName},
    {"company", &LMContact::company},
    {"jobTitle", &LMContact::jobTitle},
    {"note", &LMContact::note},
};

enum class ItemKey { kPhone, kValue, kAddress };

struct ListEntry {
  const char* key;
  ListField field;
  ItemKey itemKey;
};

constexpr ListEntry kListFields[] = {
    {"phoneNumberArray", &LMContact::phoneNumberArray, ItemKey::kPhone},
    {"emailArray", &LMContact::emailArray, ItemKey::kValue},
    {"addressArray", &LMContact::addressArray, ItemKey::kAddress},
    {"dateArray", &LMContact::dateArray, ItemKey::kValue},
    {"urlArray", &LMContact::urlArray, ItemKey::kValue},
    {"imsArray", &LMContact::imsArray, ItemKey::kValue},
    {"relationsArray", &LMContact::relationsArray, ItemKey::kValue},
};

// Country, region, city and street run together, then a blank and the
// postal code.
std::string addressLine(const Json& item) {
  std::string line;
  for (const char* key : {"country", "region", "locality", "streetAddress"}) {
    if (auto part = platform::stringAt(item, key)) line += *part;
  }
  if (auto code = platform::stringAt(item, "postalCode")) line += " " + *code;
  return line;
}

struct Choice {
  std::string key;      // what tells choices apart
  std::string display;  // what a screen shows
};

std::optional<Choice> itemChoice(const Json& item, ItemKey kind) {
  if (kind == ItemKey::kAddress) {
    std::string line = addressLine(item);
    if (line.empty()) return std::nullopt;
    return Choice{line, line};
  }
  auto value = platform::stringAt(item, "value");
  if (!value) return std::nullopt;
  if (kind == ItemKey::kPhone) return Choice{LMUtils::purePhoneNumberWithString(*value), *value};
  return Choice{*value, *value};
}

Json makeChoice(Json value, const std::string& display) {
  return Json{{"value", std::move(value)}, {"display", display}};
}

void appendEntry(Json& list, const char* key, Json choices, std::int32_t type) {
  if (choices.empty()) return;
  Json entry = Json::object();
  entry[key] = std::move(choices);
  entry["type"] = type;
  list.push_back(std::move(entry));
}

const SingleField* singleFieldNamed(std::string_view key) {
  for (const SingleField& f : kSingleFields) {
    if (key == f.key) return &f;
  }
  return nullptr;
}

const ListEntry* listFieldNamed(std::string_view key) {
  for (const ListEntry& f : kListFields) {
    if (key == f.key) return &f;
  }
  return nullptr;
}

// Sets the contact's "name" parts from the first choice of a "name" entry;
// false when the entry has no usable choice.
bool applyNameEntry(LMContact& contact, const Json& entry) {
  auto it = entry.find("name");
  if (it == entry.end() || !it->is_array() || it->empty()) return false;
  const Json& first = it->front();
  const Json* value = nullptr;
  if (first.is_object()) {
    auto v = first.find("value");
    if (v != first.end() && v->is_object()) value = &*v;
  }
  if (value != nullptr) {
    if (auto s = platform::stringAt(*value, "familyName")) contact.familyName = *s;
    if (auto s = platform::stringAt(*value, "middleName")) contact.middleName = *s;
    if (auto s = platform::stringAt(*value, "givenName")) contact.givenName = *s;
  }
  return true;
}

// Applies one field entry. Only the contact's known merge fields are set, and
// only with values of their kind.
void applyFieldEntry(LMContact& contact, const Json& entry) {
  const std::string* fieldKey = nullptr;
  for (const auto& item : entry.items()) {
    if (item.key() != "type") {
      fieldKey = &item.key();
      break;
    }
  }
  if (fieldKey == nullptr) return;
  const Json& choices = entry.at(*fieldKey);
  if (!choices.is_array() || choices.empty()) return;
  auto typeIt = entry.find("type");
  if (typeIt == entry.end() || !typeIt->is_number_integer()) return;
  const auto type = typeIt->get<std::int64_t>();
  const auto valueOf = [](const Json& choice) -> Json {
    if (!choice.is_object()) return nullptr;
    auto v = choice.find("value");
    return v == choice.end() ? Json(nullptr) : *v;
  };

  if (const SingleField* single = singleFieldNamed(*fieldKey)) {
    if (type != kLMMergePropertySingle) return;
    Json value = valueOf(choices.front());
    if (value.is_string()) contact.*(single->field) = value.get<std::string>();
    return;
  }
  if (const ListEntry* list = listFieldNamed(*fieldKey)) {
    if (type == kLMMergePropertyList) {
      Json values = Json::array();
      for (const Json& choice : choices) {
        Json value = valueOf(choice);
        if (!value.is_null()) values.push_back(std::move(value));
      }
      if (!values.empty()) contact.*(list->field) = std::move(values);
    } else if (type == kLMMergePropertySingle) {
      Json value = valueOf(choices.front());
      if (value.is_array()) contact.*(list->field) = std::move(value);
    }
  }
}

}  // namespace

LMMergeManagedObject::LMMergeManagedObject(std::vector<LMContact> contacts)
    : contacts_(std::make_shared<const std::vector<LMContact>>(std::move(contacts))) {
  generateMergePropertyArray();
}

void LMMergeManagedObject::generateMergePropertyArray() {
  if (contacts_->empty()) return;
  std::vector<const LMContact*> candidates;
  for (const LMContact& contact : *contacts_) {
    if (contact.recordID && ignoreContactIDs.contains(*contact.recordID)) continue;
    candidates.push_back(&contact);
  }
  Json list = Json::array();

  {
    Json choices = Json::array();
    std::unordered_set<std::string> seen;
    for (const LMContact* contact : candidates) {
      if (!contact->name || !seen.insert(*contact->name).second) continue;
      Json parts = Json::object();
      if (contact->familyName) parts["familyName"] = *contact->familyName;
      if (contact->middleName) parts["middleName"] = *contact->middleName;
      if (contact->givenName) parts["givenName"] = *contact->givenName;
      choices.push_back(makeChoice(std::move(parts), *contact->name));
    }
    appendEntry(list, "name", std::move(choices), kLMMergePropertySingle);
  }

  for (const SingleField& single : kSingleFields) {
    Json choices = Json::array();
    std::unordered_set<std::string> seen;
    for (const LMContact* contact : candidates) {
      const auto& text = contact->*(single.field);
      if (!text || !seen.insert(*text).second) continue;
      choices.push_back(makeChoice(*text, *text));
    }
    appendEntry(list, single.key, std::move(choices), kLMMergePropertySingle);
  }

  for (const ListEntry& entry : kListFields) {
    Json choices = Json::array();
    std::unordered_set<std::string> seen;
    for (const LMContact* contact : candidates) {
      const Json& items = contact->*(entry.field);
      if (!items.is_array()) continue;
      for (const Json& item : items) {
        auto choice = itemChoice(item, entry.itemKey);
        if (!choice || !seen.insert(choice->key).second) continue;
        choices.push_back(makeChoice(item, choice->display));
      }
    }
    appendEntry(list, entry.key, std::move(choices), kLMMergePropertyList);
  }

  mergePropertyArray = std::move(list);
}

bool LMMergeManagedObject::isContactsCanMerge() const {
  if (isMerged || contacts_->empty()) return false;
  // Counts the members actually left, so an ignored id that belongs to no
  // member does not make a mergeable group look too small.
  std::size_t left = 0;
  for (const LMContact& contact : *contacts_) {
    if (!contact.recordID || !ignoreContactIDs.contains(*contact.recordID)) ++left;
  }
  return left > 1;
}

std::optional<LMContact> LMMergeManagedObject::contactFromPropertyArray(const Json& propertyArray) {
  if (!propertyArray.is_array() || propertyArray.empty()) return std::nullopt;
  LMContact contact;
  contact.shouldIgnoreExtensionData = false;
  contact.type = kLMRecordTypeLocal;
  for (std::size_t position = 0; position < propertyArray.size(); ++position) {
    const Json& entry = propertyArray[position];
    if (!entry.is_object()) continue;
    if (position == 0 && applyNameEntry(contact, entry)) continue;
    applyFieldEntry(contact, entry);
  }
  return contact;
}

}  // namespace lumora
