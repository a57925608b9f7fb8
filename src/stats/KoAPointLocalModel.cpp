#include "stats/KoAPointLocalModel.h"

#include <fmt/format.h>

namespace lumora {
namespace {

constexpr const char* kPointTypeKey = "POINT_TYPE";
constexpr const char* kUploadTypeKey = "UPLOAD_TYPE";
constexpr const char* kSendFlagKey = "SEND_FLAG";
constexpr const char* kKeyKey = "KEY";
constexpr const char* kCategoryKey = "CATEGORY";
constexpr const char* kValueKey = "VALUE";
constexpr const char* kParamKey = "PARAM";
constexpr const char* kPointTimeKey = "TIME";
constexpr const char* kPointPoolIDKey = "POINT_ID";

std::optional<platform::ArchiveValue> encodeValue(const KoAPointValue& value) {
  if (const auto* number = std::get_if<std::int64_t>(&value)) return platform::ArchiveValue(*number);
  if (const auto* real = std::get_if<double>(&value)) return platform::ArchiveValue(*real);
  if (const auto* text = std::get_if<std::string>(&value)) return platform::ArchiveValue(*text);
  if (const auto* pair = std::get_if<KoATimeModel>(&value)) {
    platform::KeyedArchive nested;
    pair->encodeWithCoder(nested);
    return platform::ArchiveValue(nested.values());
  }
  return std::nullopt;
}

KoAPointValue decodeValue(const platform::ArchiveValue* value) {
  if (value == nullptr) return {};
  if (const auto* number = value->asInt64()) return *number;
  if (const auto* real = value->asDouble()) return *real;
  if (const auto* text = value->asString()) return *text;
  if (const auto* nested = value->asDictionary()) {
    return KoATimeModel::initWithCoder(platform::KeyedArchive(*nested));
  }
  return {};
}

std::string orNullText(const std::optional<std::string>& text) { return text.value_or("(null)"); }

}  // namespace

std::optional<std::string> pointValueText(const KoAPointValue& value) {
  if (const auto* number = std::get_if<std::int64_t>(&value)) return std::to_string(*number);
  if (const auto* real = std::get_if<double>(&value)) return fmt::format("{}", *real);
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* pair = std::get_if<KoATimeModel>(&value)) return pair->description();
  return std::nullopt;
}

std::string KoAPointLocalModel::description() const {
  return fmt::format("category:{} key:{}, value:{} (type:{} upload:{} time:{:f})-(flag:{}) param:{}",
                     orNullText(strCategory), strKey, orNullText(pointValueText(objValue)), nPointType,
                     nUploadType, nTime, nSendFlag, dicParam ? dicParam->dump() : "(null)");
}

void KoAPointLocalModel::encodeWithCoder(platform::KeyedArchive& coder) const {
  coder.encodeInt64(kPointTypeKey, nPointType);
  coder.encodeInt64(kUploadTypeKey, nUploadType);
  coder.encodeInt64(kSendFlagKey, nSendFlag);
  coder.encodeString(kKeyKey, strKey);
  if (strCategory) coder.encodeString(kCategoryKey, *strCategory);
  if (auto value = encodeValue(objValue)) coder.encodeValue(kValueKey, std::move(*value));
  if (dicParam && dicParam->is_object() && !dicParam->empty()) {
    if (auto params = platform::archiveValueFromJson(*dicParam)) coder.encodeValue(kParamKey, std::move(*params));
  }
  coder.encodeDouble(kPointTimeKey, nTime);
  if (!strPoolID.empty()) coder.encodeString(kPointPoolIDKey, strPoolID);
}

KoAPointLocalModel KoAPointLocalModel::initWithCoder(const platform::KeyedArchive& coder) {
  KoAPointLocalModel point;
  point.nPointType = coder.decodeInt32(kPointTypeKey).value_or(0);
  point.nUploadType = coder.decodeInt32(kUploadTypeKey).value_or(0);
  point.nSendFlag = coder.decodeInt32(kSendFlagKey).value_or(0);
  point.strKey = coder.decodeString(kKeyKey).value_or("");
  point.strCategory = coder.decodeString(kCategoryKey);
  point.objValue = decodeValue(coder.decodeValue(kValueKey));
  if (const auto* params = coder.decodeValue(kParamKey); params && params->asDictionary()) {
    point.dicParam = platform::jsonFromArchiveValue(*params);
  }
  point.nTime = coder.decodeDouble(kPointTimeKey).value_or(0);
  point.strPoolID = coder.decodeString(kPointPoolIDKey).value_or("");
  return point;
}

}  // namespace lumora
