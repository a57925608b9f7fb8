// A handle on the device's address book (ABAddressBookRef), kept in SQLite at
// AppHome::root()/Library/AddressBook/AddressBook.sqlitedb. A process may open
// several handles on the same store, and other processes may use it too.
//
// Each handle holds its own view: the stored records plus its unsaved edits.
// Records are read from the store when first asked for: a look-up by id
// reads that record alone; lists of people or groups, linking people and
// removing a source read the whole store once. Edits stay in the handle
// until save(), which writes all of them in one SQLite transaction (no other
// handle or process ever sees half of a save), stamps the modification date
// of every changed person (creation and modification date of new ones) with
// platform::Clock, and brings the view up to date (reloading it when another
// handle saved in the meantime). revert() drops the unsaved edits and reloads
// what the handle has read. A handle without unsaved edits picks up saves
// made elsewhere (other handles, other processes) the next time it is asked
// for records (sources(), people(), lookups...); a handle with unsaved edits
// keeps the records it has read as they were until it saves or reverts
// (records it reads for the first time meanwhile come as stored). Edits are
// merged property by property at save: a save only writes the properties,
// images, members, links and removals this handle changed; a record removed
// elsewhere in the meantime is left removed.
//
// After a successful save, the external-change callbacks registered on every
// other open handle of the same store in this process are called, on the
// saving thread, with that handle. Saves of other processes call the
// callbacks of every handle (ExternalChanges): the store's folder is
// watched while a handle has callbacks, and looked at again when the app
// becomes active; those calls come on the watch's thread or the thread
// that posted the activation.
//
// Access: the authorisation status belongs to the store (it is kept in it)
// and starts NotDetermined. A handle reads it again after any change made in
// this process, and after another process's save when it next reads records. create() fails with kOperationNotPermittedByUserError
// when access is Denied or Restricted. Without Authorized status a handle
// shows no records, and every write and save fails with that error.
// requestAccess() asks the "user" when the status is NotDetermined; the answer
// is set beforehand with setAccessAnswer() (grant by default).
//
// Ownership: create() returns a shared handle; Records keep their handle's
// state alive. Threading: all members may be called from any thread; each
// handle serialises its calls with a recursive lock (so a write-fault hook or
// callback may call back into records on the same thread). Failures are
// Errors in kErrorDomain (see Types.h); store failures carry SQLite's message
// with code kOperationNotPermittedByStoreError.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/addressbook/ExternalChanges.h"
#include "platform/addressbook/Record.h"
#include "platform/addressbook/Types.h"

namespace platform::addressbook {

// A write about to happen, as shown to the write-fault hook.
enum class WriteOperation {
  SetValue,
  RemoveValue,
  SetImage,
  RemoveImage,
  SetName,
  AddMember,
  RemoveMember,
  CreateRecord,
  RemoveRecord,
  Link,
  Save
};

struct WriteAttempt {
  WriteOperation operation;
  Record record;  // the record written; for CreateRecord its source (null for a new source); null for Save
  std::optional<PersonProperty> property;  // SetValue and RemoveValue only
};

// Returns the error the address book should report for this write, or nullopt
// to let it go ahead.
using WriteFault = std::function<std::optional<Error>(const WriteAttempt&)>;

class AddressBook {
 public:
  using ExternalChangeCallback = std::function<void(AddressBook& changed)>;
  using AccessCompletion = std::function<void(bool granted, std::optional<Error> error)>;

  // ABAddressBookCreateWithOptions.
  static Result<std::shared_ptr<AddressBook>> create();
  // Where the store lives under the current app home.
  static std::filesystem::path storePath();
  // Whether the store's file is damaged: a folder or anything else but a
  // plain file in its place, not a database, without the book's tables, or
  // failing SQLite's quick check of its pages. A handle's lists come back
  // empty when a read fails; this tells such a book from an empty or a
  // refused one. Reads the whole file: ask when a handle shows nothing.
  static bool isStoreDamaged();

