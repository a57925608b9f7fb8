#include "platform/KeyedArchive.h"

#include <plist/plist.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <system_error>
#include <unistd.h>

namespace platform {
namespace {

// Binary property list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kPlistEpochOffsetSeconds = 978307200;

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(void* p) const { std::free(p); }
};

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
  if (const Clock::TimePoint* date = value.asDate()) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(date->time_since_epoch()).count() -
        kPlistEpochOffsetSeconds * 1000000;
    std::int64_t sec = micros / 1000000;
    std::int64_t usec = micros % 1000000;
    if (usec < 0) {
      usec += 1000000;
      sec -= 1;
    }
    if (sec < std::numeric_limits<std::int32_t>::min() ||
        sec > std::numeric_limits<std::int32_t>::max()) {
      return nullptr;
    }
    return plist_new_date(static_cast<std::int32_t>(sec), static_cast<std::int32_t>(usec));
  }
  if (const ArchiveValue::Array* array = value.asArray()) {
    PlistPtr node(plist_new_array());
    for (const ArchiveValue& item : *array) {
      plist_t child = toPlist(item);
      if (child == nullptr) return nullptr;
      plist_array_append_item(node.get(), child);
    }
    return node.release();
  }
  PlistPtr node(plist_new_dict());
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
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return ArchiveValue(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return ArchiveValue(d);
    }
    case PLIST_STRING: {
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      std::unique_ptr<char, MallocDeleter> text(raw);
      return ArchiveValue(std::string(raw != nullptr ? raw : ""));
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* data = plist_get_data_ptr(node, &length);
      Bytes bytes;
      if (data != nullptr) bytes.assign(data, data + length);
      return ArchiveValue(std::move(bytes));
    }
    case PLIST_DATE: {
      std::int32_t sec = 0;
      std::int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      const std::int64_t micros = (sec + kPlistEpochOffsetSeconds) * 1000000 + usec;
      return ArchiveValue(Clock::TimePoint(std::chrono::duration_cast<Clock::Duration>(
          std::chrono::microseconds(micros))));
    }
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
      plist_dict_iter rawIter = nullptr;
      plist_dict_new_iter(node, &rawIter);
      std::unique_ptr<void, MallocDeleter> iter(rawIter);
      while (true) {
        char* rawKey = nullptr;
        plist_t child = nullptr;
        plist_dict_next_item(node, rawIter, &rawKey, &child);
        std::unique_ptr<char, MallocDeleter> key(rawKey);
        if (child == nullptr) break;
        auto item = fromPlist(child);
        if (!item || rawKey == nullptr) return std::nullopt;
        dictionary.emplace(rawKey, std::move(*item));
      }
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
  PlistPtr root(toPlist(ArchiveValue(values_)));
  if (!root) return archiveError(kKeyedArchiveErrorUnreadable, "date out of the archive's range");
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &raw, &length);
  std::unique_ptr<char, MallocDeleter> data(raw);
  if (raw == nullptr) return archiveError(kKeyedArchiveErrorUnreadable, "archive not written");
  return Bytes(raw, raw + length);
}

Result<KeyedArchive> KeyedArchive::fromBinaryData(const Bytes& data) {
  if (data.size() < 8 || data.size() > std::numeric_limits<std::uint32_t>::max() ||
      !plist_is_binary(reinterpret_cast<const char*>(data.data()),
                       static_cast<std::uint32_t>(data.size()))) {
    return archiveError(kKeyedArchiveErrorUnreadable, "not a binary property list");
  }
  plist_t raw = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(data.data()),
                 static_cast<std::uint32_t>(data.size()), &raw);
  PlistPtr root(raw);
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
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  static std::atomic<unsigned> counter{0};
  std::filesystem::path temporary = path;
  temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data->data()),
              static_cast<std::streamsize>(data->size()));
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, ec);
      return archiveError(kKeyedArchiveErrorFile, "cannot write " + path.string());
    }
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    return archiveError(kKeyedArchiveErrorFile, "cannot write " + path.string());
  }
  return Status::success();
}

Result<KeyedArchive> KeyedArchive::readFromFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return archiveError(kKeyedArchiveErrorFile, "cannot read " + path.string());
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return archiveError(kKeyedArchiveErrorFile, "cannot read " + path.string());
  return fromBinaryData(data);
}

}  // namespace platform
