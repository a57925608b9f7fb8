#include "stats/KoANetRequestModel.h"

#include <fmt/format.h>

namespace lumora {
namespace {

constexpr const char* kURLKey = "URL";
constexpr const char* kTimeKey = "TIME";
constexpr const char* kCostKey = "COST";
constexpr const char* kNetTypeKey = "NET_TYPE";
constexpr const char* kStateCodeKey = "STATE_CODE";
constexpr const char* kDescKey = "DESC";
constexpr const char* kDNSKey = "DNS";
constexpr const char* kFlowKey = "FLOW";
constexpr const char* kFlowStatusKey = "FLOW_STATUS";
constexpr const char* kRIDKey = "RID";
constexpr const char* kFirstByteKey = "FIRST_BYTE_T";
constexpr const char* kPointIDKey = "POINT_ID";

std::string orNull(const std::optional<std::string>& text) { return text.value_or("(null)"); }

void encodeText(platform::KeyedArchive& coder, const char* key, const std::optional<std::string>& text) {
  if (text) coder.encodeString(key, *text);
}

}  // namespace

std::string KoANetRequestModel::description() const {
  return fmt::format("{}({}) ({}:{:f},{:f})(state:{}) {} ({},{},{},{})", strURL, orNull(strDNS),
                     orNull(strNetType), nStart, nCost, nStateCode, orNull(strDesc), nFlow,
                     nFlowStatus, nRID, nFirstTimeByte);
}

void KoANetRequestModel::encodeWithCoder(platform::KeyedArchive& coder) const {
  coder.encodeString(kURLKey, strURL);
  coder.encodeDouble(kTimeKey, nStart);
  coder.encodeDouble(kCostKey, nCost);
  encodeText(coder, kNetTypeKey, strNetType);
  coder.encodeInt64(kStateCodeKey, nStateCode);
  encodeText(coder, kDescKey, strDesc);
  encodeText(coder, kDNSKey, strDNS);
  coder.encodeInt64(kFlowKey, nFlow);
  coder.encodeInt64(kFlowStatusKey, nFlowStatus);
  coder.encodeInt64(kRIDKey, nRID);
  coder.encodeInt64(kFirstByteKey, nFirstTimeByte);
  if (!strPoolID.empty()) coder.encodeString(kPointIDKey, strPoolID);
}

KoANetRequestModel KoANetRequestModel::initWithCoder(const platform::KeyedArchive& coder) {
  KoANetRequestModel sample;
  sample.strURL = coder.decodeString(kURLKey).value_or("");
  sample.nStart = coder.decodeDouble(kTimeKey).value_or(0);
  sample.nCost = coder.decodeDouble(kCostKey).value_or(0);
  sample.strNetType = coder.decodeString(kNetTypeKey);
  sample.nStateCode = coder.decodeInt64(kStateCodeKey).value_or(0);
  sample.strDesc = coder.decodeString(kDescKey);
  sample.strDNS = coder.decodeString(kDNSKey);
  sample.nFlow = coder.decodeInt64(kFlowKey).value_or(0);
  sample.nFlowStatus = coder.decodeInt64(kFlowStatusKey).value_or(0);
  sample.nRID = coder.decodeInt64(kRIDKey).value_or(0);
  sample.nFirstTimeByte = coder.decodeInt64(kFirstByteKey).value_or(0);
  sample.strPoolID = coder.decodeString(kPointIDKey).value_or("");
  return sample;
}

}  // namespace lumora
