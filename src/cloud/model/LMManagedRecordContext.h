// The contacts record store. It keeps one relation row per cloud contact and
// cloud group that the device knows (tables SyncContact and SyncGroup of
// "lumora.db" in Documents), the contacts watermark in user defaults, and the
// helpers through which the sync and the screens reach the address book.
//
// Ownership: the contact sync adapter owns one store; the screens reach it
// through the adapter. The store owns its database connection and queue.
// Threading: all SQL runs through the store's one database queue, one
// statement block at a time (on the calling thread unless queued work is
// waiting); every operation waits for its block. The paths,
// the database handle and the watermark cache are guarded by a lock, so the
// adapter's task queue and the main thread may both call in. The change maps
// and the group snapshot are not locked: the adapter fills, reads and clears
// them from its task queue, one task at a time. Address-book handles are the
// caller's and are used on the caller's thread only.
// Failures: row writes report failure as false, single-row look-ups as
// nullopt (SQLite's message is logged); whole-table reads, change detection,
// batches, recording cloud changes and address-book writes return the
// database or converted platform error. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/model/LMContact.h"
#include "cloud/model/LMContactRelation.h"
#include "cloud/model/LMGroup.h"
#include "cloud/model/LMGroupRelation.h"
#include "cloud/model/LMManagedRecordContextDatabase.h"
#include "cloud/model/LMMergeManagedObject.h"
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbook/Record.h"

namespace lumora {

// Names of the store's tables and columns, and its persistent keys.
inline constexpr const char* kLMSyncGroupTable = "SyncGroup";
inline constexpr const char* kLMSyncContactTable = "SyncContact";
// Contacts whose add was sent before their row was written.
inline constexpr const char* kLMPendingContactAddTable = "PendingContactAdd";

// An add in flight: the cloud content it was sent with (JSON text), its
// mark (none when it was recorded before adds had one), and the mark of the
// address book the person was read from (AddressBook::storeMark; none when
// it was recorded before adds kept it, or the book's mark could not be read).
struct LMPendingContactAdd {
  std::string content;
  std::optional<std::string> mark;
  std::optional<std::string> book;
  bool operator==(const LMPendingContactAdd&) const = default;
};
using LMPendingContactAdds = std::map<std::int32_t, LMPendingContactAdd>;
inline constexpr const char* kLMDatabaseFileName = "lumora.db";
inline constexpr const char* kLMSyncGroupsFileName = "syncGroups.data";
inline constexpr const char* kLMDatabaseVersionKey = "LMDBLastVersion";
inline constexpr const char* kLMServerSyncKey = "LumoraServerSync";
// Set while the adds in flight of a damaged store may be lost (see
// addsInFlightMayBeLost()).
inline constexpr const char* kLMAddsInFlightMayBeLostKey = "LMAddsInFlightMayBeLost";
inline constexpr const char* kLMServerSyncExtraInfoKey = "LumoraServerSyncExtraInfo";
// The mark of the address book the rows were made against.
inline constexpr const char* kLMAddressBookMarkKey = "LumoraAddressBookMark";
// Schema version of lumora.db; a file recorded with a lower one is replaced.
inline constexpr double kLMDatabaseVersion = 4.0;

// Kinds of address-book source (LMManagedRecordContext::sourceType).
inline constexpr int kLMSourceTypeOther = 0;  // any other source, or none
inline constexpr int kLMSourceTypeCard = 1;   // the account source named "Card"
inline constexpr int kLMSourceTypeLocal = 2;  // the device's local source (id 0)

class LMManagedRecordContext {
 public:
  // Opens the store: a database file recorded with a schema version below
  // kLMDatabaseVersion is dropped together with the group snapshot and the
  // watermark, and a missing file is created with both tables. A file of the
  // current version that cannot be read (not a database, empty, a damaged
  // page, without the tables, or not a plain file) is moved aside
  // ("lumora.db.unreadable-<time>") and made again; so is one that a
  // statement finds damaged later, once that statement's block is done. A
  // store made anew starts without a watermark (the group snapshot emptied
  // too), so the next sync is a first one. On the main
  // thread the tables are created on the database queue after the constructor
  // returns (ahead of any later statement); elsewhere before it returns.
  LMManagedRecordContext();
  ~LMManagedRecordContext();
  LMManagedRecordContext(const LMManagedRecordContext&) = delete;
  LMManagedRecordContext& operator=(const LMManagedRecordContext&) = delete;

