// The group phase: the synced source's groups and the cloud's groups brought
// in step in both directions, with their relation rows.
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cloud/sync/LMContactBatchReply.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/Bytes.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

// A row in step between the local group `local` and the cloud group `cloud`.
void fillRow(LMGroupRelation& row, const LMGroup& local, const LMGroup& cloud) {
  row.setRecordID(local.recordID);
  row.setLocalName(cloud.name);
  row.setLocalServerSync(cloud.sync);
  row.setServerID(cloud.serverID);
  row.setServerSync(cloud.sync);
  row.setServerName(cloud.name);
  row.setServerStatus(std::string(kLMRelationStatusDefault));
}

// The phase's working values and the rows it writes at the end.
struct GroupPhase {
  std::map<std::int32_t, LMGroup> localAdds, localModifies, localDeletes;
  std::map<std::int64_t, LMGroup> cloudAdds, cloudModifies, cloudDeletes;
  std::vector<LMGroupRelation> added, updated, deleted;
  std::uint64_t pushedAdds = 0, pushedModifies = 0, pushedDeletes = 0;

  // Groups added on both sides with the same name become one.
  platform::Status pairByName(LMManagedRecordContext& store) {
    std::map<std::string, std::deque<std::int32_t>> localByName;
    for (const auto& [recordID, group] : localAdds) localByName[group.name.value_or("")].push_back(recordID);
    for (auto it = cloudAdds.begin(); it != cloudAdds.end();) {
      LMGroup& cloud = it->second;
      auto& candidates = localByName[cloud.name.value_or("")];
      if (candidates.empty()) {
        ++it;
        continue;
      }
      LMGroup& local = localAdds.at(candidates.front());
      candidates.pop_front();
      local.serverID = cloud.serverID;
      local.sync = cloud.sync;
      cloud.recordID = local.recordID;
      auto found = store.searchGroupRelationByServerID(cloud.serverID);
      if (!found) return found.error();
      if (auto& row = *found) {
        fillRow(*row, local, cloud);
        row->setLocalName(local.name);
        row->setLocalJsonString(std::nullopt);
        updated.push_back(std::move(*row));
      }
      localAdds.erase(*local.recordID);
      it = cloudAdds.erase(it);
    }
    return platform::Status::success();
  }

  platform::Status resolveConflicts(LMManagedRecordContext& store) {
    // Changed here, deleted in the cloud: the deletion wins.
    std::erase_if(localModifies, [&](const auto& entry) {
      return entry.second.serverID && cloudDeletes.count(*entry.second.serverID) != 0;
    });
    // Changed in the cloud, deleted here: the deletion is sent against the
    // newest version.
    std::erase_if(cloudModifies, [&](const auto& entry) {
      auto deleted = entry.second.recordID ? localDeletes.find(*entry.second.recordID) : localDeletes.end();
      if (deleted == localDeletes.end()) return false;
      deleted->second.sync = entry.second.sync;
      return true;
    });
    // Deleted on both sides: only the row goes.
    for (auto it = localDeletes.begin(); it != localDeletes.end();) {
      const LMGroup& group = it->second;
      if (!group.serverID || cloudDeletes.count(*group.serverID) == 0) {
        ++it;
        continue;
      }
      auto row = store.searchGroupRelationByRecordID(group.recordID);
      if (!row) return row.error();
      if (!*row) {
        ++it;
        continue;
      }
      cloudDeletes.erase(*(*row)->serverID());
      deleted.push_back(std::move(**row));
      it = localDeletes.erase(it);
    }
    return platform::Status::success();
  }

  std::vector<LMContactOperation> operations() const {
    std::vector<LMContactOperation> list;
    for (const auto& [id, group] : localAdds) {
      list.emplace_back(std::make_shared<LMGroup>(group), LMContactOperation::kTypeAdd);
    }
    for (const auto& [id, group] : localModifies) {
      list.emplace_back(std::make_shared<LMGroup>(group), LMContactOperation::kTypeModify);
    }
    for (const auto& [id, group] : localDeletes) {
      list.emplace_back(std::make_shared<LMGroup>(group), LMContactOperation::kTypeDelete);
    }
    return list;
  }

  // One confirmed change: the cloud's group as it now stands.
  platform::Status take(LMManagedRecordContext& store, const LMContactOperation& operation,
                        const platform::Json& item) {
    auto content = batchItemContent(item, "group");
    if (!content) return platform::Status::success();
    std::optional<LMGroup> cloud = LMGroup::initWithLumoraJSON(*content);
    if (!cloud || !cloud->serverID) return platform::Status::success();
    const auto& local = static_cast<const LMGroup&>(*operation.record());
    auto found = store.searchGroupRelationByServerID(cloud->serverID);
    if (!found) return found.error();
    std::optional<LMGroupRelation> row = std::move(*found);
    auto keep = [&] {
      LMGroupRelation filled = row.value_or(LMGroupRelation());
      fillRow(filled, local, *cloud);
      (row ? updated : added).push_back(std::move(filled));
    };
    switch (operation.type()) {
      case LMContactOperation::kTypeDelete:
        if (cloud->status == kLMRecordStatusDeleted) {
          if (row) {
            deleted.push_back(std::move(*row));
            ++pushedDeletes;
          }
        } else {
          // The cloud keeps the group: it comes back here.
          cloudAdds.insert_or_assign(*cloud->serverID, std::move(*cloud));
        }
        break;
      case LMContactOperation::kTypeModify:
        cloudModifies.erase(*cloud->serverID);
        if (local.isEqualToRecord(&*cloud)) {
          keep();
          ++pushedModifies;
        } else {
          // The cloud holds another version: it is written here.
          cloud->recordID = local.recordID;
          cloudModifies.insert_or_assign(*cloud->serverID, std::move(*cloud));
        }
        break;
      case LMContactOperation::kTypeAdd:
        keep();
        ++pushedAdds;
        break;
      default:
        break;
    }
    return platform::Status::success();
  }
};

}  // namespace

