#include "harbor/HBRObfuscator.h"

#include <algorithm>

#include "platform/diagnostics/Exception.h"
#include "platform/storage/KeyedArchive.h"
#include "utils/AESCrypt.h"

namespace lumora {
namespace {

constexpr const char* kInvalidObfuscatedData = "InvalidObfuscatedData";

[[noreturn]] void throwImproper() {
  throw platform::Exception(kInvalidObfuscatedData, "Improperly obfuscated data.");
}

// Standard Base64 and nothing else: whole groups of four, padding only at
// the end.
bool isStrictBase64(const platform::Bytes& data) {
  if (data.empty() || data.size() % 4 != 0) return false;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::uint8_t c = data[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '+' || c == '/';
    if (c == '=') {
      ++padding;
    } else if (!alphabet || padding > 0) {
      return false;
    }
  }
  return padding <= 2;
}

}  // namespace

platform::Bytes HBRObfuscator::obfuscatedDataFromDictionary(const platform::Json& dictionary) {
  platform::ArchiveValue::Dictionary values;
  if (auto value = platform::archiveValueFromJson(dictionary); value && value->asDictionary()) {
    values = *value->asDictionary();
  }
  auto archive = platform::KeyedArchive(std::move(values)).binaryData();
  if (!archive) return {};
  return platform::toBytes(base64Encoding(*archive));
}

platform::Json HBRObfuscator::dictionaryWithObfuscatedData(const std::optional<platform::Bytes>& data) {
  if (!data || data->empty()) {
    throw platform::Exception(kInvalidObfuscatedData, "Attempting to deobfuscate nil or empty data.");
  }
  if (!isStrictBase64(*data)) throwImproper();
  auto archive = platform::KeyedArchive::fromBinaryData(
      dataWithBase64EncodedString(std::string_view(reinterpret_cast<const char*>(data->data()), data->size())));
  if (!archive) throwImproper();
  platform::Json dictionary = platform::jsonFromArchiveValue(platform::ArchiveValue(archive->values()));
  if (!dictionary.is_object()) throwImproper();
  return dictionary;
}

}  // namespace lumora
