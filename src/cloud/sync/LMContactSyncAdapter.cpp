// The adapter itself: shared instance, store and delegate, progress reports,
// relation rows filled from cloud contacts, and the service addresses.
#include "cloud/sync/LMContactSyncAdapter.h"

#include <chrono>
#include <utility>

#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {

std::shared_ptr<LMContactSyncAdapter> LMContactSyncAdapter::sharedAdapter() {
  static std::once_flag once;
  static auto& shared = *new std::shared_ptr<LMContactSyncAdapter>();
  std::call_once(once, [] { shared = std::make_shared<LMContactSyncAdapter>(); });
  return shared;
}

LMContactSyncAdapter::LMContactSyncAdapter(std::shared_ptr<QBPassportsManager> passports)
    : LMSyncAdapter(std::move(passports)) {}

LMContactSyncAdapter::~LMContactSyncAdapter() = default;

// ---- Reports ----

void LMContactSyncAdapter::callDelegateProcess(std::int32_t process) {
  notifyDelegate(&LMContactSyncAdapterDelegate::didAdapterSyncProcess, process);
}

// ---- Relation rows ----

std::optional<std::string> LMContactSyncAdapter::relationJsonStringFromContact(const LMContact& contact) {
  const platform::Json envelope = contact.dictionaryForLumoraJSON();
  auto content = envelope.find(kLMRecordContentKey);
  if (content == envelope.end()) return std::nullopt;
  auto text = LMUtils::stringFromJSONObject(*content);
  if (!text) return std::nullopt;
  return std::move(*text);
}

void LMContactSyncAdapter::relation(LMContactRelation& relation, const LMContact& contact) {
  relation.setRecordID(contact.recordID);
  if (contact.modificationTime) {
    relation.setLocalRecordSync(std::chrono::duration<double>(contact.modificationTime->time_since_epoch()).count());
  } else {
    relation.setLocalRecordSync(std::nullopt);
  }
  relation.setLocalServerSync(contact.sync);
  auto text = relationJsonStringFromContact(contact);
  relation.setLocalJsonString(text);
  relation.setServerID(contact.serverID);
  relation.setServerSync(contact.sync);
  relation.setPhotoId(contact.photoId);
  relation.setThumbnailId(contact.thumbnailId);
  relation.setDigest(contact.photoDigest);
  relation.setJsonString(std::move(text));
  relation.setIsPhotoFail(contact.isPhotoDownloadFail);
  relation.setServerStatus(std::string(kLMRelationStatusDefault));
}

// ---- Addresses ----

std::string LMContactSyncAdapter::contactURL() const {
  return baseURLForService(forTest() ? kContactPreviewHostKey : kContactHostKey);
}

std::string LMContactSyncAdapter::lumFileURL() const {
  return baseURLForService(forTest() ? kFilePreviewHostKey : kFileHostKey);
}

// ---- Address book ----

std::shared_ptr<platform::addressbook::AddressBook> LMContactSyncAdapter::openAddressBook() {
  auto created = platform::addressbook::AddressBook::create();
  if (!created.ok()) {
    LM_LOG_ERROR("{}", created.error().description());
    return nullptr;
  }
  return *created;
}

platform::Error LMContactSyncAdapter::invalidSourceError() {
  platform::Error error = LMUtils::localErrorWithErrorCode(
      kLMLocalErrorInvalidAddressBookSource,
      {{kLMErrorReasonKey, "Invalid ABAddressBook Source"}, {kLMErrorDescriptionKey, kLMErrorTitleAddressBook}});
  LM_LOG_ERROR("{}", error.description());
  return error;
}

}  // namespace lumora
