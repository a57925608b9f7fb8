// The estimate of a sync: the contact changes found on both sides, those
// left after the conflict rules, and the number of requests.
#include <utility>

#include "cloud/lumora/LMContactSyncAdapter.h"
#include "platform/Bytes.h"

namespace lumora {
namespace {

template <class A, class B, class C>
platform::Json counts(const A& add, const B& modify, const C& remove) {
  return platform::Json{{kLMEstimateAddKey, static_cast<std::int64_t>(add.size())},
                        {kLMEstimateModifyKey, static_cast<std::int64_t>(modify.size())},
                        {kLMEstimateDeleteKey, static_cast<std::int64_t>(remove.size())}};
}

bool hasPhotoFile(const LMContact& contact) {
  return platform::hasText(contact.photoId) || platform::hasText(contact.thumbnailId);
}

}  // namespace

platform::Result<platform::Json> LMContactSyncAdapter::estimateSyncChanges(
    platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source) {
  auto store = context();
  store->loadLocalChangedContactsIgnoreGroupChanges(addressBook, source);
  if (platform::Status sorted = store->filterLumoraChangedRecords(); !sorted.ok()) {
    store->clearCacheData();
    return sorted.error();
  }
  auto localAdds = store->localAddContactDic();
  auto localModifies = store->localModifyContactDic();
  auto localDeletes = store->localDeleteContactDic();
  auto cloudAdds = store->lumoraAddContactDic();
  auto cloudModifies = store->lumoraModifyContactDic();
  auto cloudDeletes = store->lumoraDeleteContactDic();

  platform::Json estimate = platform::Json::object();
  estimate[kLMEstimateLocalKey] = counts(localAdds, localModifies, localDeletes);
  estimate[kLMEstimateLumoraKey] = counts(cloudAdds, cloudModifies, cloudDeletes);

  // Edited here, deleted in the cloud: sent again as new.
  for (auto it = localModifies.begin(); it != localModifies.end();) {
    auto deleted = it->second.serverID ? cloudDeletes.find(*it->second.serverID) : cloudDeletes.end();
    if (deleted == cloudDeletes.end()) {
      ++it;
      continue;
    }
    cloudDeletes.erase(deleted);
    localAdds.insert_or_assign(it->first, std::move(it->second));
    it = localModifies.erase(it);
  }
  // Edited in the cloud, deleted here: created again here.
  for (auto it = cloudModifies.begin(); it != cloudModifies.end();) {
    auto deleted = it->second.recordID ? localDeletes.find(*it->second.recordID) : localDeletes.end();
    if (deleted == localDeletes.end()) {
      ++it;
      continue;
    }
    localDeletes.erase(deleted);
    cloudAdds.insert_or_assign(it->first, std::move(it->second));
    it = cloudModifies.erase(it);
  }
  // Deleted on both sides: nothing to do.
  for (auto it = localDeletes.begin(); it != localDeletes.end();) {
    auto deleted = it->second.serverID() ? cloudDeletes.find(*it->second.serverID()) : cloudDeletes.end();
    if (deleted == cloudDeletes.end()) {
      ++it;
      continue;
    }
    cloudDeletes.erase(deleted);
    it = localDeletes.erase(it);
  }

  std::int64_t requests = 0;
  for (const auto& [id, contact] : localAdds) requests += contact.hasPhoto ? 1 : 0;
  for (const auto& [id, contact] : localModifies) requests += contact.hasPhoto ? 1 : 0;
  const auto changes = static_cast<std::int64_t>(localAdds.size() + localModifies.size() + localDeletes.size());
  const auto batch = static_cast<std::int64_t>(kBatchSize);
  requests += (changes + batch - 1) / batch;
  for (const auto& [id, contact] : cloudAdds) requests += hasPhotoFile(contact) ? 1 : 0;
  for (const auto& [id, contact] : cloudModifies) requests += hasPhotoFile(contact) ? 1 : 0;

  estimate[kLMEstimateLocalPredictKey] = counts(localAdds, localModifies, localDeletes);
  estimate[kLMEstimateLumoraPredictKey] = counts(cloudAdds, cloudModifies, cloudDeletes);
  estimate[kLMEstimateRequestCountKey] = requests;
  store->clearCacheData();
  return estimate;
}

}  // namespace lumora
