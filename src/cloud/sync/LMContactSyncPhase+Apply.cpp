// The contact phase's last stage: the cloud's adds, changes and deletions
// written into the synced source with their groups (saved in batches), then
// the relation rows in one store batch, and the reports.
#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMContactSyncPhase.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

}  // namespace

platform::Status LMContactSyncPhase::saveAtCadence() {
  if (byteCounter_ / (1u << 20) >= kBytesPerSave / (1u << 20) || recordCounter_ >= kRecordsPerSave) {
    byteCounter_ = 0;
    recordCounter_ = 0;
    return LMManagedRecordContext::saveAddressBook(book_.get());
  }
  ++recordCounter_;
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::apply() {
  // A cloud change whose person is gone here (deleted since the changes
  // were found) is created again, as a change against a local deletion is;
  // otherwise its row would stay pending for ever.
  for (auto it = cloudModifies_.begin(); it != cloudModifies_.end();) {
    if (LMManagedRecordContext::recordABPersonWithRecordID(it->second.recordID, book_.get())) {
      ++it;
      continue;
    }
    it->second.recordID.reset();
    cloudAdds_.insert_or_assign(it->first, std::move(it->second));
    it = cloudModifies_.erase(it);
  }

  platform::Status applied = applyCloudAdds();
  if (applied.ok()) applied = applyCloudModifies();
  if (applied.ok()) applied = applyCloudDeletes();
  adapter_.callDelegateProcess(kLMSyncProcessCloudApplied);
  if (applied.ok()) applied = LMManagedRecordContext::saveAddressBook(book_.get());
  if (!applied.ok()) return applied;

  if (platform::Status written = writeRelations(); !written.ok()) return written;
  if (platform::Status saved = LMManagedRecordContext::saveAddressBook(book_.get()); !saved.ok()) return saved;
  adapter_.callDelegateProcess(kLMSyncProcessSaved);

  adapter_.notifyDelegate(&LMContactSyncAdapterDelegate::didAdapterSynchronizeLocalContacts,
                          static_cast<std::uint64_t>(cloudAdds_.size()), localModifyCount_,
                          static_cast<std::uint64_t>(cloudDeletes_.size()));
  adapter_.notifyDelegate(&LMContactSyncAdapterDelegate::didAdapterSynchronizeLumoraContacts, pushedAdds_,
                          pushedModifies_, pushedDeletes_);
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::applyCloudAdds() {
  for (auto& [serverID, cloud] : cloudAdds_) {
    ab::Record person = LMManagedRecordContext::createABPerson(book_.get(), source_);
    if (!person) continue;
    if (platform::Status merged = cloud.mergeToLocalRecord(person); !merged.ok()) return merged;
    if (platform::Result<bool> photo = applyCloudPhoto(cloud, person, std::nullopt, std::nullopt); !photo.ok()) {
      return photo.error();
    }
    // Its groups go with the person in the same save, so a stop before the
    // rows are written cannot leave it outside them; a group that cannot
    // take it is left as it is.
    auto groups = store_->localRecordIDsFromLumora(cloud.groupIDs);
    if (!groups) return groups.error();
    for (std::int32_t groupID : *groups) {
      ab::Record group = LMManagedRecordContext::recordABGroupWithRecordID(groupID, book_.get());
      if (group) (void)group.addMember(person);
    }
    if (platform::Status saved = saveAtCadence(); !saved.ok()) return saved;
    addedPersons_.emplace_back(serverID, person);
  }
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::applyCloudModifies() {
  for (auto& [serverID, cloud] : cloudModifies_) {
    ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(cloud.recordID, book_.get());
    if (!person) continue;
    std::optional<LMContact> local = LMContact::initWithABRecord(person);
    if (!local) continue;
    auto row = store_->searchContactRelationByRecordID(cloud.recordID);
    if (!row) return row.error();
    if (*row) local->loadSyncInfoWithRelation(**row);
    // The digest of the cloud's photo as this device knows it: the one it
    // pushed just now, or the one of its last sync when the cloud's photo
    // is still that one.
    std::optional<std::string> known = cloud.photoDigest;
    if (!known && photoFileIdOf(*local) == photoFileIdOf(cloud)) known = local->photoDigest;
    platform::Result<bool> photo = applyCloudPhoto(cloud, person, pictureDigestOf(person), known);
    if (!photo.ok()) return photo.error();
    bool changed = *photo;
    local->photoDigest = cloud.photoDigest;
    local->setPhotoArray(cloud.photoArray());
    // Against the person as the cloud reader would give it back: a name
    // the reader only rearranges is not rewritten.
    const LMContact ruled = local->withCloudNameRule();
    if (!cloud.isEqualToRecord(&ruled)) {
      if (platform::Status merged = cloud.mergeToLocalRecord(person); !merged.ok()) return merged;
      changed = true;
    }
    if (platform::Status grouped = applyGroups(cloud, person, changed); !grouped.ok()) return grouped;
    if (changed) ++localModifyCount_;
    if (platform::Status saved = saveAtCadence(); !saved.ok()) return saved;
    modifiedPersons_.emplace_back(serverID, person);
  }
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::applyGroups(const LMContact& cloud, const ab::Record& person, bool& changed) {
  auto found = store_->localRecordIDsFromLumora(cloud.groupIDs);
  if (!found) return found.error();
  const std::set<std::int32_t>& wanted = *found;
  std::set<std::int32_t> now;
  if (cloud.recordID) {
    if (auto found = currentMembership_.find(*cloud.recordID); found != currentMembership_.end()) now = found->second;
  }
  if (wanted == now) return platform::Status::success();
  changed = true;
  for (std::int32_t groupID : wanted) {
    if (now.erase(groupID) != 0) continue;
    ab::Record group = LMManagedRecordContext::recordABGroupWithRecordID(groupID, book_.get());
    if (!group) continue;
    if (platform::Status added = group.addMember(person); !added.ok()) return addressBookFailure(added.error());
  }
  for (std::int32_t groupID : now) {
    ab::Record group = LMManagedRecordContext::recordABGroupWithRecordID(groupID, book_.get());
    if (!group) continue;
    if (platform::Status removed = group.removeMember(person); !removed.ok()) {
      return addressBookFailure(removed.error());
    }
  }
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::applyCloudDeletes() {
  for (auto& [serverID, row] : cloudDeletes_) {
    ab::Record person = LMManagedRecordContext::recordABPersonWithRecordID(row.recordID(), book_.get());
    if (person) {
      if (!LMManagedRecordContext::deleteABRecord(person, book_.get())) continue;  // the row stays
      if (recordCounter_ < kRecordsPerSave) {
        ++recordCounter_;
      } else {
        recordCounter_ = 0;
        if (platform::Status saved = LMManagedRecordContext::saveAddressBook(book_.get()); !saved.ok()) return saved;
      }
    }
    // Gone already, or removed now: the row's deletion is settled.
    row.setServerStatus(std::string(kLMRelationStatusDefault));
    deletedRelations_.push_back(row);
  }
  return platform::Status::success();
}

platform::Status LMContactSyncPhase::writeRelations() {
  // The persons made and changed above, as saved (new ones have their ids
  // now), with their rows.
  auto rowFor = [this](std::int64_t serverID, const ab::Record& person, LMContact& cloud) -> platform::Status {
    ab::Record saved = LMManagedRecordContext::recordABPersonWithRecordID(person.id(), book_.get());
    if (!saved) return platform::Status::success();
    std::optional<LMContact> local = LMContact::initWithABRecord(saved);
    if (!local) return platform::Status::success();
    cloud.recordID = local->recordID;
    cloud.modificationTime = local->modificationTime;
    auto found = store_->searchContactRelationByServerID(serverID);
    if (!found) return found.error();
    const std::optional<LMContactRelation>& row = *found;
    LMContactRelation filled = row.value_or(LMContactRelation());
    LMContactSyncAdapter::relation(filled, cloud);
    if (row) {
      store_->updateContactRelation(filled);
    } else {
      store_->addContactRelation(filled);
    }
    return platform::Status::success();
  };
  return store_->performBatch([&]() -> platform::Status {
    for (LMContactRelation& row : newRelations_) store_->addContactRelation(row);
    for (LMContactRelation& row : updatedRelations_) store_->updateContactRelation(row);
    for (const LMContactRelation& row : deletedRelations_) store_->deleteContactRelation(row);
    for (const auto& [serverID, person] : addedPersons_) {
      if (auto written = rowFor(serverID, person, cloudAdds_.at(serverID)); !written) return written;
    }
    for (const auto& [serverID, person] : modifiedPersons_) {
      if (auto written = rowFor(serverID, person, cloudModifies_.at(serverID)); !written) return written;
    }
    // Every add sent has its row now, or was settled by this sync.
    if (!store_->clearPendingContactAdds()) {
      return LMManagedRecordContextDatabase::error("The contacts in flight cannot be cleared.");
    }
    return platform::Status::success();
  });
}

}  // namespace lumora
