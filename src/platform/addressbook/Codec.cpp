#include "platform/addressbook/Codec.h"

#include <map>
#include <string>

#include <type_traits>

namespace platform::addressbook::detail {

namespace {

using Json = nlohmann::json;

Json encodeScalar(const std::string& v) { return v; }
Json encodeScalar(const Date& v) { return v.time_since_epoch().count(); }
Json encodeScalar(const Dictionary& v) { return Json(v); }

std::optional<std::string> decodeScalar(const Json& j, std::string*) {
  if (!j.is_string()) return std::nullopt;
  return j.get_ref<const std::string&>();
}
std::optional<Date> decodeScalar(const Json& j, Date*) {
  if (!j.is_number_integer()) return std::nullopt;
  return Date(std::chrono::microseconds(j.get<std::int64_t>()));
}
std::optional<Dictionary> decodeScalar(const Json& j, Dictionary*) {
  if (!j.is_object()) return std::nullopt;
  Dictionary out;
  for (const auto& [key, value] : j.items()) {
    if (value.is_string()) out[key] = value.get<std::string>();
  }
  return out;
}

template <class T>
Json encodeMulti(const MultiValue<T>& mv) {
  Json entries = Json::array();
  for (const auto& e : mv) {
    entries.push_back(Json{{"id", e.identifier},
                           {"label", e.label ? Json(*e.label) : Json()},
                           {"value", encodeScalar(e.value)}});
  }
  return Json{{"next", mv.nextIdentifier()}, {"entries", std::move(entries)}};
}

// The member `key` of an object, null when there is none (one look-up).
const Json* member(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

template <class T>
std::optional<PropertyValue> decodeMulti(const Json& j) {
  if (!j.is_object()) return std::nullopt;
  const Json* list = member(j, "entries");
  if (!list || !list->is_array()) return std::nullopt;
  std::vector<MultiValueEntry<T>> entries;
  entries.reserve(list->size());
  for (const auto& item : *list) {
    if (!item.is_object()) continue;
    const Json* stored = member(item, "value");
    if (!stored) continue;
    auto value = decodeScalar(*stored, static_cast<T*>(nullptr));
    if (!value) continue;
    MultiValueEntry<T> e;
    if (const Json* id = member(item, "id"); id && id->is_number_integer()) {
      e.identifier = id->get<MultiValueIdentifier>();
    }
    if (const Json* label = member(item, "label"); label && label->is_string()) {
      e.label = label->get_ref<const std::string&>();
    }
    e.value = std::move(*value);
    entries.push_back(std::move(e));
  }
  MultiValueIdentifier next = 0;
  if (const Json* n = member(j, "next"); n && n->is_number_integer()) next = n->get<MultiValueIdentifier>();
  return PropertyValue(MultiValue<T>::fromEntries(std::move(entries), next));
}

}  // namespace

Json encodeValue(const PropertyValue& value) {
  return std::visit(
      [](const auto& v) -> Json {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::int32_t>) {
          return v;
        } else if constexpr (std::is_same_v<V, std::string> || std::is_same_v<V, Date>) {
          return encodeScalar(v);
        } else {
          return encodeMulti(v);
        }
      },
      value);
}

std::optional<PropertyValue> decodeValue(PersonProperty property, const Json& json) {
  switch (propertyType(property)) {
    case PropertyType::String:
      if (auto v = decodeScalar(json, static_cast<std::string*>(nullptr))) return PropertyValue(std::move(*v));
      return std::nullopt;
    case PropertyType::Date:
      if (auto v = decodeScalar(json, static_cast<Date*>(nullptr))) return PropertyValue(*v);
      return std::nullopt;
    case PropertyType::Integer:
      if (json.is_number_integer()) return PropertyValue(json.get<std::int32_t>());
      return std::nullopt;
    case PropertyType::MultiString:
      return decodeMulti<std::string>(json);
    case PropertyType::MultiDate:
      return decodeMulti<Date>(json);
    case PropertyType::MultiDictionary:
      return decodeMulti<Dictionary>(json);
  }
  return std::nullopt;
}

std::optional<PersonProperty> propertyNamed(std::string_view name) {
  static const auto* byName = [] {
    auto* made = new std::map<std::string, PersonProperty, std::less<>>();
    for (int p = 0; p <= static_cast<int>(PersonProperty::SocialProfile); ++p) {
      auto property = static_cast<PersonProperty>(p);
      made->emplace(std::string(propertyName(property)), property);
    }
    return made;
  }();
  auto it = byName->find(name);
  if (it == byName->end()) return std::nullopt;
  return it->second;
}

}  // namespace platform::addressbook::detail
