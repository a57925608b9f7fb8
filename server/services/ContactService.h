// Single contact and group changes of the contact service (service id
// "lumora"), over the signed-request layer:
//   POST /lum/contact/v2/user/{userId}/full             add
//   POST /lum/contact/v2/user/{userId}/full/{id}        modify
//   POST /lum/contact/v2/user/{userId}/full/{id}/delete delete
// Parameters: "entry" (or "data"), the record as {"type": "contact" or
// "group", "content": {...}} and, for an add, its "mark" (the sender's
// name for the add, a text) and "resent" (true when the sender sent the add
// before); "ckey" (add, modify); "purge" "0"/"1"
// (delete). The reply's "data" is the record as the cloud now holds it, in
// the same form, with "id", "tag" and "status". The batch path
// (ContactSyncService) reads its operations with the same rules.
//
// Ownership and threading as every SignedService; borrows the ContactStore.
// Failures: code 400 (malformed record), 404 (unknown id), 507 (the user's
// record limit is reached), 500 (storage).
#pragma once

#include <map>
#include <string>
#include <variant>

#include "server/storage/ContactStore.h"
#include "server/services/SignedEndpoints.h"

namespace localcloud {

class ContactService : public SignedService {
 public:
  static constexpr const char* kServiceId = "lumora";
  static constexpr const char* kBasePath = "/lum/contact/v2/user/{userId}/full";
  // Bounds of one record: the entry's text, and its content written compactly.
  static constexpr std::size_t kMaxEntryText = 256 * 1024;
  static constexpr std::size_t kMaxContentBytes = 64 * 1024;
  static constexpr std::size_t kMaxMarkBytes = 128;  // an add's mark, counted in bytes
  // Reply code of an add past the user's record limit.
  static constexpr int kStorageFull = 507;

  explicit ContactService(ContactStore& contacts) : contacts_(contacts) {}
  void registerOn(SignedEndpoints& endpoints) override;

  // The operation that a change's parameters describe: `kind` and `idText`
  // (the record id of a modify or delete) come from its path, `device` is
  // the sending device (SignedRequest::device). A 400 reply when they are
  // malformed.
  static std::variant<ContactOperation, SignedReply> operation(
      ContactOperation::Kind kind, const std::string& idText,
      const std::map<std::string, std::string>& params, const std::string& device);
  // The reply to one change.
  static SignedReply reply(const ContactStore::Change& change);

 private:
  SignedReply change(ContactOperation::Kind kind, const SignedRequest& req);

  ContactStore& contacts_;
};

}  // namespace localcloud
