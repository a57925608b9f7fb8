// The process-wide contact and group sync adapter. On top of the adapter
// base (task queue, flags, signed requests through the request loop, host
// list) it owns the contacts record store and its report delegate, and
// syncs the address book's synced source with the cloud in both directions:
//
//  - the cloud contact service's requests: one page of changed records
//    from a sync tag, one change alone, a batch of changes (one request
//    rule: not signed in is -10001 without a send; at most four sends under
//    the retry rule; redirects followed without using a send; the batch
//    takes at least 0.4 s per send, measured on the clock);
//  - loading every changed cloud record since the stored watermark into the
//    store (pages of 200, starting again when the cloud answers 52000; the
//    new watermark is stored with the records, never before them);
//  - the estimate of a sync (LMContactSyncEstimate keys);
//  - the full run: groups first, then contacts (reconciliation, pushes in
//    batches of 5, cloud changes written into the address book), then the
//    groups' member lists; counts and progress to the delegate.
//
// Photo files are not moved by this adapter: a contact's photo ids pass
// through unchanged.
//
// Ownership: sharedAdapter() lives for the process (tests may make their
// own). The adapter owns its store (made on first use); the delegate is held
// weakly. Threading: every operation but the accessors blocks its thread on
// the network and waits for the main thread for its reports: run them on
// the task queue (performTaskBlock) or another worker, never on the main
// thread. One sync at a time: the caller queues them on the task queue.
// Failures: requests return their last operation (error() / result());
// the load, estimate and phases return or report a platform::Error;
// nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cloud/lumora/LMAdapterMembers.h"
#include "cloud/lumora/LMContactOperation.h"
#include "cloud/lumora/LMContactSyncAdapterDelegate.h"
#include "cloud/lumora/LMSyncAdapter.h"
#include "cloud/modal/LMManagedRecordContext.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/addressbook/AddressBook.h"

