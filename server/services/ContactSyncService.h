// The contact service's listing and batch paths (service id "lumora"),
// over the signed-request layer, and its admin calls:
//   GET  /lum/contact/v3/user/{userId}/full
//        "syncTag" (decimal, required), "syncExtraInfo" (the text handed
//        out with that tag; left out when starting from scratch), "limit"
//        (1 to 500, default 200), "filterTag" (decimal tags joined by ",":
//        records at those tags, versions the caller already holds, are
//        left out). Data: {"entries": [{"type", "content"}], "lastPage",
//        "syncTag", "syncExtraInfo"}; code 52000 with data {"syncTag": 0,
//        "syncExtraInfo"} when the tag cannot be placed in the change log
//        (ContactChangeLog): the listing starts again.
//   POST /lum/contact/v3/user/{userId}/full/batch
//        "batchContent": a JSON array of {"path", "params"}, each a change
//        of the single-change paths (ContactService) with that path's
//        parameters as text values. All are applied in one transaction and
//        answered in order: data {"list": [{"code", "description",
//        "data"}]}, one result per operation, "data" the record as the
//        cloud holds it after it. A stale tag is answered as on the single
//        path (code 0, the cloud's record); a malformed operation or an
//        unknown id gets its own code without stopping the others. A
//        malformed batch (not an array, empty, too long, an item without a
//        contact change path or with params that are not texts) is refused
//        whole (400), one whose path names another user too (403).
// Admin (JSON, as another device would edit the cloud's records):
//   POST /_admin/contacts {"userId", "op": "add"/"modify"/"delete", "type",
//        "content", "id", "tag" (the version meant), "purge"} ->
//        {"ok", "outcome": "applied"/"kept", "record"}
//   GET  /_admin/contacts?userId=N -> {"ok", "records": [...]} by id.
//
// Ownership and threading as every SignedService; borrows the ContactStore
// and the ContactChangeLog. Failures: coded replies; nothing throws.
#pragma once

#include <httplib.h>

#include "server/storage/ContactChangeLog.h"
#include "server/storage/ContactStore.h"
#include "server/services/SignedEndpoints.h"

namespace localcloud {

class ContactSyncService : public SignedService {
 public:
  static constexpr const char* kListPath = "/lum/contact/v3/user/{userId}/full";
  static constexpr const char* kBatchPath = "/lum/contact/v3/user/{userId}/full/batch";
  static constexpr std::size_t kMaxBatch = 50;
  static constexpr std::size_t kMaxBatchText = 4 * 1024 * 1024;

  ContactSyncService(ContactStore& contacts, ContactChangeLog& log)
      : contacts_(contacts), log_(log) {}
  void registerOn(SignedEndpoints& endpoints) override;
  // The admin calls, on the server that answers "/_admin/...".
  void registerAdminOn(httplib::Server& server);

 private:
  SignedReply list(const SignedRequest& req);
  SignedReply batch(const SignedRequest& req);

  ContactStore& contacts_;
  ContactChangeLog& log_;
};

}  // namespace localcloud
