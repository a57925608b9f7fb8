#include "server/RelocationService.h"

namespace localcloud {

RelocationService::RelocationService(Store& store) : store_(store) {}

void RelocationService::registerOn(SignedEndpoints& endpoints) {
  endpoints.post(kPath, kServiceId, [this](const SignedRequest& req) { return record(req); });
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
