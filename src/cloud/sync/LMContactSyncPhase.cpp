// The contact phase: running it, and the reconciliation of the local and the
// cloud changes up to the list of operations to push.
#include "cloud/sync/LMContactSyncPhase.h"

#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/Bytes.h"
#include "platform/Random.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

std::set<std::int32_t> asRecordIDs(const std::set<std::int64_t>& ids) {
  std::set<std::int32_t> recordIDs;
  for (std::int64_t id : ids) recordIDs.insert(static_cast<std::int32_t>(id));
  return recordIDs;
}

// Each member's groups, from a list of groups with their members.
template <class Groups>
std::map<std::int32_t, std::set<std::int32_t>> membershipOf(const Groups& groups) {
  std::map<std::int32_t, std::set<std::int32_t>> membership;
  for (const auto& [recordID, group] : groups) {
    for (std::int32_t member : group.memberIDs) membership[member].insert(recordID);
  }
  return membership;
}

template <class Map>
std::vector<typename Map::key_type> keysOf(const Map& map) {
  std::vector<typename Map::key_type> keys;
  keys.reserve(map.size());
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

}  // namespace

LMContactSyncPhase::LMContactSyncPhase(LMContactSyncAdapter& adapter)
    : adapter_(adapter), store_(adapter.context()) {}

LMContactSyncPhase::Outcome LMContactSyncPhase::run() {
  adapter_.notifyDelegate(&LMContactSyncAdapterDelegate::willAdapterSynchronizeContacts);
  Outcome outcome;
  book_ = LMContactSyncAdapter::openAddressBook();
  source_ = LMManagedRecordContext::defaultSourceInAddressBook(book_.get());
  if (!source_) {
    outcome.result = LMContactSyncAdapter::invalidSourceError();
    return outcome;
  }
  if (auto mark = book_->storeMark(); mark.ok()) bookMark_ = std::move(*mark);
  platform::Status result = reconcile();
  if (result.ok()) result = push();
  if (result.ok()) result = apply();
  outcome.mismatch = mismatch_;
  outcome.result = result;
  if (result.ok()) outcome.count = static_cast<std::int64_t>(pushedAdds_) - static_cast<std::int64_t>(pushedDeletes_);
  return outcome;
}

std::set<std::int64_t> LMContactSyncPhase::currentGroupsOf(std::int32_t recordID) const {
  auto found = currentMembership_.find(recordID);
  if (found == currentMembership_.end()) return {};
  return std::set<std::int64_t>(found->second.begin(), found->second.end());
}

platform::Status LMContactSyncPhase::reconcile() {
  if (platform::Status loaded = store_->loadLocalChangedContactsIgnoreGroupChanges(book_.get(), source_);
      !loaded.ok()) {
    return loaded;
  }
  auto snapshot = store_->localSyncGroupDic();
  if (!snapshot.ok()) return snapshot.error();
  storedMembership_ = membershipOf(*snapshot);
  currentMembership_ = membershipOf(LMManagedRecordContext::searchAllLocalGroups(book_.get(), source_));
  localAdds_ = store_->localAddContactDic();
  localModifies_ = store_->localModifyContactDic();
  localDeletes_ = store_->localDeleteContactDic();
  cloudAdds_ = store_->lumoraAddContactDic();
  cloudModifies_ = store_->lumoraModifyContactDic();
  cloudDeletes_ = store_->lumoraDeleteContactDic();

  // New contacts send their photos first and carry their groups; being new
  // is not a group change.
  Membership storedCopy = storedMembership_;
  Membership currentCopy = currentMembership_;
  for (auto& [recordID, contact] : localAdds_) {
    if (platform::Status uploaded = uploadPhoto(contact); !uploaded.ok()) return uploaded;
    if (platform::Status saved = saveAfterPhotoBytes(); !saved.ok()) return saved;
    contact.groupIDs = currentGroupsOf(recordID);
    storedCopy.erase(recordID);
    currentCopy.erase(recordID);
  }
  if (platform::Status settled = settleAddsInFlight(); !settled.ok()) return settled;
  pairAddedOnBothSides();

  // A contact whose group membership changed since the last sync is sent as
  // modified too.
  for (const auto& [recordID, groups] : currentCopy) {
    auto stored = storedCopy.find(recordID);
    if (stored != storedCopy.end() && stored->second == groups) {
      storedCopy.erase(stored);
    } else if (localModifies_.count(recordID) == 0) {
      if (platform::Status loaded = loadGroupOnlyChange(recordID); !loaded.ok()) return loaded;
    }
  }
  for (const auto& [recordID, groups] : storedCopy) {
    if (localModifies_.count(recordID) != 0) continue;
    if (platform::Status loaded = loadGroupOnlyChange(recordID); !loaded.ok()) return loaded;
  }

  if (platform::Status settled = settleLocalModifiesDeletedInCloud(); !settled.ok()) return settled;
  settleCloudModifiesDeletedHere();
  for (auto& [recordID, contact] : localModifies_) {
    if (platform::Status prepared = preparePhoto(contact); !prepared.ok()) return prepared;
    if (platform::Status saved = saveAfterPhotoBytes(); !saved.ok()) return saved;
  }
  settleDeletedOnBothSides();
  return buildOperations();
}

