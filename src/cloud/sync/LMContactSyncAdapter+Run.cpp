// The full sync run: begin, the cloud changes sorted, groups, contacts, the
// groups' member lists, end; and the contact phase's entry point.
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMContactSyncPhase.h"

namespace lumora {

void LMContactSyncAdapter::synchronizeContacts(const ContactsCompletion& completion) {
  LMContactSyncPhase phase(*this);
  LMContactSyncPhase::Outcome outcome = phase.run();
  if (completion) completion(outcome.count, outcome.mismatch, outcome.result);
}

void LMContactSyncAdapter::synchronizeAllRecords() {
  setSyncing(true);
  notifyDelegate(&LMContactSyncAdapterDelegate::willAdapterBeginSynchronize);
  callDelegateProcess(kLMSyncProcessBegin);
  auto store = context();

  auto runSteps = [&]() -> platform::Status {
    if (platform::Status sorted = store->filterLumoraChangedRecords(); !sorted.ok()) return sorted;
    if (platform::Status groups = synchronizeGroups(); !groups.ok()) return groups;
    platform::Status contacts;
    synchronizeContacts([&](std::int64_t, bool, const platform::Status& result) { contacts = result; });
    if (!contacts.ok()) return contacts;
    // The member lists as they are now: the next run's stored membership.
    auto book = openAddressBook();
    const platform::addressbook::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
    if (!source) return invalidSourceError();
    return store->updateLocalDatabaseGroupMembers(book.get(), source);
  };

  platform::Status outcome = runSteps();
  store->clearCacheData();
  if (outcome.ok()) {
    notifyDelegate(&LMContactSyncAdapterDelegate::willAdapterFinishSynchronize);
    notifyDelegate(&LMContactSyncAdapterDelegate::didAdapterFinishSynchronize, false);
  } else {
    notifyDelegate(&LMContactSyncAdapterDelegate::didAdapterFailSynchronize, outcome.error());
  }
  setSyncing(false);
}

}  // namespace lumora
