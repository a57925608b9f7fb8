// One timed HTTP request as the pool keeps it (a network sample): URL,
// start, duration, network type, status, description and DNS address.
//
// Archived with the keys "URL", "TIME", "COST", "NET_TYPE", "STATE_CODE",
// "DESC", "DNS", "FLOW", "FLOW_STATUS", "RID", "FIRST_BYTE_T" and
// "POINT_ID" (the sample's identity in the pool); texts that are absent are
// not written. Decoding reads what is there (a missing key gives 0 or
// nothing).
// Plain value; use from one thread at a time. Failures: none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/storage/KeyedArchive.h"

namespace lumora {

class KoANetRequestModel {
 public:
  std::string strURL;
  double nStart = 0;  // seconds since 1970
  double nCost = 0;   // seconds
  std::optional<std::string> strNetType;
  std::int64_t nStateCode = 0;  // HTTP status, 0 without a response
  std::optional<std::string> strDesc;
  std::optional<std::string> strDNS;
  std::int64_t nFlow = 0;
  std::int64_t nFlowStatus = 0;
  std::int64_t nRID = 0;
  std::int64_t nFirstTimeByte = 0;

  // The pool's identity of the sample ("" until the pool takes it).
  std::string strPoolID;
  // The first upload that carried the sample (0: none); not archived.
  std::uint64_t nUploadID = 0;

  // "%@(%@) (%@:%f,%f)(state:%d) %@ (%d,%d,%d,%d)".
  std::string description() const;

  void encodeWithCoder(platform::KeyedArchive& coder) const;
  static KoANetRequestModel initWithCoder(const platform::KeyedArchive& coder);
};

}  // namespace lumora