void LMContactSyncPhase::linkPair(LMContact& cloud, LMContact& local) {
  cloud.recordID = local.recordID;
  cloud.modificationTime = local.modificationTime;
  local.serverID = cloud.serverID;
  local.sync = cloud.sync;
  // The local photo stays when it is one the cloud does not know.
  const bool ownPhoto = platform::hasText(local.photoId) && !LMUtils::isString(local.photoId, cloud.photoId) &&
                        !LMUtils::isString(local.photoId, cloud.thumbnailId);
  if (!ownPhoto) {
    local.setPhotoArray(cloud.photoArray());
    // Without a picture here the pair would push the cloud's photo away:
    // it is fetched into the person first, like a failed download.
    if (!local.hasPhoto && photoFileIdOf(local)) local.isPhotoDownloadFail = true;
  }
}

void LMContactSyncPhase::pairAddedOnBothSides() {
  // Equal records first, over every cloud add; then records that can be
  // merged into one. Each record is paired at most once; the pair is sent
  // as a change of the cloud's record.
  for (bool merge : {false, true}) {
    for (std::int64_t serverID : keysOf(cloudAdds_)) {
      auto cloud = cloudAdds_.find(serverID);
      if (cloud == cloudAdds_.end()) continue;
      for (auto local = localAdds_.begin(); local != localAdds_.end(); ++local) {
        const bool pairs = merge ? !cloud->second.hasConflictWithContact(&local->second)
                                 : cloud->second.isEqualToRecord(&local->second);
        if (!pairs) continue;
        pairUp(cloud, local, merge);
        break;
      }
    }
  }
}

void LMContactSyncPhase::pairUp(std::map<std::int64_t, LMContact>::iterator cloud,
                                std::map<std::int32_t, LMContact>::iterator local, bool merge) {
  linkPair(cloud->second, local->second);
  if (merge) cloud->second.mergeWithRecord(&local->second);
  const std::int32_t recordID = local->first;
  localModifies_.insert_or_assign(recordID, std::move(local->second));
  localAdds_.erase(local);
  cloudAdds_.erase(cloud);
}

