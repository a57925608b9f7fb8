// Single contact and group changes of the contact service (service id
// "lumora"), over the signed-request layer:
//   POST /lum/contact/v2/user/{userId}/full             add
//   POST /lum/contact/v2/user/{userId}/full/{id}        modify
//   POST /lum/contact/v2/user/{userId}/full/{id}/delete delete
// Parameters: "entry" (or "data"), the record as {"type": "contact" or
// "group", "content": {...}}; "ckey" (add, modify); "purge" "0"/"1"
// (delete). The reply's "data" is the record as the cloud now holds it, in
// the same form, with "id", "tag" and "status".
//
// Ownership and threading as every SignedService; borrows the ContactStore.
// Failures: code 400 (malformed record), 404 (unknown id), 500 (storage).
#pragma once

#include "server/ContactStore.h"
#include "server/SignedEndpoints.h"

namespace localcloud {

class ContactService : public SignedService {
 public:
  static constexpr const char* kServiceId = "lumora";
  static constexpr const char* kBasePath = "/lum/contact/v2/user/{userId}/full";

  explicit ContactService(ContactStore& contacts) : contacts_(contacts) {}
  void registerOn(SignedEndpoints& endpoints) override;

 private:
  SignedReply add(const SignedRequest& req);
  SignedReply modify(const SignedRequest& req);
  SignedReply remove(const SignedRequest& req);

  ContactStore& contacts_;
};

}  // namespace localcloud
