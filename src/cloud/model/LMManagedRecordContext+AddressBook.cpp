// The address-book helpers of the record store: authorisation, the synced
// source and the other sources, counts, lookups, creation, deletion, saving
// with a revert, and reading a whole source into records.
#include "cloud/model/LMManagedRecordContext.h"

#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/dispatch/MainQueue.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

// Name of the account source that is synced when the device has one.
constexpr const char* kSyncedSourceName = "Card";
// People removed between two intermediate saves when a source is emptied.
constexpr std::size_t kDeleteSaveInterval = 20;

}  // namespace

// ---- Authorisation ----

bool LMManagedRecordContext::isAddressBookAuthorized() {
  return ab::AddressBook::authorizationStatus() == ab::AuthorizationStatus::Authorized;
}

void LMManagedRecordContext::requestAuthorizationAddressBook(
    ab::AddressBook* addressBook, const std::function<void(bool granted, bool justAsked)>& finish) {
  if (!finish) return;
  if (addressBook == nullptr) {
    finish(false, false);
    return;
  }
  switch (ab::AddressBook::authorizationStatus()) {
    case ab::AuthorizationStatus::Authorized:
      finish(true, false);
      return;
    case ab::AuthorizationStatus::Denied:
    case ab::AuthorizationStatus::Restricted:
      finish(false, false);
      return;
    case ab::AuthorizationStatus::NotDetermined:
      break;
  }
  addressBook->requestAccess([finish](bool granted, std::optional<platform::Error> error) {
    if (error) LM_LOG_ERROR("{}", LMUtils::errorFromCoreFoundationError(*error).description());
    // The answer goes to the screen on the main thread.
    platform::MainQueue::runOrPost([finish, granted] { finish(granted, true); });
  });
}

// ---- Sources ----

ab::Record LMManagedRecordContext::defaultSourceInAddressBook(ab::AddressBook* addressBook) {
  if (addressBook == nullptr) return ab::Record();
  ab::Record local;
  ab::Record card;
  for (const ab::Record& source : addressBook->sources()) {
    if (source.id() == ab::kLocalSourceId) {
      local = source;
    } else if (source.name() == kSyncedSourceName) {
      card = source;  // the last one of that name wins
    }
  }
  return card ? card : local;
}

int LMManagedRecordContext::sourceType(const ab::Record& source) {
  if (!source || !source.isSource()) return kLMSourceTypeOther;
  if (source.id() == ab::kLocalSourceId) return kLMSourceTypeLocal;
  if (source.name() == kSyncedSourceName) return kLMSourceTypeCard;
  return kLMSourceTypeOther;
}

std::optional<std::vector<ab::Record>> LMManagedRecordContext::otherSourcesInAddressBook(
    ab::AddressBook* addressBook) {
  if (addressBook == nullptr) return std::nullopt;
  const ab::Record synced = defaultSourceInAddressBook(addressBook);
  std::vector<ab::Record> others;
  for (const ab::Record& source : addressBook->sources()) {
    if (!synced) {
      others.push_back(source);
    } else if (!(source == synced) && !addressBook->peopleInSource(source).empty()) {
      others.push_back(source);
    }
  }
  if (others.empty()) return std::nullopt;
  return others;
}

std::size_t LMManagedRecordContext::getCountOfContactsNotSync(ab::AddressBook* addressBook,
                                                              const ab::Record& defaultSource) {
  if (addressBook == nullptr) return 0;
  const std::size_t all = addressBook->personCount();
  const std::size_t synced = defaultSource ? addressBook->peopleInSource(defaultSource).size() : 0;
  return all > synced ? all - synced : 0;
}

std::size_t LMManagedRecordContext::getABPersonCount(ab::AddressBook* addressBook,
                                                     const ab::Record& source) {
  if (addressBook == nullptr || !source) return 0;
  return addressBook->peopleInSource(source).size();
}

// ---- Records ----