platform::Status LMContactSyncPhase::loadGroupOnlyChange(std::int32_t recordID) {
  const ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(recordID, book_.get());
  auto found = store_->searchContactRelationByRecordID(recordID);
  if (!found) return found.error();
  const std::optional<LMContactRelation>& row = *found;
  if (!person || !row) return platform::Status::success();
  std::optional<LMContact> contact = LMContact::initWithABRecord(person);
  if (!contact) return platform::Status::success();
  contact->loadSyncInfoWithRelation(*row);
  contact->sync = row->localServerSync();
  localModifies_.insert_or_assign(recordID, std::move(*contact));
  groupOnly_.insert(recordID);
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::settleLocalModifiesDeletedInCloud() {
  for (std::int32_t recordID : keysOf(localModifies_)) {
    LMContact& contact = localModifies_.at(recordID);
    contact.groupIDs = currentGroupsOf(recordID);
    auto deleted = contact.serverID ? cloudDeletes_.find(*contact.serverID) : cloudDeletes_.end();
    if (deleted == cloudDeletes_.end()) continue;
    if (groupOnly_.count(recordID) != 0) {
      // Only its groups changed here: the cloud's deletion stands.
      localModifies_.erase(recordID);
      continue;
    }
    // Edited here: the contact stays and goes to the cloud again as a new
    // record. The old row goes with the old record, or the next sync would
    // take its deletion and remove the person.
    if (platform::Status prepared = preparePhoto(contact); !prepared.ok()) return prepared;
    if (platform::Status saved = saveAfterPhotoBytes(); !saved.ok()) return saved;
    deletedRelations_.push_back(std::move(deleted->second));
    cloudDeletes_.erase(deleted);
    contact.serverID.reset();
    localAdds_.insert_or_assign(recordID, std::move(contact));
    localModifies_.erase(recordID);
  }
  return platform::Status::success();
}

void LMContactSyncPhase::settleCloudModifiesDeletedHere() {
  // Edited in the cloud, deleted here: the cloud wins and the contact is
  // created here again.
  for (std::int64_t serverID : keysOf(cloudModifies_)) {
    LMContact& contact = cloudModifies_.at(serverID);
    auto deleted = contact.recordID ? localDeletes_.find(*contact.recordID) : localDeletes_.end();
    if (deleted == localDeletes_.end()) continue;
    localDeletes_.erase(deleted);
    contact.recordID.reset();
    cloudAdds_.insert_or_assign(serverID, std::move(contact));
    cloudModifies_.erase(serverID);
  }
}

void LMContactSyncPhase::settleDeletedOnBothSides() {
  for (auto it = localDeletes_.begin(); it != localDeletes_.end();) {
    auto deleted = it->second.serverID() ? cloudDeletes_.find(*it->second.serverID()) : cloudDeletes_.end();
    if (deleted == cloudDeletes_.end()) {
      ++it;
      continue;
    }
    deletedRelations_.push_back(it->second);
    cloudDeletes_.erase(deleted);
    it = localDeletes_.erase(it);
  }
}

platform::Status LMContactSyncPhase::buildOperations() {
  auto add = [this](const LMContact& contact, std::int32_t type) -> platform::Status {
    auto groups = store_->lumoraRecordIDsFromLocal(asRecordIDs(contact.groupIDs));
    if (!groups) return groups.error();
    auto record = std::make_shared<LMContact>(contact);
    record->groupIDs = std::move(*groups);
    operations_.emplace_back(std::move(record), type);
    return platform::Status::success();
  };
  // A new add: its own mark, kept with it while it is in flight; none while
  // earlier adds may have gone unrecorded (a damaged store made again).
  const bool marked = !store_->addsInFlightMayBeLost();
  for (const auto& [recordID, contact] : localAdds_) {
    if (auto added = add(contact, LMContactOperation::kTypeAdd); !added) return added;
    if (marked) operations_.back().setMark(platform::randomUUIDString());
  }
  for (const auto& [recordID, contact] : localModifies_) {
    if (auto added = add(contact, LMContactOperation::kTypeModify); !added) return added;
  }
  for (const auto& [recordID, row] : localDeletes_) {
    auto record = std::make_shared<LMContact>();
    record->recordID = row.recordID();
    record->serverID = row.serverID();
    record->sync = row.serverSync();
    operations_.emplace_back(std::move(record), LMContactOperation::kTypeDelete);
  }
  return platform::Status::success();
}

}  // namespace lumora