  // ---- Store life and paths ----

  // Documents/"lumora.db" unless set. Setting it affects only a database
  // queue that is not open yet.
  std::string databaseFilePath();
  void setDatabaseFilePath(std::string path);
  // Documents/"syncGroups.data" unless set.
  std::string localSyncGroupPath();
  void setLocalSyncGroupPath(std::string path);

  // The database queue on databaseFilePath(), opened on first use (read-write,
  // created when missing); nullptr while the file cannot be opened.
  LMManagedRecordContextDatabase* databaseQueue();
  // Creates both tables in one transaction; false when the queue cannot be
  // made or a table cannot be created.
  bool createDatabase();

  // ---- Rows ----

  // Whole-table reads: a read that fails is the database error, never an
  // empty table.
  platform::Result<std::vector<LMGroupRelation>> searchAllGroupRelations();
  // Rows whose status is not "default".
  platform::Result<std::vector<LMGroupRelation>> searchAllUnsyncGroupRelations();
  platform::Result<std::vector<LMContactRelation>> searchAllContactRelations();
  platform::Result<std::vector<LMContactRelation>> searchAllUnsyncContactRelations();
  // Rows whose photo failed, by record id (a later row with the same record id
  // replaces an earlier one; rows without a record id are left out).
  platform::Result<std::map<std::int32_t, LMContactRelation>> searchAllPhotoFailRelations();

  // The first row with that id; none for a nullopt id or no row. A read
  // that fails is the store's error, never "no row".
  platform::Result<std::optional<LMGroupRelation>> searchGroupRelationByRecordID(std::optional<std::int32_t> recordID);
  platform::Result<std::optional<LMContactRelation>> searchContactRelationByRecordID(
      std::optional<std::int32_t> recordID);
  platform::Result<std::optional<LMGroupRelation>> searchGroupRelationByServerID(std::optional<std::int64_t> serverID);
  platform::Result<std::optional<LMContactRelation>> searchContactRelationByServerID(
      std::optional<std::int64_t> serverID);

  // Insert / update require serverID and serverSync; delete requires serverID.
  // An insert whose serverID already has a row fails and leaves that row.
  // Before writing a contact row, a missing localRecordSync becomes 0.0 and a
  // missing isPhotoFail false, in `relation` itself.
  bool addGroupRelation(const LMGroupRelation& relation);
  bool addContactRelation(LMContactRelation& relation);
  bool updateGroupRelation(const LMGroupRelation& relation);
  bool updateContactRelation(LMContactRelation& relation);
  bool deleteGroupRelation(const LMGroupRelation& relation);
  bool deleteContactRelation(const LMContactRelation& relation);
  // Empties SyncGroup, then (only when that worked) SyncContact.
  bool deleteAllRelations();
  // Contact rows whose status is not "deleted": the number of cloud contacts.
  std::int64_t serverContactNum();

  // Whether `addressBook` is the book the rows were made against. It is not
  // when its mark (AddressBook::storeMark) differs from the one recorded
  // with the rows, or, for rows from before marks were recorded, when a
  // person holds the record id of a row but was made after that row's last
  // sync: the book was replaced and its ids started over, so rows that find
  // no person, or a stranger, say nothing of what the user deleted or
  // changed. Then all sync data is cleared (clearSynchronousData), so that
  // the next sync is a first one, and the new mark is recorded. Before
  // that, adds in flight recorded without their book's mark take the mark
  // recorded (see giveBooklessPendingContactAddsTheBook). Returns whether
  // the sync data was cleared; an unreadable book changes nothing.
  platform::Result<bool> startOverIfAddressBookReplaced(platform::addressbook::AddressBook* addressBook);

