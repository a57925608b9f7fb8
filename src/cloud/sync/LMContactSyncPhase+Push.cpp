// The contact phase's push: the local changes in batches of five, and what
// each confirmation brings back (relation rows of added records, the cloud's
// versions of changed records to write here, deletions).
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

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
  // What each add sends, its mark and the book it was made in, kept until
  // the rows are written: should the reply be lost, the next sync sends the
  // add again as it went and the cloud knows it by its mark.
  LMPendingContactAdds adds;
  for (const LMContactOperation& operation : batch) {
    if (operation.type() != LMContactOperation::kTypeAdd || !operation.record()->recordID) continue;
    platform::Json content = operation.record()->dictionaryForLumoraJSON().value("content", platform::Json::object());
    adds.emplace(*operation.record()->recordID, LMPendingContactAdd{content.dump(), operation.mark(), bookMark_});
  }
  return store_->recordPendingContactAdds(adds);
}

platform::Status LMContactSyncPhase::settleAddsInFlight() {
  auto pending = store_->pendingContactAdds();
  if (!pending) return pending.error();
  // Each add is sent again as it went: its content as kept (never read
  // into a contact and written out again, which would rearrange a name),
  // under its key and its mark. The cloud answers with the record that add
  // made, as it holds it now, or makes it now when the first send never
  // arrived. Only that answer tells this device's record from another's
  // with the same content.
  std::vector<LMContactOperation> resends;
  // Adds made in a book that was replaced since (its mark is not this
  // book's), or in a book nothing tells (one that may have been): their
  // ids may now name whoever the new book gave them to.
  std::set<std::int32_t> madeInAnotherBook;
  for (auto& [recordID, add] : *pending) {
    const bool added = localAdds_.count(recordID) != 0;
    // A person here that is no add has its row already.
    if (!added && LMManagedRecordContext::recordABPersonWithRecordID(recordID, book_.get())) continue;
    platform::Json content = platform::Json::parse(add.content, nullptr, false);
    if (!content.is_object()) continue;
    std::optional<LMContact> sent = LMContact::initWithLumoraJSON(content);
    if (!sent) continue;
    auto record = std::make_shared<LMContact>(std::move(*sent));
    record->recordID = recordID;
    LMContactOperation& resend = resends.emplace_back(std::move(record), LMContactOperation::kTypeAdd);
    resend.setSentContent(std::move(content));
    resend.setMark(add.mark);
    // Recorded before its first send went (by this form of the store or an
    // earlier one): this send is a repeat.
    resend.setResent(true);
    if (!add.book || (bookMark_ && *add.book != *bookMark_)) madeInAnotherBook.insert(recordID);
  }
  return adapter_.pushInBatches(
      resends,
      [this](const std::vector<LMContactOperation>&) {
        adapter_.callDelegateProcess(kLMSyncProcessPushBatch);
        return platform::Status::success();
      },
      [&](const LMContactOperation& resent, const platform::Json& item) {
        return settleAddInFlight(resent, item, madeInAnotherBook.count(*resent.record()->recordID) != 0);
      });
}

bool LMContactSyncPhase::sameFields(const LMContact& record, const LMContact& local) {
  // The person as the cloud reader gives it back.
  const LMContact ruled = local.withCloudNameRule();
  return record.isEqualToRecord(&ruled);
}

platform::Result<bool> LMContactSyncPhase::sameAsHere(const LMContact& record, const LMContact& local) {
  if (!sameFields(record, local)) return false;
  std::set<std::int32_t> groups;
  for (std::int64_t id : local.groupIDs) groups.insert(static_cast<std::int32_t>(id));
  auto cloudGroups = store_->lumoraRecordIDsFromLocal(groups);
  if (!cloudGroups) return cloudGroups.error();
  return *cloudGroups == record.groupIDs;
}

platform::Status LMContactSyncPhase::settleAddInFlight(const LMContactOperation& resent, const platform::Json& item,
                                                       bool madeInAnotherBook) {
  auto content = batchItemContent(item, "contact");
  if (!content) return platform::Status::success();
  std::optional<LMContact> cloud = LMContact::initWithLumoraJSON(*content);
  if (!cloud || !cloud->serverID) return platform::Status::success();
  const auto& sent = static_cast<const LMContact&>(*resent.record());
  const std::int32_t recordID = *sent.recordID;
  const std::int64_t serverID = *cloud->serverID;
  const bool deleted = cloud->status == kLMRecordStatusDeleted;
  // The listing may have brought the record as new to this device.
  cloudAdds_.erase(serverID);
  auto local = localAdds_.find(recordID);
  if (madeInAnotherBook && (local == localAdds_.end() || !sameFields(sent, local->second))) {
    // Nobody here is the person the add carried: whoever holds its id now
    // is new here and goes up as such, and the record the add made, when
    // the cloud keeps it, comes here as a new person. Nobody deleted or
    // changed it: its book was (or may have been) replaced.
    if (!deleted) {
      cloud->recordID.reset();
      cloudAdds_.insert_or_assign(serverID, std::move(*cloud));
    }
    return platform::Status::success();
  }

  if (local == localAdds_.end()) {
    // Deleted here since: the deletion goes to the record the add made.
    if (!deleted) {
      LMContactRelation row;
      row.setRecordID(recordID);
      row.setServerID(serverID);
      row.setServerSync(cloud->sync);
      localDeletes_.insert_or_assign(recordID, std::move(row));
    }
    return platform::Status::success();
  }
  // Unchanged since the add went: fields, photo and groups as sent.
  auto unchanged = sameAsHere(sent, local->second);
  if (!unchanged) return unchanged.error();
  if (deleted) {
    // Deleted in the cloud: an unchanged person goes here too (as the
    // add's own answer says); an edited one goes up as a new record.
    if (!*unchanged) return platform::Status::success();
    deleteHere(serverID, recordID);
    localAdds_.erase(local);
    return platform::Status::success();
  }
  auto same = sameAsHere(*cloud, local->second);
  if (!same) return same.error();
  if (*same) {
    // The cloud holds the person as it is here: the add is done.
    platform::Status taken =
        takeConfirmation(LMContactOperation(std::make_shared<LMContact>(local->second), LMContactOperation::kTypeAdd),
                         item);
    localAdds_.erase(local);
    return taken;
  }
  if (*unchanged) {
    // Changed in the cloud since the add: the cloud's version comes here.
    cloud->recordID = recordID;
    cloud->modificationTime = local->second.modificationTime;
    cloudModifies_.insert_or_assign(serverID, std::move(*cloud));
    localAdds_.erase(local);
    return platform::Status::success();
  }
  // Changed here since (its fields, photo or groups): the change goes up
  // as a change of the record.
  auto made = cloudAdds_.insert_or_assign(serverID, std::move(*cloud)).first;
  pairUp(made, local, false);
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
