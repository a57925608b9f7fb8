#include "platform/storage/KeyedArchive.h"

#include <plist/plist.h>

#include <cstdint>
#include <limits>

#include "platform/storage/PropertyList.h"

namespace platform {
namespace {

// Archives are private to the user, like everything in the app home.
constexpr mode_t kArchiveFileMode = 0600;

Error archiveError(std::int64_t code, const std::string& reason) {
  return Error(kKeyedArchiveErrorDomain, code, Json{{"reason", reason}});
}

// A new plist node for `value`; nullptr when a date is out of range.
plist_t toPlist(const ArchiveValue& value) {
  if (const bool* b = value.asBool()) return plist_new_bool(*b ? 1 : 0);
  // The format stores 64-bit integers in two's complement; the library's
  // unsigned interface carries them bit for bit.
  if (const std::int64_t* i = value.asInt64()) return plist_new_uint(static_cast<std::uint64_t>(*i));
  if (const double* d = value.asDouble()) return plist_new_real(*d);
  if (const std::string* s = value.asString()) return plist_new_string(s->c_str());
  if (const Bytes* bytes = value.asBytes()) {
    return plist_new_data(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  }
  if (const Clock::TimePoint* date = value.asDate()) return plist::newDate(*date);
  if (const ArchiveValue::Array* array = value.asArray()) {
    plist::Node node(plist_new_array());
    for (const ArchiveValue& item : *array) {
      plist_t child = toPlist(item);
      if (child == nullptr) return nullptr;
      plist_array_append_item(node.get(), child);
    }
    return node.release();
  }
  plist::Node node(plist_new_dict());
  for (const auto& [key, item] : *value.asDictionary()) {
    plist_t child = toPlist(item);
    if (child == nullptr) return nullptr;
    plist_dict_set_item(node.get(), key.c_str(), child);
  }
  return node.release();
}

std::optional<ArchiveValue> fromPlist(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return ArchiveValue(b != 0);
    }
    case PLIST_UINT:
      return ArchiveValue(plist::integerValue(node));
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return ArchiveValue(d);
    }
    case PLIST_STRING:
      return ArchiveValue(plist::stringValue(node));
    case PLIST_DATA:
      return ArchiveValue(plist::dataValue(node));
    case PLIST_DATE:
      return ArchiveValue(plist::dateValue(node, std::chrono::microseconds(1)));
    case PLIST_ARRAY: {
      ArchiveValue::Array array;
      const std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) {
        auto item = fromPlist(plist_array_get_item(node, i));
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      }
      return ArchiveValue(std::move(array));
    }
    case PLIST_DICT: {
      ArchiveValue::Dictionary dictionary;
      bool readable = true;
      plist::forEachEntry(node, [&](const char* key, plist_t child) {
        if (!readable) return;
        auto item = fromPlist(child);
        if (item) dictionary.emplace(key, std::move(*item));
        else readable = false;
      });
      if (!readable) return std::nullopt;
      return ArchiveValue(std::move(dictionary));
    }
    default:
      // Keys, UIDs and unknown nodes are not part of this archive format.
      return std::nullopt;
  }
}

}  // namespace

void KeyedArchive::encodeValue(const std::string& key, ArchiveValue value) {
  values_.insert_or_assign(key, std::move(value));
}

const ArchiveValue* KeyedArchive::decodeValue(const std::string& key) const {
  auto it = values_.find(key);
  return it == values_.end() ? nullptr : &it->second;
}

namespace {
template <class T, class Getter>
std::optional<T> decodeAs(const ArchiveValue* value, Getter getter) {
  if (value == nullptr) return std::nullopt;
  const T* typed = (value->*getter)();
  if (typed == nullptr) return std::nullopt;
  return *typed;
}
}  // namespace

std::optional<bool> KeyedArchive::decodeBool(const std::string& key) const {
  return decodeAs<bool>(decodeValue(key), &ArchiveValue::asBool);
}
std::optional<std::int64_t> KeyedArchive::decodeInt64(const std::string& key) const {
  return decodeAs<std::int64_t>(decodeValue(key), &ArchiveValue::asInt64);
}

std::optional<std::int32_t> KeyedArchive::decodeInt32(const std::string& key) const {
  std::optional<std::int64_t> value = decodeInt64(key);
  if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
      *value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*value);
}
std::optional<double> KeyedArchive::decodeDouble(const std::string& key) const {
  return decodeAs<double>(decodeValue(key), &ArchiveValue::asDouble);
}
std::optional<std::string> KeyedArchive::decodeString(const std::string& key) const {
  return decodeAs<std::string>(decodeValue(key), &ArchiveValue::asString);
}
std::optional<Bytes> KeyedArchive::decodeBytes(const std::string& key) const {
  return decodeAs<Bytes>(decodeValue(key), &ArchiveValue::asBytes);
}
std::optional<Clock::TimePoint> KeyedArchive::decodeDate(const std::string& key) const {
  return decodeAs<Clock::TimePoint>(decodeValue(key), &ArchiveValue::asDate);
}
const ArchiveValue::Array* KeyedArchive::decodeArray(const std::string& key) const {
  const ArchiveValue* value = decodeValue(key);
  return value == nullptr ? nullptr : value->asArray();
}
std::optional<KeyedArchive> KeyedArchive::decodeArchive(const std::string& key) const {
  const ArchiveValue* value = decodeValue(key);
  if (value == nullptr || value->asDictionary() == nullptr) return std::nullopt;
  return KeyedArchive(*value->asDictionary());
}

