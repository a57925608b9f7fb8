#include "stats/KoASMJNetRequest.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "platform/dispatch/Clock.h"
#include "stats/KoStatJSONUtil.h"

namespace lumora {

KoASMJNetRequest::KoASMJNetRequest(double cost, double startTime, std::int64_t stateCode,
                                   std::optional<std::string> netType, std::optional<std::string> dns,
                                   std::optional<std::string> exception)
    : nCostTime(cost),
      nStartTime(startTime),
      nStateCode(stateCode),
      strNetType(std::move(netType)),
      strDNS(std::move(dns)),
      strException(std::move(exception)) {}

std::optional<platform::Json> KoASMJNetRequest::getSource() const {
  // A damaged sample (a cost no count of milliseconds holds, a start that
  // is no number) is left out.
  const double cost = std::trunc(nCostTime * 1000);
  if (!(cost >= -0x1p63 && cost < 0x1p63) || !std::isfinite(nStartTime)) return std::nullopt;
  platform::Json source = platform::Json::object();
  source["cost"] = static_cast<std::int64_t>(cost);
  if (strNetType && !strNetType->empty()) source["net"] = *strNetType;
  if (strDNS && !strDNS->empty()) source["dns"] = *strDNS;
  source["t"] = std::round(nStartTime * 1000);
  source["code"] = nStateCode;
  if (strException && !strException->empty()) source["exception"] = *strException;
  return source;
}

void KoASMJNetPackage::addItemWithKey(const std::string& url, const KoASMJNetRequest& item) {
  auto source = item.getSource();
  if (!isNonEmptyObject(source)) return;
  auto it = std::find_if(dicLists.begin(), dicLists.end(), [&](const auto& entry) { return entry.first == url; });
  if (it == dicLists.end()) it = dicLists.insert(dicLists.end(), {url, {}});
  it->second.push_back(std::move(*source));
}

KoANetworkUtils::Form KoASMJNetPackage::getSource() const {
  platform::Json list = platform::Json::array();
  for (const auto& [url, samples] : dicLists) list.push_back(platform::Json{{"url", url}, {"data", samples}});
  return {{"time", fmt::format("{:.0f}", platform::Clock::current()->secondsSince1970() * 1000)},
          {"net_value", KoStatJSONUtil::tranToJsonWithObject(list).value_or("[]")}};
}

}  // namespace lumora
