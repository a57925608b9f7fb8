// One contact phase of a sync (LMContactSyncAdapter::synchronizeContacts):
// finds the local contact changes of the synced source, takes the cloud
// changes the store has sorted, reconciles the two (contacts added on both
// sides paired, group-membership changes, a change on one side against a
// deletion on the other, deletions on both sides), pushes the local changes
// in batches of five, writes the cloud changes into the address book and
// brings the relation rows up to date.
//
// Nothing is lost when it stops half-way: relation rows are written only
// for changes the cloud confirmed or the address book saved, all in one
// batch after the address book was saved; a change whose row is not written
// is found again by the next sync.
//
// Photos: a changed picture is uploaded before its contact is pushed; the
// cloud's pictures are downloaded into the people they belong to. A photo
// the cloud refuses (too large, or no picture that can be encoded) stays
// here only, remembered by its digest so that later syncs neither try it
// again nor replace it with the cloud's older one. A download that fails
// for a while keeps the cloud's photo ids and marks the contact, so the next
// sync fetches it again and a push never drops the cloud's photo.
//
// Ownership: made and run once per phase by the adapter, which outlives it;
// it owns its address book handle and working values. Threading: the
// adapter's task thread only. Failures: run() returns the first error;
// nothing throws.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/sync/LMContactOperation.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/addressbook/AddressBook.h"

namespace lumora {

class LMContactSyncAdapter;

class LMContactSyncPhase {
 public:
  struct Outcome {
    std::int64_t count = 0;  // added to the cloud minus deleted from it; 0 on failure
    bool mismatch = false;   // a pushed record came back with a group unknown here
    platform::Status result;
  };

  explicit LMContactSyncPhase(LMContactSyncAdapter& adapter);
  Outcome run();

  // Saves taken while writing: every 21 records, or once 5 MiB of photo
  // data is pending.
  static constexpr std::uint32_t kRecordsPerSave = 20;
  static constexpr std::uint64_t kBytesPerSave = 0x500000;

 private:
  using Membership = std::map<std::int32_t, std::set<std::int32_t>>;

  // Reconciliation, up to the list of operations to push.
  platform::Status reconcile();
  // Adds sent by an earlier sync whose rows were never written (the reply
  // was lost, or the sync stopped before): each is sent again as it went,
  // and the record the cloud answers with is the one it made. The person
  // still here pairs with it (a record deleted in the cloud deletes the
  // person when it is unchanged since; an edited one goes up again as a
  // new record); a person deleted here since deletes the record. An add
  // made in a book that was replaced since belongs to that book: the
  // person now under its id pairs with it only when it is the person the
  // add carried; anyone else is new here, and so is the record the add
  // made, when the cloud keeps it. So does an add whose book is not known
  // (LMManagedRecordContext::giveBooklessPendingContactAddsTheBook found
  // none recorded): it may have been made in a book replaced since.
  platform::Status settleAddsInFlight();
  platform::Status settleAddInFlight(const LMContactOperation& resent, const platform::Json& item,
                                     bool madeInAnotherBook);
  // Whether `record` (as the cloud reads it) holds the person `local` as
  // it is here: its fields and photo (sameFields), and its groups.
  platform::Result<bool> sameAsHere(const LMContact& record, const LMContact& local);
  static bool sameFields(const LMContact& record, const LMContact& local);
  void pairAddedOnBothSides();
  // The two records are one: the local contact goes up as a change of the
  // cloud's record (merged first with `merge`); both leave the adds.
  void pairUp(std::map<std::int64_t, LMContact>::iterator cloud, std::map<std::int32_t, LMContact>::iterator local,
              bool merge);
  void linkPair(LMContact& cloud, LMContact& local);
  void loadGroupChanges();
  platform::Status loadGroupOnlyChange(std::int32_t recordID);
  platform::Status settleLocalModifiesDeletedInCloud();
  void settleCloudModifiesDeletedHere();
  void settleDeletedOnBothSides();
  platform::Status buildOperations();
  // Group record ids of `recordID` now, as the contact's groupIDs.
  std::set<std::int64_t> currentGroupsOf(std::int32_t recordID) const;