platform::Status LMContactSyncAdapter::synchronizeGroups() {
  notifyDelegate(&LMContactSyncAdapterDelegate::willAdapterSynchronizeGroups);
  auto book = openAddressBook();
  const ab::Record source = LMManagedRecordContext::defaultSourceInAddressBook(book.get());
  if (!source) return invalidSourceError();

  auto store = context();
  if (platform::Status loaded = store->loadLocalChangedGroups(book.get(), source); !loaded.ok()) return loaded;
  GroupPhase phase;
  phase.localAdds = store->localAddGroupDic();
  phase.localModifies = store->localModifyGroupDic();
  phase.localDeletes = store->localDeleteGroupDic();
  phase.cloudAdds = store->lumoraAddGroupDic();
  phase.cloudModifies = store->lumoraModifyGroupDic();
  phase.cloudDeletes = store->lumoraDeleteGroupDic();
  if (platform::Status paired = phase.pairByName(*store); !paired.ok()) return paired;
  if (platform::Status resolved = phase.resolveConflicts(*store); !resolved.ok()) return resolved;
  platform::Status pushed = pushInBatches(
      phase.operations(), nullptr,
      [&](const LMContactOperation& operation, const platform::Json& item) { return phase.take(*store, operation, item); });
  if (!pushed.ok()) return pushed;

  // The cloud's changes into the address book.
  std::vector<std::pair<const LMGroup*, ab::Record>> created;
  for (const auto& [serverID, cloud] : phase.cloudAdds) {
    ab::Record group = LMManagedRecordContext::createABGroup(book.get(), source);
    if (!group) continue;
    (void)group.setName(cloud.name.value_or(kLMGroupDefaultName));
    created.emplace_back(&cloud, group);
  }
  for (const auto& [serverID, cloud] : phase.cloudModifies) {
    ab::Record group = LMManagedRecordContext::recordABGroupWithRecordID(cloud.recordID, book.get());
    if (!group) continue;
    (void)group.setName(cloud.name.value_or(kLMGroupDefaultName));
    auto found = store->searchGroupRelationByServerID(serverID);
    if (!found) return found.error();
    if (auto& row = *found) {
      row->setLocalName(cloud.name);
      row->setServerName(cloud.name);
      row->setLocalServerSync(cloud.sync);
      row->setServerSync(cloud.sync);
      row->setServerStatus(std::string(kLMRelationStatusDefault));
      phase.updated.push_back(std::move(*row));
    }
  }
  for (const auto& [serverID, cloud] : phase.cloudDeletes) {
    ab::Record group = LMManagedRecordContext::recordABGroupWithRecordID(cloud.recordID, book.get());
    if (!group || !LMManagedRecordContext::deleteABRecord(group, book.get())) continue;
    auto row = store->searchGroupRelationByServerID(serverID);
    if (!row) return row.error();
    if (*row) phase.deleted.push_back(std::move(**row));
  }
  if (platform::Status saved = LMManagedRecordContext::saveAddressBook(book.get()); !saved.ok()) return saved;

  // The rows, all together, once the address book holds the changes.
  platform::Status written = store->performBatch([&]() -> platform::Status {
    for (const LMGroupRelation& row : phase.added) store->addGroupRelation(row);
    for (const LMGroupRelation& row : phase.updated) store->updateGroupRelation(row);
    for (const LMGroupRelation& row : phase.deleted) store->deleteGroupRelation(row);
    for (const auto& [cloud, group] : created) {
      std::optional<LMGroup> local = LMGroup::initWithABRecord(group);
      if (!local) continue;
      auto found = store->searchGroupRelationByServerID(cloud->serverID);
      if (!found) return found.error();
      const std::optional<LMGroupRelation>& row = *found;
      LMGroupRelation filled = row.value_or(LMGroupRelation());
      fillRow(filled, *local, *cloud);
      filled.setLocalName(local->name);
      filled.setServerName(local->name);
      if (row) {
        store->updateGroupRelation(filled);
      } else {
        store->addGroupRelation(filled);
      }
    }
    return platform::Status::success();
  });
  if (!written.ok()) return written;

  notifyDelegate(&LMContactSyncAdapterDelegate::didAdapterSynchronizeLocalGroups,
                 static_cast<std::uint64_t>(phase.cloudAdds.size()),
                 static_cast<std::uint64_t>(phase.cloudModifies.size()),
                 static_cast<std::uint64_t>(phase.cloudDeletes.size()));
  notifyDelegate(&LMContactSyncAdapterDelegate::didAdapterSynchronizeLumoraGroups, phase.pushedAdds,
                 phase.pushedModifies, phase.pushedDeletes);
  return platform::Status::success();
}

}  // namespace lumora
