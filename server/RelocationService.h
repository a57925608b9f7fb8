// The relocation service (service id "lumora") over the signed-request
// layer: POST /lum/relocation/v3/user/{userId}/record with "romCountry"
// answers {"data": {"hostList": {default host: host to use}}}, the list the
// Store holds (set through the admin API; "{}" until then).
//
// Ownership: owned by the CloudServer; borrows the Store. Threading:
// stateless, handlers run concurrently. Failures: code 400 without
// "romCountry".
#pragma once

#include "server/SignedEndpoints.h"
#include "server/Store.h"

namespace localcloud {

class RelocationService {
 public:
  static constexpr const char* kServiceId = "lumora";
  static constexpr const char* kPath = "/lum/relocation/v3/user/{userId}/record";

  explicit RelocationService(Store& store);
  void registerOn(SignedEndpoints& endpoints);
  SignedReply record(const SignedRequest& req);

 private:
  Store& store_;
};

}  // namespace localcloud