  // Photos of local contacts, before they are pushed.
  platform::Status uploadPhoto(LMContact& contact);
  platform::Status preparePhoto(LMContact& contact);
  platform::Status saveAfterPhotoBytes();
  // Writes the cloud's photo of `cloud` into `person`, whose picture has
  // `localDigest` (none for a new person): whether the picture changed.
  // `knownDigest` is what this device holds for the cloud's photo as it
  // stands (pushed now, or unchanged since the last sync); equal to the
  // local digest, nothing moves. A photo that cannot be fetched is skipped
  // and reported; only an error that ends the sync fails it.
  platform::Result<bool> applyCloudPhoto(LMContact& cloud, platform::addressbook::Record& person,
                                         const std::optional<std::string>& localDigest,
                                         const std::optional<std::string>& knownDigest);
  // The cloud file id of a contact's photo (else of its thumbnail).
  static std::optional<std::string> photoFileIdOf(const LMContact& contact);
  // The SHA-1 of a person's picture; none without one.
  static std::optional<std::string> pictureDigestOf(const platform::addressbook::Record& person);
  static platform::Error addressBookFailure(const platform::Error& error);
  // Whether a request's error stops the whole sync (a cancel, a lost
  // sign-in) rather than the one thing asked for.
  static bool endsTheSync(const platform::Error& error);

  // Pushing the operations and taking in the confirmations.
  platform::Status push();
  platform::Status recordAddsInFlight(const std::vector<LMContactOperation>& batch);
  platform::Status takeConfirmation(const LMContactOperation& operation, const platform::Json& item);
  platform::Result<bool> groupsKnownHere(const LMContact& cloud);
  // The cloud deleted `serverID`: the person `recordID` is deleted here.
  void deleteHere(std::int64_t serverID, std::optional<std::int32_t> recordID);

  // Writing the cloud changes, the rows, and the reports.
  platform::Status apply();
  platform::Status applyCloudAdds();
  platform::Status applyCloudModifies();
  platform::Status applyCloudDeletes();
  platform::Status applyGroups(const LMContact& cloud, const platform::addressbook::Record& person, bool& changed);
  platform::Status saveAtCadence();
  platform::Status writeRelations();

  LMContactSyncAdapter& adapter_;
  std::shared_ptr<LMManagedRecordContext> store_;
  std::shared_ptr<platform::addressbook::AddressBook> book_;
  // The book's own mark (AddressBook::storeMark); none when it cannot be
  // read.
  std::optional<std::string> bookMark_;
  platform::addressbook::Record source_;

  std::map<std::int32_t, LMContact> localAdds_;
  std::map<std::int32_t, LMContact> localModifies_;
  std::map<std::int32_t, LMContactRelation> localDeletes_;
  std::map<std::int64_t, LMContact> cloudAdds_;
  std::map<std::int64_t, LMContact> cloudModifies_;
  std::map<std::int64_t, LMContactRelation> cloudDeletes_;

  Membership storedMembership_;
  Membership currentMembership_;
  std::set<std::int32_t> groupOnly_;

  std::vector<LMContactOperation> operations_;
  std::vector<LMContactRelation> newRelations_;
  std::vector<LMContactRelation> updatedRelations_;
  std::vector<LMContactRelation> deletedRelations_;

  // Persons written for the cloud adds and modifies, by cloud id.
  std::vector<std::pair<std::int64_t, platform::addressbook::Record>> addedPersons_;
  std::vector<std::pair<std::int64_t, platform::addressbook::Record>> modifiedPersons_;

  std::uint64_t byteCounter_ = 0;
  std::uint32_t recordCounter_ = 0;
  std::uint64_t pushedAdds_ = 0;
  std::uint64_t pushedModifies_ = 0;
  std::uint64_t pushedDeletes_ = 0;
  std::uint64_t localModifyCount_ = 0;
  bool mismatch_ = false;
};

}  // namespace lumora
