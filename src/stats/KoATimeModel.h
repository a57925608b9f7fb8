// A start/end pair of wall times (seconds since 1970, 0 until set): a
// session's or a named timer's span. Archived under "START" and "END".
// Plain value; use from one thread at a time. Failures: none.
#pragma once

#include <string>

#include "platform/storage/KeyedArchive.h"

namespace lumora {

class KoATimeModel {
 public:
  double nStart = 0;
  double nEnd = 0;

  // Sets the start (end) to now on the current clock and returns it.
  double start();
  double end();
  // nEnd - nStart in seconds; -1.0 when either is unset or the end lies
  // before the start.
  double getTimeInterval() const;
  // "start:%f end:%f".
  std::string description() const;

  void encodeWithCoder(platform::KeyedArchive& coder) const;
  static KoATimeModel initWithCoder(const platform::KeyedArchive& coder);

  friend bool operator==(const KoATimeModel&, const KoATimeModel&) = default;
};

}  // namespace lumora
