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
//  - the full run: groups first, then contacts (reconciliation, photos,
//    pushes in batches of 5, cloud changes written into the address book),
//    then the groups' member lists; counts and progress to the delegate;
//  - contact photo files: uploads in RC4-encrypted chunks of 4 MiB after a
//    look-up by digest (the same content is never sent twice), downloads
//    through a temporary link ("mfs") or the block storage ("kss"), each
//    checked against its SHA-1; every file request takes at least 0.15 s.
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

#include "cloud/sync/LMAdapterMembers.h"
#include "cloud/sync/LMContactOperation.h"
#include "cloud/sync/LMContactSyncAdapterDelegate.h"
#include "cloud/sync/LMListingBounds.h"
#include "cloud/sync/LMSyncAdapter.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "platform/Bytes.h"
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
  // The bounds of one listing (LMListingBounds): pages, restarts, and the
  // most its records may hold; past any of them the load fails.
  static constexpr int kMaxListingPages = LMListingBounds::kMaxPages;
  static constexpr int kMaxListingRestarts = LMListingBounds::kMaxRestarts;
  static constexpr std::size_t kMaxListingBytes = LMListingBounds::kMaxBytes;
  // Changes per batch request, and the least time one batch send takes.
  static constexpr std::size_t kBatchSize = 5;
  static constexpr double kBatchMinimumSeconds = 0.4;
  // The cloud's code for a listing that must start again.
  static constexpr std::int64_t kListAgainCode = LMListingBounds::kListAgainCode;

  // Contact photo files: the file type every request names, the chunk size,
  // the size from which a photo is refused (with kPhotoTooLargeCode in the
  // server domain), and the least time one file request takes.
  static constexpr const char* kFileType = "ico";
  static constexpr std::size_t kPhotoChunkSize = 4 * 1024 * 1024;
  static constexpr std::uint64_t kPhotoSizeLimit = 20 * 1024 * 1024;
  static constexpr std::int64_t kPhotoTooLargeCode = 80004;
  static constexpr double kFileMinimumSeconds = 0.15;

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
  // (may be empty) with each batch before its request, then `take` with
  // each operation and its reply item. The first failure ends it (later
  // batches are not sent, the rest of the batch's items are not taken):
  // `beforeBatch` failing (the batch is not sent), a request error, a reply
  // that does not answer every change, an item whose code is not 0.
  // A confirmation that cannot be taken (its store read failed) ends the push.
  using BeforeBatch = std::function<platform::Status(const std::vector<LMContactOperation>& batch)>;
  using TakeItem = std::function<platform::Status(const LMContactOperation& operation, const platform::Json& item)>;
  platform::Status pushInBatches(const std::vector<LMContactOperation>& operations, const BeforeBatch& beforeBatch,
                                 const TakeItem& take);

  // ---- File service requests ----
  //
  // Each follows the request rule above with at least kFileMinimumSeconds
  // per send and returns the last operation.

  // One file part of a multipart request.
  struct FilePart {
    std::string name;
    std::string fileName;
    std::string mimeType;
    platform::Bytes data;
  };

  // The description of a stored file (GET, "fileId", "retry": `retry` (0
  // when none) on the first send, one more on each further send).
  std::shared_ptr<LMHTTPRequestOperation> requestFileDownloadURLWithFileID(const std::string& fileId,
                                                                           std::optional<std::int64_t> retry);
  // The first chunk of an upload, RC4-encrypted under a key made for the
  // request ("ckeyhint"), as the file part "uploadfile0" named "tmp<ext>";
  // "st" "2" for the last chunk (which also carries "ext" and "digest"),
  // else "1". nullptr, sending nothing, for a last chunk without ext or
  // digest.
  std::shared_ptr<LMHTTPRequestOperation> requestUploadFileFirstChunkData(const platform::Bytes& chunk,
                                                                          const std::optional<std::string>& ext,
                                                                          const std::optional<std::string>& digest,
                                                                          bool isLast);
  // A further chunk at `offset` of the upload "tmpid" on "_hostingserver"
  // (sent in clear); "ext" and "digest" when given.
  std::shared_ptr<LMHTTPRequestOperation> requestUploadFileOtherChunkData(
      const platform::Bytes& chunk, const std::string& tmpId, const std::string& serverId, std::uint64_t offset,
      const std::optional<std::string>& ext, const std::optional<std::string>& digest, bool isLast);
  // Whether the cloud holds a file of this content ("data" {"fileId"}).
  std::shared_ptr<LMHTTPRequestOperation> requestFileExistenceWithDigest(const std::string& digest);

  // ---- Contact photos ----
  //
  // Each calls its blocks on this thread before it returns.

  // (file id, digest, bytes written into the person, error): exactly once
  // when called at all.
  using PhotoUploadFinish =
      std::function<void(const std::optional<std::string>& fileId, const std::optional<std::string>& digest,
                         std::uint64_t byteCount, const std::optional<platform::Error>& error)>;
  using PhotoUploadSuccess = std::function<void(std::uint64_t byteCount)>;
  // (data, unchanged): unchanged without data when the stored photo has the
  // digest asked about.
  using PhotoDownloadSuccess = std::function<void(const std::optional<platform::Bytes>& data, bool unchanged)>;
  using Failure = std::function<void(const platform::Error& error)>;

  // Uploads a person's picture (the thumbnail with `isThumbnail`). A
  // picture shown turned is sent upright, and one of a type other than
  // JPEG, PNG or GIF as JPEG; the new data is written into the person (not
  // saved) and counted. A thumbnail that would need that sends nothing and
  // calls nothing. Without a picture: finish with nothing. A picture that
  // cannot be encoded (the image error) or of kPhotoSizeLimit bytes or more
  // (kPhotoTooLargeCode, with the contact) is refused without a request.
  // Content the cloud holds already is not sent again.
  void requestUploadPhotoWithContact(platform::addressbook::Record person, bool isThumbnail,
                                     const PhotoUploadFinish& finish);
  // Uploads the picture of the contact's person when its digest differs
  // from the contact's photoDigest (and then the thumbnail, when the
  // contact has a thumbnail id), and sets the contact's photo ids and
  // digest; success with the bytes written into the person. A person
  // without a picture clears the contact's photo ids and digest; an
  // unchanged picture keeps them; neither calls a block. A contact without
  // a person: -10002. A failed upload fails with its error and the contact
  // ("contact" in the details); the contact's photo ids stay as they were
  // and its digest is cleared.
  void requestUploadPhotoWithContact(LMContact& contact, platform::addressbook::AddressBook* addressBook,
                                     const PhotoUploadSuccess& success, const Failure& fail);
  // Downloads a stored photo by file id through its description: the
  // temporary link ("mfs") or the block storage ("kss"). A `digest` equal
  // to the stored file's SHA-1 answers unchanged without fetching it.
  void requestDownloadContactPhotoWithFileID(const std::string& fileId, const std::optional<std::string>& digest,
                                             const PhotoDownloadSuccess& success, const Failure& fail);
  // Fetches "tmpUrl" (plain GET), decrypts it under the hex "ckey" when
  // there is one and checks it against "fileSha1"; a missing link or
  // SHA-1, a mismatch or a ckey that is not hex is the download failure
  // (101).
  void requestDownloadContactPhotoWithMfs(const platform::Json& mfs,
                                          const std::function<void(platform::Bytes data)>& success,
                                          const Failure& fail);
  // A photo that can never be sent: too large, or not a picture that can be
  // encoded. The contact phase keeps such a photo here only.
  static bool isRefusedPhotoError(const platform::Error& error);

  // ---- Loading changed cloud records ----

  using RecordsSuccess =
      std::function<void(std::int64_t syncTag, const std::string& syncExtraInfo, std::vector<LMContact> contacts,
                         std::vector<LMGroup> groups, bool resync)>;

  // Pages through every changed record after the watermark and calls one of
  // the blocks before returning: success with the new watermark and the
  // records (a later page's version of a record replaces an earlier one),
  // and whether they are the whole cloud (a start from scratch or a
  // restart); or fail. No extra info starts from scratch, and so does a
  // watermark the cloud refuses to read. A page whose tag the cloud could
  // not be sent back is malformed (LMListingBounds).
  void requestLumoraRecordsWithSync(std::optional<std::int64_t> syncTag,
                                    const std::optional<std::string>& syncExtraInfo, const RecordsSuccess& success,
                                    const Failure& fail);
  // Lists from the stored watermark and records the result in the store
  // (rows and the new watermark together); then `success`, or `fail` with
  // the listing's or the store's error. Rows made against an address book
  // that was replaced since are cleared first, so that the sync is a first
  // one (LMManagedRecordContext::startOverIfAddressBookReplaced).
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
  // The not yet started operation of one send; tests replace them.
  virtual std::shared_ptr<LMHTTPRequestOperation> operationWithMethod(const std::string& method,
                                                                      const std::string& URLString,
                                                                      const platform::Json& parameters);
  // A multipart POST: the signed parameters in the query, `part` the body.
  virtual std::shared_ptr<LMHTTPRequestOperation> multipartOperationWithURL(const std::string& URLString,
                                                                            const platform::Json& parameters,
                                                                            const FilePart& part);

 private:
  // The request rule over one request: the loop over operations made by
  // `make`, each send taking at least `minimumSeconds`.
  std::shared_ptr<LMHTTPRequestOperation> sendPaced(const OperationFactory& make, double minimumSeconds);
  std::shared_ptr<LMHTTPRequestOperation> sendContactRequest(const std::string& method, const std::string& path,
                                                             const platform::Json& parameters,
                                                             double minimumSeconds);
  // A chunk request ("/full" or "/full/more"): the chunk encrypted under a
  // key of its own, the hint among the parameters.
  std::shared_ptr<LMHTTPRequestOperation> sendChunk(const std::string& path, platform::Json parameters,
                                                    const platform::Bytes& chunk, const std::string& ext);
  std::optional<std::string> signedInUserId() const;
  // An operation carrying -10001 (logged), for a request without a user.
  static std::shared_ptr<LMHTTPRequestOperation> notSignedIn();
};

}  // namespace lumora