  // Runs `work` with all the row operations it makes (on any thread) in one
  // database transaction: they are kept together when `work` succeeds, and
  // none of them is kept when it fails or the commit fails (that error is
  // returned). Statements of other threads wait until the batch ends; a batch
  // inside a batch joins it (and rolls back only its own part on failure).
  platform::Status performBatch(const std::function<platform::Status()>& work);

  // A row object from the current row of a query over the table.
  static LMGroupRelation createGroupRelationWithResult(
      const LMManagedRecordContextDatabase::Statement& result);
  static LMContactRelation createContactRelationWithResult(
      const LMManagedRecordContextDatabase::Statement& result);

  // ---- Watermark ----

  // The cloud sync tag of the last recorded page; 0 (and written as 0) when
  // none is stored.
  std::int64_t serverSync();
  // nullopt removes the stored watermark, and so does any value when the
  // file was made anew since serverSync() was last read.
  void setServerSync(std::optional<std::int64_t> serverSync);
  // The extra information that goes with the watermark.
  std::optional<std::string> serverSyncExtraInfo();
  // nullopt or an empty text removes it.
  void setServerSyncExtraInfo(std::optional<std::string> extraInfo);

  // ---- Adds in flight ----
  //
  // The cloud content each local contact was sent with while its add has
  // no row here yet, by record id, the mark sent with it and the address
  // book it was made in: an add whose reply is lost for good made a cloud
  // record that no row names, and the next sync sends the add again as it
  // went, under the same mark, so the cloud answers with that record. Kept
  // until the rows of a sync are written. Adds recorded before adds had
  // marks have none; those recorded before they kept their book, no book.

  // Records (or replaces) the adds about to be sent.
  platform::Status recordPendingContactAdds(const LMPendingContactAdds& adds);
  platform::Result<LMPendingContactAdds> pendingContactAdds();
  // Also ends addsInFlightMayBeLost().
  bool clearPendingContactAdds();
  // Gives the adds in flight that have no book's mark (recorded by a form
  // of the store from before adds kept it) the mark `book`: that of the
  // book the sync that sent them ran against, which each sync records
  // before it sends anything (kLMAddressBookMarkKey).
  platform::Status giveBooklessPendingContactAddsTheBook(const std::string& book);
  // Whether the store was made again in place of a damaged one whose adds
  // in flight may not all have been carried, and no sync has settled its
  // adds since: a person's add may then have gone before without this
  // store knowing its mark, so adds go without one (the cloud knows them
  // by this device, their key and content).
  bool addsInFlightMayBeLost();

  // ---- Clearing ----

  // Deletes every row and the adds in flight, then sets the watermark to 0
  // and removes the extra info. False (watermark untouched) when the rows
  // could not be deleted.
  bool clearSynchronousData();
  // Drops the in-memory group snapshot and writes an archive of an empty
  // dictionary to localSyncGroupPath(); false when it cannot be written.
  bool clearLocalSyncGroupDic();
  // Empties the twelve change maps and drops the group snapshot.
  void clearCacheData();

  // ---- Local change detection ----
  //
  // What changed in the synced source since the last sync, found against the
  // relation rows. Without an address book or access to it nothing is found
  // (so a missing book never reads as everything deleted).

