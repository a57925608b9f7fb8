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
// Ownership: owned by the CloudServer; borrows the ContactStore. Threading:
// stateless, handlers run concurrently. Failures: replies with code 400
// (malformed record), 404 (unknown id) or 500 (storage failure).
#pragma once

#include "server/ContactStore.h"
#include "server/SignedEndpoints.h"

namespace localcloud {

class ContactService {
 public:
  static constexpr const char* kServiceId = "lumora";
  static constexpr const char* kBasePath = "/lum/contact/v2/user/{userId}/full";

  explicit ContactService(ContactStore& contacts);
  void registerOn(SignedEndpoints& endpoints);

  SignedReply add(const SignedRequest& req);
  SignedReply modify(const SignedRequest& req);
  SignedReply remove(const SignedRequest& req);

 private:
  ContactStore& contacts_;
};

}  // namespace localcloud
