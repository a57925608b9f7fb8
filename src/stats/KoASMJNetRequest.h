// The JSON that carries network samples in the sample upload: one sample
// (KoASMJNetRequest) is {"cost": whole milliseconds, "t": start in
// milliseconds since 1970 (rounded, a real), "code": the HTTP status} plus
// "net", "dns" and "exception" when they are non-empty texts; the package
// (KoASMJNetPackage) groups samples by URL and answers the form fields
// "time" (now in milliseconds, "%.0f") and "net_value" (the compact JSON
// array of {"url", "data": [samples in the order added]}).
// Plain objects; one thread at a time. Failures: none.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>
#include "platform/Error.h"
#include "stats/KoANetworkUtils.h"
#include "stats/KoASendMessageJsonBase.h"

namespace lumora {

class KoASMJNetRequest final : public KoASendMessageJsonBase {
 public:
  // Seconds (cost and start since 1970).
  KoASMJNetRequest(double cost, double startTime, std::int64_t stateCode, std::optional<std::string> netType,
                   std::optional<std::string> dns, std::optional<std::string> exception);
  std::optional<platform::Json> getSource() const override;

  double nCostTime;
  double nStartTime;
  std::int64_t nStateCode;
  std::optional<std::string> strNetType;
  std::optional<std::string> strDNS;
  std::optional<std::string> strException;
};

class KoASMJNetPackage {
 public:
  // Appends the item's source to the URL's list (nothing for an empty one).
  void addItemWithKey(const std::string& url, const KoASMJNetRequest& item);
  // "time" and "net_value", in this order.
  KoANetworkUtils::Form getSource() const;

  // The URLs in the order first added, each with its samples.
  std::vector<std::pair<std::string, std::vector<platform::Json>>> dicLists;
};

}  // namespace lumora
