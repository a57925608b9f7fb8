// Local change detection: the people and groups of the synced source added,
// modified or deleted since the last sync, found against the relation rows;
// the group snapshot with its file, and group members written into the rows.
#include <chrono>
#include <unordered_map>

#include "cloud/model/LMChangeMapDescription.h"
#include "cloud/model/LMManagedRecordContext.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "utils/SHA1.h"
#include "platform/JsonValues.h"
#include "platform/storage/KeyedArchive.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

double secondsSince1970(platform::Clock::TimePoint time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// The first row of each record id, in table order (as a look-up by record id
// answers), over rows read in one query.
template <class Row>
std::unordered_map<std::int32_t, const Row*> firstRowByRecordID(const std::vector<Row>& rows) {
  std::unordered_map<std::int32_t, const Row*> byRecord;
  byRecord.reserve(rows.size());
  for (const Row& row : rows) {
    if (row.recordID()) byRecord.try_emplace(*row.recordID(), &row);
  }
  return byRecord;
}

template <class Row>
const Row* rowFor(const std::unordered_map<std::int32_t, const Row*>& byRecord,
                  const std::optional<std::int32_t>& recordID) {
  if (!recordID) return nullptr;
  auto it = byRecord.find(*recordID);
  return it == byRecord.end() ? nullptr : it->second;
}

// Nothing is detected without a book to read: an unreadable book must not
// look like every person deleted.
bool canRead(ab::AddressBook* addressBook) {
  return addressBook != nullptr && LMManagedRecordContext::isAddressBookAuthorized();
}

// The member ids of a snapshot group: a non-empty JSON array of integers.
std::set<std::int32_t> membersFrom(const std::optional<std::string>& json) {
  std::set<std::int32_t> members;
  if (!platform::hasText(json)) return members;
  auto parsed = LMUtils::jsonObjectFromString(*json);
  if (!parsed || !parsed->is_array()) return members;
  for (const platform::Json& id : *parsed) {
    if (id.is_number_integer()) members.insert(id.get<std::int32_t>());
  }
  return members;
}

}  // namespace

// ---- Contacts ----

platform::Status LMManagedRecordContext::loadLocalChangedContactsIgnoreGroupChanges(
    ab::AddressBook* addressBook, const ab::Record& source) {
  local_.addContacts.clear();
  local_.modifyContacts.clear();
  local_.deleteContacts.clear();
  if (!canRead(addressBook)) return platform::Status::success();

  // All rows in one query; a row whose person is gone is a deletion (the
  // people of the source are known to be there; anyone else is looked up).
  auto read = searchAllContactRelations();
  if (!read.ok()) return read.error();
  const std::vector<LMContactRelation>& rows = *read;
  std::map<std::int32_t, LMContact> people = searchAllLocalContacts(addressBook, source);
  const auto byRecord = firstRowByRecordID(rows);
  for (const LMContactRelation& row : rows) {
    if (!row.recordID() || *row.recordID() == ab::kInvalidRecordId) continue;
    if (people.count(*row.recordID()) == 0 &&
        !recordABPersonWithRecordID(row.recordID(), addressBook)) {
      local_.deleteContacts.insert_or_assign(*row.recordID(), row);
    }
  }

  for (auto& [recordID, contact] : people) {
    const LMContactRelation* row = rowFor(byRecord, recordID);
    if (row == nullptr) {
      local_.addContacts.emplace(recordID, std::move(contact));
      continue;
    }
    contact.loadSyncInfoWithRelation(*row);
    contact.sync = row->localServerSync();
    bool modified = contact.isPhotoDownloadFail;
    if (!modified && contact.modificationTime &&
        secondsSince1970(*contact.modificationTime) > row->localRecordSync().value_or(0.0)) {
      modified = isContactModified(contact, *row, addressBook);
    }
    if (modified) local_.modifyContacts.emplace(recordID, std::move(contact));
  }

  if (!local_.addContacts.empty()) LM_LOG_DEBUG("local contact add: {}", valuesOf(local_.addContacts));
  if (!local_.modifyContacts.empty()) {
    LM_LOG_DEBUG("local contact modify: {}", valuesOf(local_.modifyContacts));
  }
  if (!local_.deleteContacts.empty()) {
    LM_LOG_DEBUG("local contact delete: {}", valuesOf(local_.deleteContacts));
  }
  LM_LOG_INFO("local contact add({}) modify({}) delete({})", local_.addContacts.size(),
              local_.modifyContacts.size(), local_.deleteContacts.size());
  return platform::Status::success();
}

bool LMManagedRecordContext::isContactModified(const LMContact& contact,
                                               const LMContactRelation& relation,
                                               ab::AddressBook* addressBook) {
  // The fields against the content recorded at the last sync, when readable.
  if (platform::hasText(relation.localJsonString())) {
    if (auto json = LMUtils::jsonObjectFromString(*relation.localJsonString());
        json && json->is_object()) {
      // The recorded copy is read with the cloud reader's name rule: so is
      // the person before they are compared.
      const std::optional<LMContact> recorded = LMContact::initWithLumoraJSON(*json);
      if (!contact.withCloudNameRule().isEqualToRecord(recorded ? &*recorded : nullptr)) return true;
    }
  }
  // Then the photo against the digest of the photo last synced.
  const ab::Record person = recordABPersonWithRecordID(contact.recordID, addressBook);
  if (!person) return false;
  std::string digest;
  if (person.hasImageData()) {
    if (auto image = person.imageData(ab::ImageFormat::OriginalSize)) digest = sha1String(*image);
  }
  const bool hadPhoto = platform::hasText(relation.digest());
  if (!digest.empty()) return !hadPhoto || *relation.digest() != digest;
  return hadPhoto;
}

