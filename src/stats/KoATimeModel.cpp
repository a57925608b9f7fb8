#include "stats/KoATimeModel.h"

#include <fmt/format.h>

#include "platform/dispatch/Clock.h"

namespace lumora {
namespace {

constexpr const char* kStartKey = "START";
constexpr const char* kEndKey = "END";

}  // namespace

double KoATimeModel::start() {
  nStart = platform::Clock::current()->secondsSince1970();
  return nStart;
}

double KoATimeModel::end() {
  nEnd = platform::Clock::current()->secondsSince1970();
  return nEnd;
}

double KoATimeModel::getTimeInterval() const {
  if (nStart == 0 || nEnd == 0 || nEnd < nStart) return -1.0;
  return nEnd - nStart;
}

std::string KoATimeModel::description() const { return fmt::format("start:{:f} end:{:f}", nStart, nEnd); }

void KoATimeModel::encodeWithCoder(platform::KeyedArchive& coder) const {
  coder.encodeDouble(kStartKey, nStart);
  coder.encodeDouble(kEndKey, nEnd);
}

KoATimeModel KoATimeModel::initWithCoder(const platform::KeyedArchive& coder) {
  KoATimeModel model;
  model.nStart = coder.decodeDouble(kStartKey).value_or(0);
  model.nEnd = coder.decodeDouble(kEndKey).value_or(0);
  return model;
}

}  // namespace lumora