  // ABAddressBookGetAuthorizationStatus (NotDetermined if the store cannot
  // be read).
  static AuthorizationStatus authorizationStatus();
  // The device's setting (tests, the app's set-up): replaces the status.
  static Status setAuthorizationStatus(AuthorizationStatus status);
  // What the user answers when requestAccess() asks (grant by default).
  static Status setAccessAnswer(bool grant);
  // Test seam: every write and save of every handle in the process first
  // asks `fault` (nullptr removes it), after the access check. Lets tests
  // make one property, image, member or save fail the way a source refuses.
  static void setWriteFault(WriteFault fault);

  ~AddressBook();
  AddressBook(const AddressBook&) = delete;
  AddressBook& operator=(const AddressBook&) = delete;

  // ABAddressBookRequestAccessWithCompletion. NotDetermined: the user's
  // answer becomes the status and completion(answer, nullopt) runs.
  // Authorized: completion(true, nullopt); Denied or Restricted:
  // completion(false, nullopt). The completion runs on the calling thread
  // before this returns.
  void requestAccess(const AccessCompletion& completion);

  // A mark of the store itself, made with it (on first ask for a store from
  // before marks) and kept for its life: a store made again, its file
  // removed or emptied, has another, and its record ids start over.
  Result<std::string> storeMark();

  bool hasUnsavedChanges() const;
  // ABAddressBookSave. Succeeds at once when there is nothing to save.
  Status save();
  // ABAddressBookRevert.
  void revert();

  // ABAddressBookRegisterExternalChangeCallback; returns a token for
  // unregistering.
  int registerExternalChangeCallback(ExternalChangeCallback callback);
  void unregisterExternalChangeCallback(int token);

  // ---- sources ----
  // All sources in record-id order (the local source, id 0, first).
  std::vector<Record> sources();
  Record sourceWithId(RecordId id);
  // ABAddressBookCopyDefaultSource: the local source, else the first source,
  // else null.
  Record defaultSource();
  // Device set-up (an account added in the phone's settings): a new source,
  // stored with the next save. The local source cannot be added again.
  // Removing a source with removeRecord() removes its people and groups.
  Result<Record> addSource(std::optional<std::string> name, SourceKind kind);

  // ---- people and groups ----
  std::vector<Record> people();  // record-id order, unsaved new people last
  std::vector<Record> peopleInSource(const Record& source);
  // ABAddressBookCopyArrayOfAllPeopleInSourceWithSortOrdering: by last (or
  // first) name, then the other name, case-insensitively; people without
  // either by composite name.
  std::vector<Record> peopleInSource(const Record& source, SortOrdering ordering);
  std::size_t personCount();
  Record personWithId(RecordId id);  // null unless a person with that id

  std::vector<Record> groups();
  std::vector<Record> groupsInSource(const Record& source);
  Record groupWithId(RecordId id);

  // ABPersonCreateInSource + ABAddressBookAddRecord (likewise for groups):
  // the new record, unsaved. An Exchange source holds no groups.
  Result<Record> createPerson(const Record& source);
  Result<Record> createGroup(const Record& source);
  // ABAddressBookRemoveRecord: a person or group (or a source, see above).
  Status removeRecord(const Record& record);

  // Device set-up (the phone's unified contacts): links two people, usually
  // of different sources, into one set; unlink takes one person out of its
  // set. Stored with the next save.
  Status linkPeople(const Record& a, const Record& b);
  Status unlinkPerson(const Record& person);

 private:
  explicit AddressBook(std::shared_ptr<detail::BookState> state);
  // Calls the callbacks of every handle of this store but `except`.
  void notifyOtherHandles();
  static void notifyHandles(const std::string& key, const AddressBook* except);

  std::shared_ptr<detail::BookState> state_;
  // Held while callbacks are registered: the watch for other processes.
  std::shared_ptr<detail::ExternalChanges> external_;
  mutable std::mutex callbacksMutex_;
  std::map<int, ExternalChangeCallback> callbacks_;
  int nextToken_ = 1;
};

}  // namespace platform::addressbook
