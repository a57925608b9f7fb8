// The relocation service (service id "lumora") over the signed-request
// layer: POST /lum/relocation/v3/user/{userId}/record with "romCountry"
// answers {"data": {"hostList": {default host: host to use}}}, the list the
// Store holds (set through the admin API; "{}" until then).
//
// Ownership and threading as every SignedService; borrows the Store.
// Failures: code 400 without "romCountry".
#pragma once

#include "server/services/SignedEndpoints.h"
#include "server/storage/Store.h"

namespace localcloud {

class RelocationService : public SignedService {
 public:
  static constexpr const char* kServiceId = "lumora";
  static constexpr const char* kPath = "/lum/relocation/v3/user/{userId}/record";

  explicit RelocationService(Store& store) : store_(store) {}
  void registerOn(SignedEndpoints& endpoints) override;

 private:
  SignedReply record(const SignedRequest& req);

  Store& store_;
};

}  // namespace localcloud
