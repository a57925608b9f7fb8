// One pooled statistics point: type, key, optional category, value,
// optional params and recording time, with the flags of its upload.
//
// Archived with the keys "POINT_TYPE", "UPLOAD_TYPE", "SEND_FLAG" (integers),
// "KEY", "CATEGORY" (texts), "VALUE" (an integer, a real, a text or a
// START/END pair), "PARAM" (written only when it is a non-empty object),
// "TIME" (a real) and "POINT_ID": the point's identity in the pool, so that
// a pool read back from its file adds only the points it lacks. Decoding
// reads what is there (a missing key gives 0 or nothing).
// Plain value; use from one thread at a time. Failures: none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "platform/Error.h"
#include "platform/storage/KeyedArchive.h"
#include "stats/KoATimeModel.h"

namespace lumora {

// A point's value: nothing, a number, a text or a start/end pair.
using KoAPointValue = std::variant<std::monostate, std::int64_t, double, std::string, KoATimeModel>;

class KoAPointLocalModel {
 public:
  std::int32_t nPointType = 0;   // 0..7, see the controller
  std::int32_t nUploadType = 0;  // 1: check for a commit after recording
  std::int32_t nSendFlag = 0;    // 1 once handed to an upload
  std::string strKey;
  std::optional<std::string> strCategory;
  KoAPointValue objValue;
  std::optional<platform::Json> dicParam;
  double nTime = 0;  // seconds since 1970

  // The pool's identity of the point ("" until the pool takes it).
  std::string strPoolID;
  // The first upload that carried the point (0: none in this process); not
  // archived.
  std::uint64_t nUploadID = 0;

  // "category:%@ key:%@, value:%@ (type:%d upload:%d time:%f)-(flag:%d) param:%@".
  std::string description() const;

  void encodeWithCoder(platform::KeyedArchive& coder) const;
  static KoAPointLocalModel initWithCoder(const platform::KeyedArchive& coder);
};

// The text of a value as the kit writes it: numbers in decimal, texts as
// they are, a pair as its description; nullopt for nothing.
std::optional<std::string> pointValueText(const KoAPointValue& value);

}  // namespace lumora
