#include "cloud/model/LMRecord.h"

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "utils/LMUtils.h"

namespace lumora {
namespace {

template <class T>
std::string textOf(const std::optional<T>& value) {
  if (!value) return "(null)";
  if constexpr (std::is_same_v<T, std::string>) {
    return *value;
  } else {
    return std::to_string(*value);
  }
}

}  // namespace

std::optional<std::int64_t> LMRecord::cloudIntegerOf(const platform::Json& value) {
  if (value.is_number_unsigned()) {
    if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(value.get<std::uint64_t>());
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    // A writer may send 12 as 12.0; a fraction, or a value beyond 64 bits
    // (2^63 itself included), names no record.
    double number = value.get<double>();
    if (std::trunc(number) != number || number < -0x1p63 || number >= 0x1p63) return std::nullopt;
    return static_cast<std::int64_t>(number);
  }
  return std::nullopt;
}

std::optional<LMRecord> LMRecord::initWithLumoraJSON(const platform::Json& content) {
  LMRecord record;
  if (!record.readLumoraJSON(content)) return std::nullopt;
  return record;
}

bool LMRecord::readLumoraJSON(const platform::Json& content) {
  if (!content.is_object() || content.empty()) return false;
  shouldIgnoreExtensionData = false;
  type = kLMRecordTypeLumora;
  platform::Json rest = content;
  if (auto it = rest.find(kLMRecordIDKey); it != rest.end()) {
    if (auto id = cloudIntegerOf(*it)) {
      serverID = id;
      rest.erase(it);
    }
  }
  if (auto it = rest.find(kLMRecordStatusKey); it != rest.end()) {
    if (it->is_string() && !it->get_ref<const std::string&>().empty()) {
      status = it->get<std::string>();
      rest.erase(it);
    }
  }
  if (auto it = rest.find(kLMRecordTagKey); it != rest.end()) {
    if (auto tag = cloudIntegerOf(*it)) {
      sync = tag;
      rest.erase(it);
    }
  }
  extensionData = std::move(rest);
  return true;
}

std::optional<LMRecord> LMRecord::initWithABRecord(const platform::addressbook::Record& record) {
  LMRecord result;
  if (!result.readABRecord(record)) return std::nullopt;
  return result;
}

bool LMRecord::readABRecord(const platform::addressbook::Record& record) {
  if (record.isNull() || record.id() == platform::addressbook::kInvalidRecordId) return false;
  shouldIgnoreExtensionData = false;
  type = kLMRecordTypeLocal;
  recordID = record.id();
  name = record.compositeName();
  return true;
}

platform::Status LMRecord::mergeToLocalRecord(
    platform::addressbook::Record /*record*/) const {
  return platform::Status::success();
}

std::string LMRecord::description() const {
  return std::string(className()) + " name:" + textOf(name) + " recordID:" + textOf(recordID) +
         " serverID:" + textOf(serverID);
}

platform::Json LMRecord::dictionaryForLumoraJSON() const {
  platform::Json content = platform::Json::object();
  if (serverID) content[kLMRecordIDKey] = *serverID;
  if (sync) content[kLMRecordTagKey] = *sync;
  if (!shouldIgnoreExtensionData && extensionData.is_object()) {
    for (const auto& entry : extensionData.items()) content[entry.key()] = entry.value();
  }
  platform::Json envelope = platform::Json::object();
  envelope[kLMRecordContentKey] = std::move(content);
  return envelope;
}

void LMRecord::mergeWithRecord(LMRecord* other) {
  if (other == nullptr) return;
  if (other->name) name = other->name;
}

bool LMRecord::isEqualToRecord(const LMRecord* other) const {
  if (other == nullptr || !isOfMyClass(*other)) return false;
  return LMUtils::isString(name, other->name);
}

}  // namespace lumora
