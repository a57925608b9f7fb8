// The account service's user API (service id "passportapi") over the
// signed-request layer:
//   GET /pass/v2/safe/user/coreInfo   "userId" (the caller):
//       {"data": {"userId", "userName", "icon", "locale", "region",
//                 "userAddresses": [{"address", "verified", "addressType",
//                                    "flags"}]}}
// Address types: 1 phone number, 2 e-mail address; "verified" 1 for a
// verified address; flag bit 2 marks the account's secure address. A
// user's profile is what setProfile stored (table core_profiles), else the
// login name and the account phone (verified, secure).
//
// Ownership and threading as every SignedService; borrows the Store.
// Failures: 403 when "userId" is not the caller, 400 when it is missing,
// 404 for an account that no longer exists; setProfile refuses (false,
// with a reason) what the reply could not carry.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "server/services/SignedEndpoints.h"
#include "server/storage/Store.h"

namespace localcloud {

class CoreInfoService : public SignedService {
 public:
  static constexpr const char* kServiceId = "passportapi";
  static constexpr const char* kPath = "/pass/v2/safe/user/coreInfo";
  static constexpr std::size_t kMaxAddresses = 32;
  static constexpr std::size_t kMaxTextLength = 256;

  explicit CoreInfoService(Store& store);
  void registerOn(SignedEndpoints& endpoints) override;

  // Stores the profile of an existing account: an object with optional
  // texts "userName", "icon", "locale", "region" and an optional list
  // "userAddresses" of objects with a non-empty "address" text, "verified"
  // 0 or 1, "addressType" and "flags" (whole numbers, flags not negative).
  bool setProfile(std::int64_t userId, const nlohmann::json& profile, std::string* error = nullptr);

 private:
  SignedReply coreInfo(const SignedRequest& req);

  Store& store_;
};

}  // namespace localcloud
