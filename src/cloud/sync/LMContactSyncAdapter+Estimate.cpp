// The estimate of a sync: the contact changes found on both sides, those
// left after the conflict rules, and the number of requests.
#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
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

// Removes from `changes` every entry whose key in `other` (`keyOf`, an
// optional) is there, removes that entry of `other` too, and hands the
// removed change to `moved` first.
template <class Changes, class Other, class KeyOf, class Moved>
void dropPaired(Changes& changes, Other& other, KeyOf keyOf, Moved moved) {
  for (auto it = changes.begin(); it != changes.end();) {
    const auto key = keyOf(it->second);
    auto match = key ? other.find(*key) : other.end();
    if (match == other.end()) {
      ++it;
      continue;
    }
    other.erase(match);
    moved(it->first, it->second);
    it = changes.erase(it);
  }
}

}  // namespace

platform::Result<platform::Json> LMContactSyncAdapter::estimateSyncChanges(
    platform::addressbook::AddressBook* addressBook, const platform::addressbook::Record& source) {
  auto store = context();
  platform::Status sorted = store->loadLocalChangedContactsIgnoreGroupChanges(addressBook, source);
  if (sorted.ok()) sorted = store->filterLumoraChangedRecords();
  if (!sorted.ok()) {
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
  dropPaired(localModifies, cloudDeletes, [](const LMContact& c) { return c.serverID; },
             [&](auto id, LMContact& c) { localAdds.insert_or_assign(id, std::move(c)); });
  // Edited in the cloud, deleted here: created again here.
  dropPaired(cloudModifies, localDeletes, [](const LMContact& c) { return c.recordID; },
             [&](auto id, LMContact& c) { cloudAdds.insert_or_assign(id, std::move(c)); });
  // Deleted on both sides: nothing to do.
  dropPaired(localDeletes, cloudDeletes, [](const auto& row) { return row.serverID(); }, [](auto, auto&) {});

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