  // Fills the contact maps: people of `source` without a row (added), people
  // whose row says their photo failed or who changed since the last sync
  // (modified, with the row's sync information), and rows whose person is
  // gone from the address book (deleted, by record id).
  // A failed read of the rows is returned (the maps stay empty).
  platform::Status loadLocalChangedContactsIgnoreGroupChanges(
      platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source);
  // Fills the group maps against the group snapshot: groups without a row
  // (added), renamed groups (modified) and snapshot groups no longer in
  // `source` (deleted); then drops the snapshot.
  platform::Status loadLocalChangedGroups(platform::addressbook::AddressBook* addressBook,
                                          const platform::addressbook::Record& source);
  // Whether a person differs from its content and photo at the last sync.
  bool isContactModified(const LMContact& contact, const LMContactRelation& relation,
                         platform::addressbook::AddressBook* addressBook);
  // The synced groups as they were at the last sync, by record id, built from
  // the group rows on first read (so it outlives a restart); the error of a
  // failed read.
  platform::Result<std::map<std::int32_t, LMGroup>> localSyncGroupDic();
  // Records each group's current members in its row (groups without a row
  // are skipped), all rows in one batch; a row that cannot be written is
  // logged and passed over. The error of a failed read or batch.
  platform::Status updateLocalDatabaseGroupMembers(platform::addressbook::AddressBook* addressBook,
                                                   const platform::addressbook::Record& source);

  // The local change maps, by address-book record id; empty until a
  // detection run fills them.
  const std::map<std::int32_t, LMContact>& localAddContactDic() const { return local_.addContacts; }
  const std::map<std::int32_t, LMContact>& localModifyContactDic() const {
    return local_.modifyContacts;
  }
  const std::map<std::int32_t, LMContactRelation>& localDeleteContactDic() const {
    return local_.deleteContacts;
  }
  const std::map<std::int32_t, LMGroup>& localAddGroupDic() const { return local_.addGroups; }
  const std::map<std::int32_t, LMGroup>& localModifyGroupDic() const { return local_.modifyGroups; }
  const std::map<std::int32_t, LMGroup>& localDeleteGroupDic() const { return local_.deleteGroups; }

  // ---- Recording and sorting cloud changes ----

  // Records a complete listing of cloud changes: the groups, then the
  // contacts, then (only when every row was stored) the watermark and its
  // extra info. All rows are written in one batch: a failure stores none of
  // them and leaves the watermark, so the next sync records the same changes
  // again. With `resync` the records are the whole cloud: rows missing from
  // them are marked deleted (or dropped when they have no local record).
  platform::Status saveLumoraGroups(const std::vector<LMGroup>& groups,
                                    const std::vector<LMContact>& contacts, std::int64_t serverSync,
                                    std::optional<std::string> syncExtraInfo, bool resync);
  // The group and contact halves of the above, each in its own batch. A
  // record without a cloud id or version is skipped; a newer live version
  // makes the row "custom", a newer deletion "deleted" (or drops a row that
  // has no local record). The contact half fails on content that cannot be
  // made JSON text, writing nothing.
  platform::Status saveLumoraGroups(const std::vector<LMGroup>& groups, bool resync);
  platform::Status saveLumoraContacts(const std::vector<LMContact>& contacts, bool resync);
  // Sorts the rows not in step into the cloud change maps, then drops the
  // group snapshot. Stops at a contact row whose cloud text does not parse
  // (the maps keep what was sorted) and returns that error.
  platform::Status filterLumoraChangedRecords();
  // Group ids translated through the rows; ids without a row (or without a
  // local group) are left out.
  platform::Result<std::set<std::int32_t>> localRecordIDsFromLumora(const std::set<std::int64_t>& serverIDs);
  platform::Result<std::set<std::int64_t>> lumoraRecordIDsFromLocal(const std::set<std::int32_t>& recordIDs);

  // The cloud change maps, by cloud id; empty until a sorting run fills them.
  const std::map<std::int64_t, LMContact>& lumoraAddContactDic() const { return cloud_.addContacts; }
  const std::map<std::int64_t, LMContact>& lumoraModifyContactDic() const {
    return cloud_.modifyContacts;
  }
  const std::map<std::int64_t, LMContactRelation>& lumoraDeleteContactDic() const {
    return cloud_.deleteContacts;
  }
  const std::map<std::int64_t, LMGroup>& lumoraAddGroupDic() const { return cloud_.addGroups; }
  const std::map<std::int64_t, LMGroup>& lumoraModifyGroupDic() const { return cloud_.modifyGroups; }
  const std::map<std::int64_t, LMGroup>& lumoraDeleteGroupDic() const { return cloud_.deleteGroups; }