namespace lumora {

// Keys of the estimate (estimateSyncChanges).
inline constexpr const char* kLMEstimateLocalKey = "local";                  // local changes found
inline constexpr const char* kLMEstimateLocalPredictKey = "localPredict";    // predicted pushes
inline constexpr const char* kLMEstimateLumoraKey = "lumora";                // cloud changes found
inline constexpr const char* kLMEstimateLumoraPredictKey = "lumoraPredict";  // predicted local writes
inline constexpr const char* kLMEstimateRequestCountKey = "requestCount";
inline constexpr const char* kLMEstimateAddKey = "add";
inline constexpr const char* kLMEstimateModifyKey = "modify";
inline constexpr const char* kLMEstimateDeleteKey = "delete";

class LMContactSyncAdapter : public LMSyncAdapter,
                             public LMAdapterMembers<LMManagedRecordContext, LMContactSyncAdapterDelegate> {
 public:
  // Records per page when no limit is given, and the most the cloud lists.
  static constexpr std::int64_t kDefaultPageLimit = 200;
  static constexpr std::int64_t kMaxPageLimit = 500;
  // A listing that has not ended after this many pages, or that the cloud
  // starts again more often than this, fails instead of going on for ever.
  static constexpr int kMaxListingPages = 1000;
  static constexpr int kMaxListingRestarts = 5;
  // Changes per batch request, and the least time one batch send takes.
  static constexpr std::size_t kBatchSize = 5;
  static constexpr double kBatchMinimumSeconds = 0.4;
  // The cloud's code for a listing that must start again.
  static constexpr std::int64_t kListAgainCode = 52000;

  // Service-host keys (ServiceHosts) of the contact and file services; the
  // preview ones are used with forTest.
  static constexpr const char* kContactHostKey = "contact";
  static constexpr const char* kContactPreviewHostKey = "contactPreview";
  static constexpr const char* kFileHostKey = "file";
  static constexpr const char* kFilePreviewHostKey = "filePreview";

  static std::shared_ptr<LMContactSyncAdapter> sharedAdapter();

  // Requests signed with the sessions of `passports` (nullptr: the shared
  // passports manager).
  explicit LMContactSyncAdapter(std::shared_ptr<QBPassportsManager> passports = nullptr);
  ~LMContactSyncAdapter() override;

  // ---- Members ----
  //
  // context() (the record store, made on its first read), setContext(),
  // delegate(), setDelegate() and notifyDelegate(): LMAdapterMembers.

  // Sends a progress code to the delegate (on the main thread, waiting);
  // nothing when there is no delegate or it has no progress hook.
  void callDelegateProcess(std::int32_t process);

  // The JSON text of the contact's cloud content; nullopt when it cannot be
  // written.
  static std::optional<std::string> relationJsonStringFromContact(const LMContact& contact);
  // Fills a relation row from a cloud contact (recordID, modification time,
  // versions, content text on both sides, photo ids and digest, the
  // photo-failure flag, status "default"). Writes nothing to the store.
  static void relation(LMContactRelation& relation, const LMContact& contact);

  // "http://<host>" of the contact and file services: the release host (or
  // the preview host with forTest), replaced by the host list's entry for it.
  std::string contactURL() const;
  std::string lumFileURL() const;

  // ---- Contact service requests ----

  // One page of the changed records after `syncTag` (nullopt: "0").
  // `syncExtraInfo` is sent only when non-empty; `limit` nullopt or 0 or
  // less sends 200, more than 500 sends 500; `filterTags` are joined with
  // ",". The last operation.
  std::shared_ptr<LMHTTPRequestOperation> requestRecordListWithSyncTag(
      std::optional<std::int64_t> syncTag, const std::optional<std::string>& syncExtraInfo,
      std::optional<std::int64_t> limit, const std::vector<std::int64_t>& filterTags);
  // One change alone ("data" sent as "entry"); nullptr, sending nothing,
  // when the operation has no path.
  std::shared_ptr<LMHTTPRequestOperation> requestRecordOperation(const LMContactOperation& operation);
  std::shared_ptr<LMHTTPRequestOperation> requestRecordOperationWithRecord(std::shared_ptr<LMRecord> record,
                                                                           std::int32_t type);
  // The changes in one batch, in order; nullptr, sending nothing, for none.
  // An operation carrying the JSON writer's error when the batch cannot be
  // written.
  std::shared_ptr<LMHTTPRequestOperation> requestRecordBatchOperations(
      const std::vector<LMContactOperation>& operations);
  // Sends `operations` in batches of kBatchSize, in order: `beforeBatch`
  // (may be empty) before each request, then `take` with each operation and
  // its reply item. The first failure ends it (later batches are not sent,
  // the rest of the batch's items are not taken): a request error, a reply
  // that does not answer every change, an item whose code is not 0.
  using TakeItem = std::function<void(const LMContactOperation& operation, const platform::Json& item)>;
  platform::Status pushInBatches(const std::vector<LMContactOperation>& operations,
                                 const std::function<void()>& beforeBatch, const TakeItem& take);

  // ---- Loading changed cloud records ----

  using RecordsSuccess =
      std::function<void(std::int64_t syncTag, const std::string& syncExtraInfo, std::vector<LMContact> contacts,
                         std::vector<LMGroup> groups, bool resync)>;
  using Failure = std::function<void(const platform::Error& error)>;

  // Pages through every changed record after the watermark and calls one of
  // the blocks before returning: success with the new watermark and the
  // records (a later page's version of a record replaces an earlier one),
  // and whether they are the whole cloud (a start from scratch or a
  // restart); or fail. No extra info starts from scratch.
  void requestLumoraRecordsWithSync(std::optional<std::int64_t> syncTag,
                                    const std::optional<std::string>& syncExtraInfo, const RecordsSuccess& success,
                                    const Failure& fail);
  // Lists from the stored watermark and records the result in the store
  // (rows and the new watermark together); then `success`, or `fail` with
  // the listing's or the store's error.
  void loadLumoraChangedRecords(const std::function<void()>& success, const Failure& fail);

  // ---- Estimate ----

  // What a sync would do with the contacts, after the cloud changes were
  // loaded: {"local", "localPredict", "lumora", "lumoraPredict"} each
  // {"add", "modify", "delete"} counts, and "requestCount". Sends nothing,
  // changes nothing; the store's change sets are cleared afterwards.
  platform::Result<platform::Json> estimateSyncChanges(platform::addressbook::AddressBook* addressBook,
                                                       const platform::addressbook::Record& source);

  // ---- Sync ----

  // The group phase: success or the error that ended it.
  platform::Status synchronizeGroups();
  // The contact phase; `completion` (may be empty) runs once on this thread
  // with (records added to the cloud minus records deleted from it, whether
  // a pushed record came back with a group unknown here, the outcome).
  using ContactsCompletion = std::function<void(std::int64_t count, bool mismatch, const platform::Status& result)>;
  void synchronizeContacts(const ContactsCompletion& completion);
  // One full run, after loadLumoraChangedRecords: groups, contacts, member
  // lists. The outcome reaches the delegate only.
  void synchronizeAllRecords();

  // Opens an address book handle for a phase (nullptr when access is
  // refused).
  static std::shared_ptr<platform::addressbook::AddressBook> openAddressBook();
  // The invalid-source error -10007, logged.
  static platform::Error invalidSourceError();

 protected:
  // The not yet started operation of one send; tests replace it.
  virtual std::shared_ptr<LMHTTPRequestOperation> operationWithMethod(const std::string& method,
                                                                      const std::string& URLString,
                                                                      const platform::Json& parameters);

 private:
  // The request rule over one request: -10001 without a signed-in user;
  // otherwise the loop, each send taking at least `minimumSeconds`.
  std::shared_ptr<LMHTTPRequestOperation> sendContactRequest(const std::string& method, const std::string& path,
                                                             const platform::Json& parameters,
                                                             double minimumSeconds);
  std::optional<std::string> signedInUserId() const;
};

}  // namespace lumora
