// The contacts record store. It keeps one relation row per cloud contact and
// cloud group that the device knows (tables SyncContact and SyncGroup of
// "lumora.db" in Documents), the contacts watermark in user defaults, and the
// helpers through which the sync and the screens reach the address book.
//
// Ownership: the contact sync adapter owns one store; the screens reach it
// through the adapter. The store owns its database connection and queue.
// Threading: all SQL runs on the store's one serial database queue, one
// statement block at a time; every operation waits for its block. The paths,
// the database handle and the watermark cache are guarded by a lock, so the
// adapter's task queue and the main thread may both call in. Address-book
// handles are the caller's and are used on the caller's thread only.
// Failures: row operations report failure as false / nullopt / empty results
// (SQLite's message is logged); address-book writes return the converted
// platform error. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cloud/modal/LMContact.h"
#include "cloud/modal/LMContactRelation.h"
#include "cloud/modal/LMGroup.h"
#include "cloud/modal/LMGroupRelation.h"
#include "cloud/modal/LMManagedRecordContextDatabase.h"
#include "platform/Error.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/addressbook/Record.h"

namespace lumora {

// Names of the store's tables and columns, and its persistent keys.
inline constexpr const char* kLMSyncGroupTable = "SyncGroup";
inline constexpr const char* kLMSyncContactTable = "SyncContact";
inline constexpr const char* kLMDatabaseFileName = "lumora.db";
inline constexpr const char* kLMSyncGroupsFileName = "syncGroups.data";
inline constexpr const char* kLMDatabaseVersionKey = "LMDBLastVersion";
inline constexpr const char* kLMServerSyncKey = "LumoraServerSync";
inline constexpr const char* kLMServerSyncExtraInfoKey = "LumoraServerSyncExtraInfo";
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
  // watermark, and a missing file is created with both tables. On the main
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

  std::vector<LMGroupRelation> searchAllGroupRelations();
  // Rows whose status is not "default".
  std::vector<LMGroupRelation> searchAllUnsyncGroupRelations();
  std::vector<LMContactRelation> searchAllContactRelations();
  std::vector<LMContactRelation> searchAllUnsyncContactRelations();
  // Rows whose photo failed, by record id (a later row with the same record id
  // replaces an earlier one; rows without a record id are left out).
  std::map<std::int32_t, LMContactRelation> searchAllPhotoFailRelations();

  // The first row with that id; nullopt for a nullopt id or no row.
  std::optional<LMGroupRelation> searchGroupRelationByRecordID(std::optional<std::int32_t> recordID);
  std::optional<LMContactRelation> searchContactRelationByRecordID(
      std::optional<std::int32_t> recordID);
  std::optional<LMGroupRelation> searchGroupRelationByServerID(std::optional<std::int64_t> serverID);
  std::optional<LMContactRelation> searchContactRelationByServerID(
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

  // A row object from the current row of a query over the table.
  static LMGroupRelation createGroupRelationWithResult(
      const LMManagedRecordContextDatabase::Statement& result);
  static LMContactRelation createContactRelationWithResult(
      const LMManagedRecordContextDatabase::Statement& result);

  // ---- Watermark ----

  // The cloud sync tag of the last recorded page; 0 (and written as 0) when
  // none is stored.
  std::int64_t serverSync();
  // nullopt removes the stored watermark.
  void setServerSync(std::optional<std::int64_t> serverSync);
  // The extra information that goes with the watermark.
  std::optional<std::string> serverSyncExtraInfo();
  // nullopt or an empty text removes it.
  void setServerSyncExtraInfo(std::optional<std::string> extraInfo);

  // ---- Clearing ----

  // Deletes every row, then sets the watermark to 0 and removes the extra
  // info. False (watermark untouched) when the rows could not be deleted.
  bool clearSynchronousData();
  // Writes an archive of an empty dictionary to localSyncGroupPath(); false
  // when it cannot be written.
  bool clearLocalSyncGroupDic();

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
  std::mutex mutex_;  // guards the fields below
  std::unique_ptr<LMManagedRecordContextDatabase> database_;
  std::optional<std::int64_t> serverSync_;
  std::optional<std::string> serverSyncExtraInfo_;
  std::optional<std::string> databaseFilePath_;
  std::optional<std::string> localSyncGroupPath_;
};

}  // namespace lumora