// ---- Groups ----

platform::Result<std::map<std::int32_t, LMGroup>> LMManagedRecordContext::localSyncGroupDic() {
  if (!groupSnapshot_) {
    auto rows = searchAllGroupRelations();
    if (!rows.ok()) return rows.error();
    groupSnapshot_.emplace();
    for (const LMGroupRelation& row : *rows) {
      if (!row.recordID() || *row.recordID() == ab::kInvalidRecordId) continue;
      LMGroup group;
      group.recordID = row.recordID();
      group.name = row.localName();
      group.memberIDs = membersFrom(row.localJsonString());
      group.serverID = row.serverID();
      group.sync = row.serverSync();
      group.status = row.serverStatus();
      group.type = kLMRecordTypeLocal;
      group.shouldIgnoreExtensionData = true;
      groupSnapshot_->insert_or_assign(*row.recordID(), std::move(group));
    }
  }
  return *groupSnapshot_;
}

platform::Status LMManagedRecordContext::loadLocalChangedGroups(ab::AddressBook* addressBook,
                                                                const ab::Record& source) {
  local_.addGroups.clear();
  local_.modifyGroups.clear();
  local_.deleteGroups.clear();
  if (!canRead(addressBook)) return platform::Status::success();

  auto read = searchAllGroupRelations();
  if (!read.ok()) return read.error();
  auto snapshot = localSyncGroupDic();
  if (!snapshot.ok()) return snapshot.error();
  const std::vector<LMGroupRelation>& rows = *read;
  const auto byRecord = firstRowByRecordID(rows);
  std::map<std::int32_t, LMGroup> gone = std::move(*snapshot);
  for (auto& [recordID, group] : searchAllLocalGroups(addressBook, source)) {
    auto previous = gone.find(recordID);
    if (const LMGroupRelation* row = rowFor(byRecord, group.recordID)) {
      group.serverID = row->serverID();
      group.sync = row->localServerSync();
      if (previous != gone.end() && !group.isEqualToRecord(&previous->second)) {
        local_.modifyGroups.emplace(recordID, group);
      }
    } else {
      local_.addGroups.emplace(recordID, group);
    }
    if (previous != gone.end()) gone.erase(previous);
  }
  // Synced groups no longer in the source, when their row is still there.
  for (auto& [recordID, group] : gone) {
    if (const LMGroupRelation* row = rowFor(byRecord, group.recordID)) {
      group.serverID = row->serverID();
      group.sync = row->localServerSync();
      local_.deleteGroups.emplace(recordID, std::move(group));
    }
  }
  groupSnapshot_.reset();

  if (!local_.addGroups.empty()) LM_LOG_DEBUG("local group add: {}", valuesOf(local_.addGroups));
  if (!local_.modifyGroups.empty()) {
    LM_LOG_DEBUG("local group modify: {}", valuesOf(local_.modifyGroups));
  }
  if (!local_.deleteGroups.empty()) {
    LM_LOG_DEBUG("local group delete: {}", valuesOf(local_.deleteGroups));
  }
  return platform::Status::success();
}

platform::Status LMManagedRecordContext::updateLocalDatabaseGroupMembers(
    ab::AddressBook* addressBook, const ab::Record& source) {
  auto read = searchAllGroupRelations();
  if (!read.ok()) return read.error();
  const std::vector<LMGroupRelation>& rows = *read;
  const auto byRecord = firstRowByRecordID(rows);
  std::vector<LMGroupRelation> changed;
  for (const auto& [recordID, group] : searchAllLocalGroups(addressBook, source)) {
    const LMGroupRelation* row = rowFor(byRecord, group.recordID);
    if (row == nullptr) continue;
    LMGroupRelation updated = *row;
    if (group.memberIDs.empty()) {
      updated.setLocalJsonString(std::nullopt);
    } else {
      auto text = LMUtils::stringFromJSONObject(
          platform::Json(std::vector<std::int32_t>(group.memberIDs.begin(), group.memberIDs.end())));
      if (!text) return text.error();
      updated.setLocalJsonString(std::move(*text));
    }
    changed.push_back(std::move(updated));
  }
  // A row that cannot be written is logged and passed over: the contacts are
  // synced already, and the next sync records its members again.
  return performBatch([&]() -> platform::Status {
    for (const LMGroupRelation& row : changed) {
      if (!updateGroupRelation(row)) {
        LM_LOG_ERROR("Cannot record the members of group {}", row.recordID().value_or(-1));
      }
    }
    return platform::Status::success();
  });
}

// ---- Snapshot file and caches ----

bool LMManagedRecordContext::clearLocalSyncGroupDic() {
  groupSnapshot_.reset();
  return platform::KeyedArchive().writeToFile(localSyncGroupPath()).ok();
}

void LMManagedRecordContext::clearCacheData() {
  local_ = {};
  cloud_ = {};
  groupSnapshot_.reset();
}

}  // namespace lumora