  // ---- Duplicate search and merge ----

  // Groups of duplicate people of `source`, found by name (same name and
  // name parts), nickname, company, phone number (blanks and dashes
  // ignored) and e-mail address, in that order; each person ends in at most
  // one group. nullopt when the source holds nobody.
  static std::optional<std::vector<LMMergeManagedObject>> searchForMergeContacts(
      platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source);
  // Writes each group that can be merged into its first kept member (merged
  // fields and the first photo found) and removes the other kept members.
  // A group is all or nothing: one that fails is reverted (the groups merged
  // with it since the last save are written again) and stays unmerged. The
  // address book is saved whenever 5 MiB of photos are pending, and at the
  // end; a failed save reverts and resets the groups since the previous save
  // and ends the walk. Returns the number of groups merged and saved.
  // Unsaved edits the handle had before the call go with the first save.
  static std::size_t mergeContactObjects(std::vector<LMMergeManagedObject>& groups,
                                         platform::addressbook::AddressBook* addressBook,
                                         const platform::addressbook::Record& source);

  // ---- Address-book access ----
  //
  // Every operation takes the caller's handle (nullptr stands for no address
  // book) and saves only where it says so.

  // Whether access to the address book is authorised.
  static bool isAddressBookAuthorized();
  // Asks for access when it was never asked: finish(granted, justAsked), on
  // the main thread when the question was asked (posted there from another
  // thread); at once on the calling thread otherwise (no address book:
  // (false, false); authorised: (true, false); denied: (false, false)).
  static void requestAuthorizationAddressBook(
      platform::addressbook::AddressBook* addressBook,
      const std::function<void(bool granted, bool justAsked)>& finish);
  // The synced source: the last source named "Card" (not the local source),
  // else the local source, else the null record.
  static platform::addressbook::Record defaultSourceInAddressBook(
      platform::addressbook::AddressBook* addressBook);
  // kLMSourceTypeLocal, kLMSourceTypeCard or kLMSourceTypeOther.
  static int sourceType(const platform::addressbook::Record& source);
  // The sources other than the synced one that hold somebody (every source
  // when there is no synced source); nullopt when there is none.
  static std::optional<std::vector<platform::addressbook::Record>> otherSourcesInAddressBook(
      platform::addressbook::AddressBook* addressBook);
  // People of the address book outside `defaultSource`.
  static std::size_t getCountOfContactsNotSync(platform::addressbook::AddressBook* addressBook,
                                               const platform::addressbook::Record& defaultSource);
  // People of `source`.
  static std::size_t getABPersonCount(platform::addressbook::AddressBook* addressBook,
                                      const platform::addressbook::Record& source);
  // A new (unsaved) person or group in `source`; the null record when the
  // address book refuses it.
  static platform::addressbook::Record createABPerson(
      platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source);
  static platform::addressbook::Record createABGroup(
      platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source);
  // The person / group with that id; the null record for nullopt, -1 or none.
  static platform::addressbook::Record recordABPersonWithRecordID(
      std::optional<std::int32_t> recordID, platform::addressbook::AddressBook* addressBook);
  static platform::addressbook::Record recordABGroupWithRecordID(
      std::optional<std::int32_t> recordID, platform::addressbook::AddressBook* addressBook);
  // Removes a person or group (unsaved); false for the null record or when
  // the address book refuses.
  static bool deleteABRecord(const platform::addressbook::Record& record,
                             platform::addressbook::AddressBook* addressBook);
  // Removes every person, then every group, of `source`, saving after every
  // 20 people and at the end; false at the first failed removal or save.
  static bool deleteAllABRecords(platform::addressbook::AddressBook* addressBook,
                                 const platform::addressbook::Record& source);
  // Saves unsaved changes, then reverts the handle (after a failed save as
  // after a successful one). The converted and logged error of a failed
  // save; success when it worked or there was nothing to save.
  static platform::Status saveAddressBook(
      platform::addressbook::AddressBook* addressBook);
  // Every person / group of `source` read as a record, by record id; records
  // that cannot be read (not saved yet) are left out.
  static std::map<std::int32_t, LMContact> searchAllLocalContacts(
      platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source);
  static std::map<std::int32_t, LMGroup> searchAllLocalGroups(
      platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source);