Result<Bytes> KeyedArchive::binaryData() const {
  plist::Node root(toPlist(ArchiveValue(values_)));
  if (!root) return archiveError(kKeyedArchiveErrorUnreadable, "date out of the archive's range");
  Bytes data = plist::toBinary(root.get());
  if (data.empty()) return archiveError(kKeyedArchiveErrorUnreadable, "archive not written");
  return data;
}

Result<KeyedArchive> KeyedArchive::fromBinaryData(const Bytes& data) {
  if (data.size() < 8 || data.size() > std::numeric_limits<std::uint32_t>::max() ||
      !plist_is_binary(reinterpret_cast<const char*>(data.data()),
                       static_cast<std::uint32_t>(data.size()))) {
    return archiveError(kKeyedArchiveErrorUnreadable, "not a binary property list");
  }
  plist::Node root = plist::parse(data);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
    return archiveError(kKeyedArchiveErrorUnreadable, "no dictionary at the top");
  }
  auto value = fromPlist(root.get());
  if (!value) return archiveError(kKeyedArchiveErrorUnreadable, "unsupported value in archive");
  return KeyedArchive(*value->asDictionary());
}

Status KeyedArchive::writeToFile(const std::filesystem::path& path) const {
  auto data = binaryData();
  if (!data) return data.error();
  if (!plist::writeFileAtomically(path, *data, kArchiveFileMode).ok()) {
    return archiveError(kKeyedArchiveErrorFile, "cannot write " + path.string());
  }
  return Status::success();
}

Result<KeyedArchive> KeyedArchive::readFromFile(const std::filesystem::path& path) {
  auto data = plist::readStoredFile(path);
  if (!data && data.error().code() == plist::kFileReadNoSuchFile) {
    return archiveError(kKeyedArchiveErrorFile, "cannot read " + path.string());
  }
  Result<KeyedArchive> archive =
      data ? fromBinaryData(*data)
           : Result<KeyedArchive>(archiveError(kKeyedArchiveErrorFile, "cannot read " + path.string())
                                      .withUnderlying(data.error()));
  if (archive) return archive;
  // An archive that exists but cannot be read is set aside, so the next
  // start does not trip over it again.
  bool movedAside = false;
  return plist::setAsideUnreadable(path, archive.error(), movedAside);
}

std::optional<ArchiveValue> archiveValueFromJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::boolean: return ArchiveValue(json.get<bool>());
    case Json::value_t::number_integer: return ArchiveValue(json.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      auto value = json.get<std::uint64_t>();
      if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return ArchiveValue(static_cast<std::int64_t>(value));
      }
      return ArchiveValue(static_cast<double>(value));
    }
    case Json::value_t::number_float: return ArchiveValue(json.get<double>());
    case Json::value_t::string: return ArchiveValue(json.get<std::string>());
    case Json::value_t::binary: return ArchiveValue(Bytes(json.get_binary().begin(), json.get_binary().end()));
    case Json::value_t::array: {
      ArchiveValue::Array array;
      for (const Json& item : json) {
        if (auto value = archiveValueFromJson(item)) array.push_back(std::move(*value));
      }
      return ArchiveValue(std::move(array));
    }
    case Json::value_t::object: {
      ArchiveValue::Dictionary dictionary;
      for (const auto& [key, item] : json.items()) {
        if (auto value = archiveValueFromJson(item)) dictionary.emplace(key, std::move(*value));
      }
      return ArchiveValue(std::move(dictionary));
    }
    default: return std::nullopt;
  }
}

Json jsonFromArchiveValue(const ArchiveValue& value) {
  if (const bool* b = value.asBool()) return *b;
  if (const std::int64_t* i = value.asInt64()) return *i;
  if (const double* d = value.asDouble()) return *d;
  if (const std::string* s = value.asString()) return *s;
  if (const Bytes* bytes = value.asBytes()) return Json::binary(*bytes);
  if (const Clock::TimePoint* date = value.asDate()) return plist::isoDateText(*date);
  if (const ArchiveValue::Array* array = value.asArray()) {
    Json out = Json::array();
    for (const ArchiveValue& item : *array) out.push_back(jsonFromArchiveValue(item));
    return out;
  }
  Json out = Json::object();
  for (const auto& [key, item] : *value.asDictionary()) out[key] = jsonFromArchiveValue(item);
  return out;
}

}  // namespace platform