ab::Record LMManagedRecordContext::createABPerson(ab::AddressBook* addressBook,
                                                  const ab::Record& source) {
  if (addressBook == nullptr) return ab::Record();
  auto person = addressBook->createPerson(source);
  return person.ok() ? *person : ab::Record();
}

ab::Record LMManagedRecordContext::createABGroup(ab::AddressBook* addressBook,
                                                 const ab::Record& source) {
  if (addressBook == nullptr) return ab::Record();
  auto group = addressBook->createGroup(source);
  return group.ok() ? *group : ab::Record();
}

ab::Record LMManagedRecordContext::recordABPersonWithRecordID(std::optional<std::int32_t> recordID,
                                                              ab::AddressBook* addressBook) {
  if (!recordID || addressBook == nullptr || *recordID == ab::kInvalidRecordId) return ab::Record();
  return addressBook->personWithId(*recordID);
}

ab::Record LMManagedRecordContext::recordABGroupWithRecordID(std::optional<std::int32_t> recordID,
                                                             ab::AddressBook* addressBook) {
  if (!recordID || addressBook == nullptr || *recordID == ab::kInvalidRecordId) return ab::Record();
  return addressBook->groupWithId(*recordID);
}

bool LMManagedRecordContext::deleteABRecord(const ab::Record& record, ab::AddressBook* addressBook) {
  if (!record || addressBook == nullptr) return false;
  return addressBook->removeRecord(record).ok();
}

bool LMManagedRecordContext::deleteAllABRecords(ab::AddressBook* addressBook,
                                                const ab::Record& source) {
  if (addressBook == nullptr) return false;
  const std::vector<ab::Record> people = addressBook->peopleInSource(source);
  for (std::size_t i = 0; i < people.size(); ++i) {
    if (!addressBook->removeRecord(people[i]).ok()) return false;
    // Bounds the unsaved state: a save after every 20 removals.
    if (i != 0 && i % kDeleteSaveInterval == 0 && !saveAddressBook(addressBook).ok()) return false;
  }
  for (const ab::Record& group : addressBook->groupsInSource(source)) {
    if (!addressBook->removeRecord(group).ok()) return false;
  }
  return saveAddressBook(addressBook).ok();
}

platform::Status LMManagedRecordContext::saveAddressBook(ab::AddressBook* addressBook) {
  if (addressBook == nullptr || !addressBook->hasUnsavedChanges()) return platform::Status::success();
  platform::Status error;
  if (auto saved = addressBook->save(); !saved.ok()) {
    error = LMUtils::errorFromABAddressBookError(saved.error());
    LM_LOG_ERROR("{}", error.error().description());
  }
  // Reverted also after a successful save, so the handle reloads what is
  // stored; after a failed one this drops the unsaved edits.
  addressBook->revert();
  return error;
}

std::map<std::int32_t, LMContact> LMManagedRecordContext::searchAllLocalContacts(
    ab::AddressBook* addressBook, const ab::Record& source) {
  std::map<std::int32_t, LMContact> contacts;
  if (addressBook == nullptr) return contacts;
  for (const ab::Record& person : addressBook->peopleInSource(source)) {
    if (auto contact = LMContact::initWithABRecord(person); contact && contact->recordID) {
      contacts.insert_or_assign(*contact->recordID, std::move(*contact));
    }
  }
  return contacts;
}

std::map<std::int32_t, LMGroup> LMManagedRecordContext::searchAllLocalGroups(
    ab::AddressBook* addressBook, const ab::Record& source) {
  std::map<std::int32_t, LMGroup> groups;
  if (addressBook == nullptr) return groups;
  for (const ab::Record& record : addressBook->groupsInSource(source)) {
    if (auto group = LMGroup::initWithABRecord(record); group && group->recordID) {
      groups.insert_or_assign(*group->recordID, std::move(*group));
    }
  }
  return groups;
}

}  // namespace lumora