  // ---- Merging one source into another ----

  // (matched, created, result): on success the people of the other source
  // merged into target people through linked cards, the people created anew
  // in the target, and success; on failure (0, 0, the error).
  using SourceMergeFinish =
      std::function<void(std::size_t matched, std::size_t created, const platform::Status& result)>;
  // Copies the people of `otherSource` into `targetSource` (they stay where
  // they are): a person linked to a target person, equal to one, or without
  // conflicting fields is merged into that target person (each target person
  // at most once); anyone else becomes a new person. Photos come along; the
  // address book is saved whenever more than 5 MiB of image data is pending,
  // and at the end. `finish` runs on the calling thread before this returns;
  // a missing source or address book ends with the invalid-source error
  // (kLMLocalErrorInvalidAddressBookSource). The first write or save error
  // ends the merge (work saved before it stays).
  static void mergeContactsSource(const platform::addressbook::Record& targetSource,
                                  const platform::addressbook::Record& otherSource,
                                  platform::addressbook::AddressBook* addressBook,
                                  const SourceMergeFinish& finish);

 private:
  // The adds in flight that can still be read through a connection to a
  // damaged file (the rows before the first that cannot), to be carried
  // into the file made in its place; and the writing of them there.
  static LMPendingContactAdds salvagePendingContactAdds(sqlite3* db);
  static platform::Status writePendingContactAdds(LMManagedRecordContextDatabase& database,
                                                  const LMPendingContactAdds& adds);
  // Makes the tables of a new file (the creation then finished) and writes
  // the adds in flight carried from the file it replaced.
  static void makeTablesCarrying(LMManagedRecordContextDatabase& database,
                                 const LMPendingContactAdds& carried, bool afterDamage);
  static void setAddsInFlightMayBeLost(bool lost);

  template <class Key>
  struct ChangeMaps {
    std::map<Key, LMContact> addContacts;
    std::map<Key, LMContact> modifyContacts;
    std::map<Key, LMContactRelation> deleteContacts;
    std::map<Key, LMGroup> addGroups;
    std::map<Key, LMGroup> modifyGroups;
    std::map<Key, LMGroup> deleteGroups;
  };

  // Unlocked: the adapter's task queue only (see the threading note).
  ChangeMaps<std::int32_t> local_;
  ChangeMaps<std::int64_t> cloud_;
  std::optional<std::map<std::int32_t, LMGroup>> groupSnapshot_;

  std::mutex mutex_;  // guards the fields below
  // The database's replacements so far (mutex_ held).
  std::uint64_t storeGeneration() const;
  std::unique_ptr<LMManagedRecordContextDatabase> database_;
  // The database's generation when the watermark was last read: a
  // watermark from before the file was made anew is not kept.
  std::uint64_t watermarkGeneration_ = 0;
  std::optional<std::int64_t> serverSync_;
  std::optional<std::string> serverSyncExtraInfo_;
  std::optional<std::string> databaseFilePath_;
  std::optional<std::string> localSyncGroupPath_;
  // Salvaged from a damaged file until the new one is made (database queue).
  LMPendingContactAdds carriedAdds_;
};

}  // namespace lumora
