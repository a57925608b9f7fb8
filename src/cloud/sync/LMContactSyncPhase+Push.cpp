// The contact phase's push: the local changes in batches of five, and what
// each confirmation brings back (relation rows of added records, the cloud's
// versions of changed records to write here, deletions).
#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "cloud/sync/LMContactBatchReply.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMContactSyncPhase.h"

namespace lumora {

platform::Status LMContactSyncPhase::push() {
  return adapter_.pushInBatches(
      operations_,
      [this](const std::vector<LMContactOperation>& batch) {
        adapter_.callDelegateProcess(kLMSyncProcessPushBatch);
        return recordAddsInFlight(batch);
      },
      [this](const LMContactOperation& operation, const platform::Json& item) {
        return takeConfirmation(operation, item);
      });
}

platform::Status LMContactSyncPhase::recordAddsInFlight(const std::vector<LMContactOperation>& batch) {
  // What each add sends, kept until the rows are written: should the reply
  // be lost, the next sync knows the records the adds made by it.
  std::map<std::int32_t, std::string> contents;
  for (const LMContactOperation& operation : batch) {
    if (operation.type() != LMContactOperation::kTypeAdd || !operation.record()->recordID) continue;
    platform::Json content = operation.record()->dictionaryForLumoraJSON().value("content", platform::Json::object());
    contents.emplace(*operation.record()->recordID, content.dump());
  }
  return store_->recordPendingContactAdds(contents);
}

platform::Status LMContactSyncPhase::settleAddsInFlight() {
  auto pending = store_->pendingContactAddRecords();
  if (!pending) return pending.error();
  // Records deleted in the cloud that have a row but no person here: the
  // listing keeps these only for records an add in flight may have made.
  std::map<std::int64_t, LMContact> unheard;
  for (const auto& [serverID, row] : cloudDeletes_) {
    if (row.recordID() && *row.recordID() != platform::addressbook::kInvalidRecordId) continue;
    const platform::Json content = platform::Json::parse(row.jsonString().value_or(""), nullptr, false);
    std::optional<LMContact> record =
        content.is_object() ? LMContact::initWithLumoraJSON(content) : std::optional<LMContact>();
    unheard.emplace(serverID, record.value_or(LMContact()));
  }
  auto forget = [this](std::int64_t serverID) {
    auto row = cloudDeletes_.find(serverID);
    deletedRelations_.push_back(std::move(row->second));
    cloudDeletes_.erase(row);
  };

  for (const auto& entry : *pending) {
    const std::int32_t recordID = entry.first;
    const LMContact& sent = entry.second;
    auto local = localAdds_.find(recordID);
    auto made = std::find_if(cloudAdds_.begin(), cloudAdds_.end(),
                             [&](const auto& cloud) { return cloud.second.isEqualToRecord(&sent); });
    if (made != cloudAdds_.end()) {
      if (local != localAdds_.end()) {
        // Still here, perhaps changed since: the pair is the cloud's record.
        pairUp(made, local, false);
      } else if (!LMManagedRecordContext::recordABPersonWithRecordID(recordID, book_.get())) {
        // Deleted here since: the deletion goes to the record the add made.
        LMContactRelation row;
        row.setRecordID(recordID);
        row.setServerID(made->first);
        row.setServerSync(made->second.sync);
        localDeletes_.insert_or_assign(recordID, std::move(row));
        cloudAdds_.erase(made);
      }
      continue;
    }
    auto gone = std::find_if(unheard.begin(), unheard.end(),
                             [&](const auto& record) { return record.second.isEqualToRecord(&sent); });
    if (gone == unheard.end()) continue;
    if (local != localAdds_.end() && sent.isEqualToRecord(&local->second)) {
      // Deleted in the cloud, unchanged here: the person is deleted here,
      // as with any deletion from the cloud.
      cloudDeletes_.at(gone->first).setRecordID(recordID);
      localAdds_.erase(local);
    } else {
      // Edited here since (it goes up as a new record), or gone here too.
      forget(gone->first);
    }
    unheard.erase(gone);
  }
  // Rows of deleted records that no add in flight made: nothing to do.
  for (const auto& [serverID, record] : unheard) forget(serverID);
  return platform::Status::success();
}

platform::Result<bool> LMContactSyncPhase::groupsKnownHere(const LMContact& cloud) {
  auto known = store_->localRecordIDsFromLumora(cloud.groupIDs);
  if (!known) return known.error();
  return known->size() == cloud.groupIDs.size();
}

void LMContactSyncPhase::deleteHere(std::int64_t serverID, std::optional<std::int32_t> recordID) {
  LMContactRelation& gone = cloudDeletes_[serverID];
  gone = LMContactRelation();
  gone.setRecordID(recordID);
  gone.setServerID(serverID);
}

platform::Status LMContactSyncPhase::takeConfirmation(const LMContactOperation& operation,
                                                      const platform::Json& item) {
  auto content = batchItemContent(item, "contact");
  if (!content) return platform::Status::success();
  std::optional<LMContact> cloud = LMContact::initWithLumoraJSON(*content);
  if (!cloud || !cloud->serverID) return platform::Status::success();
  const auto& local = static_cast<const LMContact&>(*operation.record());
  const std::int64_t serverID = *cloud->serverID;
  auto found = store_->searchContactRelationByServerID(serverID);
  if (!found) return found.error();
  std::optional<LMContactRelation> row = std::move(*found);
  auto known = groupsKnownHere(*cloud);
  if (!known) return known.error();
  const bool deleted = cloud->status == kLMRecordStatusDeleted;

  switch (operation.type()) {
    case LMContactOperation::kTypeDelete:
      if (!deleted) {
        // The cloud keeps the contact: it is created here again.
        if (*known) {
          cloudAdds_.insert_or_assign(serverID, std::move(*cloud));
        } else {
          mismatch_ = true;
        }
      } else if (row) {
        deletedRelations_.push_back(std::move(*row));
        ++pushedDeletes_;
      }
      break;
    case LMContactOperation::kTypeModify:
      cloudModifies_.erase(serverID);
      if (deleted) {
        // Deleted in the cloud meanwhile: the person goes here too.
        deleteHere(serverID, local.recordID);
      } else if (*known) {
        // A change went up only when the cloud kept what was sent; a reply
        // with a record of its own is a change coming down.
        LMContact sent = local.withCloudNameRule();
        sent.setPhotoArray(cloud->photoArray());
        if (cloud->isEqualToRecord(&sent)) ++pushedModifies_;
        // The cloud's version is written back into the person (when it
        // differs) and its row follows it.
        cloud->recordID = local.recordID;
        cloud->modificationTime = local.modificationTime;
        // The photo it kept is the one pushed, whose digest is known here.
        if (photoFileIdOf(*cloud) == photoFileIdOf(local)) cloud->photoDigest = local.photoDigest;
        cloudModifies_.insert_or_assign(serverID, std::move(*cloud));
      } else {
        mismatch_ = true;
        ++pushedModifies_;
      }
      break;
    case LMContactOperation::kTypeAdd: {
      if (deleted) {
        // The record an earlier send of this add made (its reply was lost),
        // deleted in the cloud since: the person goes here too.
        deleteHere(serverID, local.recordID);
        break;
      }
      cloud->recordID = local.recordID;
      cloud->modificationTime = local.modificationTime;
      cloud->photoDigest = local.photoDigest;
      LMContactRelation filled = row.value_or(LMContactRelation());
      LMContactSyncAdapter::relation(filled, *cloud);
      (row ? updatedRelations_ : newRelations_).push_back(std::move(filled));
      ++pushedAdds_;
      break;
    }
    default:
      break;
  }
  return platform::Status::success();
}

}  // namespace lumora
