#include "server/services/RelocationService.h"

#include <functional>

namespace localcloud {

void RelocationService::registerOn(SignedEndpoints& endpoints) {
  endpoints.post(kPath, kServiceId, std::bind_front(&RelocationService::record, this));
}

SignedReply RelocationService::record(const SignedRequest& req) {
  // The client always sends the country, "" when it has none.
  if (!req.param("romCountry")) {
    return SignedReply::error(cloudcode::kBadRequest, "romCountry is missing");
  }
  auto hostList = nlohmann::json::parse(store_.hostList(), nullptr, false);
  if (!hostList.is_object()) hostList = nlohmann::json::object();
  return SignedReply::ok(nlohmann::json{{"hostList", hostList}});
}

}  // namespace localcloud
