// Keyed archives: a dictionary of typed values (booleans, 64-bit integers,
// reals, strings, bytes, dates, arrays and nested dictionaries) kept as a
// binary property list, the one archive format of the whole system. Nested
// archives (one per archived object) are dictionaries inside the top one.
//
// Plain values: copy freely, use from one thread at a time. Reading bytes or a
// file that is not a binary property list with a dictionary at its top gives
// an Error (domain kKeyedArchiveErrorDomain); nothing throws. Files are
// written atomically (temporary file, then rename). Strings end at their
// first NUL character, as in every property list.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/Result.h"

namespace platform {

inline constexpr const char* kKeyedArchiveErrorDomain = "platform.KeyedArchive";
inline constexpr std::int64_t kKeyedArchiveErrorUnreadable = 1;  // not an archive
inline constexpr std::int64_t kKeyedArchiveErrorFile = 2;        // file could not be read/written

class ArchiveValue {
 public:
  using Array = std::vector<ArchiveValue>;
  using Dictionary = std::map<std::string, ArchiveValue>;

  ArchiveValue() : value_(false) {}
  ArchiveValue(bool value) : value_(value) {}  // NOLINT
  ArchiveValue(std::int32_t value) : value_(std::int64_t{value}) {}  // NOLINT
  ArchiveValue(std::int64_t value) : value_(value) {}  // NOLINT
  ArchiveValue(double value) : value_(value) {}  // NOLINT
  ArchiveValue(std::string value) : value_(std::move(value)) {}  // NOLINT
  ArchiveValue(const char* value) : value_(std::string(value)) {}  // NOLINT
  ArchiveValue(Bytes value) : value_(std::move(value)) {}  // NOLINT
  ArchiveValue(Clock::TimePoint value) : value_(value) {}  // NOLINT
  ArchiveValue(Array value) : value_(std::move(value)) {}  // NOLINT
  ArchiveValue(Dictionary value) : value_(std::move(value)) {}  // NOLINT

  // Each accessor gives nullptr when the value is of another kind.
  const bool* asBool() const { return std::get_if<bool>(&value_); }
  const std::int64_t* asInt64() const { return std::get_if<std::int64_t>(&value_); }
  const double* asDouble() const { return std::get_if<double>(&value_); }
  const std::string* asString() const { return std::get_if<std::string>(&value_); }
  const Bytes* asBytes() const { return std::get_if<Bytes>(&value_); }
  const Clock::TimePoint* asDate() const { return std::get_if<Clock::TimePoint>(&value_); }
  const Array* asArray() const { return std::get_if<Array>(&value_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }

  friend bool operator==(const ArchiveValue& a, const ArchiveValue& b) {
    return a.value_ == b.value_;
  }

 private:
  std::variant<bool, std::int64_t, double, std::string, Bytes, Clock::TimePoint, Array,
               Dictionary>
      value_;
};

// One archive: the top-level dictionary with typed setters and getters. A
// getter gives nullopt (or nullptr) when the key is absent or holds a value
// of another kind. Dates keep microsecond precision.
class KeyedArchive {
 public:
  KeyedArchive() = default;
  explicit KeyedArchive(ArchiveValue::Dictionary values) : values_(std::move(values)) {}

  void encodeValue(const std::string& key, ArchiveValue value);
  void encodeBool(const std::string& key, bool value) { encodeValue(key, value); }
  void encodeInt64(const std::string& key, std::int64_t value) { encodeValue(key, value); }
  void encodeDouble(const std::string& key, double value) { encodeValue(key, value); }
  void encodeString(const std::string& key, std::string value) { encodeValue(key, std::move(value)); }
  void encodeBytes(const std::string& key, Bytes value) { encodeValue(key, std::move(value)); }
  void encodeDate(const std::string& key, Clock::TimePoint value) { encodeValue(key, value); }
  void encodeArray(const std::string& key, ArchiveValue::Array value) { encodeValue(key, std::move(value)); }
  void encodeArchive(const std::string& key, const KeyedArchive& archive) { encodeValue(key, archive.values_); }
  void removeValue(const std::string& key) { values_.erase(key); }

  bool containsValueForKey(const std::string& key) const { return values_.contains(key); }
  const ArchiveValue* decodeValue(const std::string& key) const;
  std::optional<bool> decodeBool(const std::string& key) const;
  std::optional<std::int64_t> decodeInt64(const std::string& key) const;
  // nullopt also for an integer beyond the 32-bit range.
  std::optional<std::int32_t> decodeInt32(const std::string& key) const;
  std::optional<double> decodeDouble(const std::string& key) const;
  std::optional<std::string> decodeString(const std::string& key) const;
  std::optional<Bytes> decodeBytes(const std::string& key) const;
  std::optional<Clock::TimePoint> decodeDate(const std::string& key) const;
  const ArchiveValue::Array* decodeArray(const std::string& key) const;
  std::optional<KeyedArchive> decodeArchive(const std::string& key) const;

  const ArchiveValue::Dictionary& values() const { return values_; }

  // The archive as a binary property list, and back. Writing fails only for
  // a date the format cannot hold (before 1933 or after 2069).
  Result<Bytes> binaryData() const;
  static Result<KeyedArchive> fromBinaryData(const Bytes& data);

  Status writeToFile(const std::filesystem::path& path) const;
  // A file that exists but cannot be read or is no archive (a link of either
  // kind, a pipe or a folder at the name among them: never read through nor
  // waited on) is moved aside to "<path>.corrupt" (kept for inspection,
  // reported on standard error; the error's "movedTo" names it), so the
  // caller starts empty and the next start does not trip over it again.
  static Result<KeyedArchive> readFromFile(const std::filesystem::path& path);

  friend bool operator==(const KeyedArchive& a, const KeyedArchive& b) {
    return a.values_ == b.values_;
  }

 private:
  ArchiveValue::Dictionary values_;
};

// JSON trees in archives (values such as parameter dictionaries): strings,
// booleans, integers, reals, arrays and objects as themselves, binary
// values as bytes; a null (also inside a container) has no archive form
// and is left out, giving nullopt at the top. An unsigned integer beyond
// the signed range is kept as a real.
std::optional<ArchiveValue> archiveValueFromJson(const Json& json);
// The reverse: bytes become a JSON binary value, dates their ISO 8601 text.
Json jsonFromArchiveValue(const ArchiveValue& value);

}  // namespace platform
