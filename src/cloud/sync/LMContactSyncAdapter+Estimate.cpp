// The estimate of a sync: the contact changes found on both sides, those
// left after the conflict rules, and the number of requests.
#include <map>
#include <optional>
#include <utility>

#include "cloud/sync/LMContactSyncAdapter.h"
#include "platform/Bytes.h"

namespace lumora {
namespace {

// What the estimate needs of one change: the id that pairs it with a change
// of the other side, and whether it costs a photo request. Working on these
// instead of copies of the contacts keeps the estimate of a large first sync
// cheap.
struct EstimateEntry {
  std::optional<std::int64_t> pairKey;
  bool photo = false;
};

template <class Id>
using EstimateEntries = std::map<Id, EstimateEntry>;

template <class Id, class Map, class Make>
EstimateEntries<Id> estimateEntries(const Map& map, const Make& make) {
  EstimateEntries<Id> entries;
  for (const auto& [id, value] : map) entries.emplace_hint(entries.end(), id, make(value));
  return entries;
}

template <class A, class B, class C>
platform::Json counts(const A& add, const B& modify, const C& remove) {
  return platform::Json{{kLMEstimateAddKey, static_cast<std::int64_t>(add.size())},
                        {kLMEstimateModifyKey, static_cast<std::int64_t>(modify.size())},
                        {kLMEstimateDeleteKey, static_cast<std::int64_t>(remove.size())}};
}

bool hasPhotoFile(const LMContact& contact) {
  return platform::hasText(contact.photoId) || platform::hasText(contact.thumbnailId);
}

// Removes from `changes` every entry whose pair key is a key of `other`,
// removes that entry of `other` too, and moves the removed change into
// `movedTo` when one is given.
template <class Id, class OtherId>
void dropPaired(EstimateEntries<Id>& changes, EstimateEntries<OtherId>& other, EstimateEntries<Id>* movedTo) {
  for (auto it = changes.begin(); it != changes.end();) {
    auto match = it->second.pairKey ? other.find(static_cast<OtherId>(*it->second.pairKey)) : other.end();
    if (match == other.end()) {
      ++it;
      continue;
    }
    other.erase(match);
    if (movedTo) movedTo->insert_or_assign(it->first, it->second);
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
  const auto local = [](const LMContact& c) { return EstimateEntry{c.serverID, c.hasPhoto}; };
  const auto cloud = [](const LMContact& c) {
    return EstimateEntry{c.recordID ? std::optional<std::int64_t>(*c.recordID) : std::nullopt, hasPhotoFile(c)};
  };
  const auto row = [](const LMContactRelation& r) { return EstimateEntry{r.serverID(), false}; };
  auto localAdds = estimateEntries<std::int32_t>(store->localAddContactDic(), local);
  auto localModifies = estimateEntries<std::int32_t>(store->localModifyContactDic(), local);
  auto localDeletes = estimateEntries<std::int32_t>(store->localDeleteContactDic(), row);
  auto cloudAdds = estimateEntries<std::int64_t>(store->lumoraAddContactDic(), cloud);
  auto cloudModifies = estimateEntries<std::int64_t>(store->lumoraModifyContactDic(), cloud);
  auto cloudDeletes = estimateEntries<std::int64_t>(store->lumoraDeleteContactDic(), row);
  store->clearCacheData();

  platform::Json estimate = platform::Json::object();
  estimate[kLMEstimateLocalKey] = counts(localAdds, localModifies, localDeletes);
  estimate[kLMEstimateLumoraKey] = counts(cloudAdds, cloudModifies, cloudDeletes);

  // Edited here, deleted in the cloud: sent again as new.
  dropPaired(localModifies, cloudDeletes, &localAdds);
  // Edited in the cloud, deleted here: created again here.
  dropPaired(cloudModifies, localDeletes, &cloudAdds);
  // Deleted on both sides: nothing to do.
  dropPaired(localDeletes, cloudDeletes, static_cast<EstimateEntries<std::int32_t>*>(nullptr));

  std::int64_t requests = 0;
  for (const auto* side : {&localAdds, &localModifies}) {
    for (const auto& [id, entry] : *side) requests += entry.photo ? 1 : 0;
  }
  const auto changes = static_cast<std::int64_t>(localAdds.size() + localModifies.size() + localDeletes.size());
  const auto batch = static_cast<std::int64_t>(kBatchSize);
  requests += (changes + batch - 1) / batch;
  for (const auto* side : {&cloudAdds, &cloudModifies}) {
    for (const auto& [id, entry] : *side) requests += entry.photo ? 1 : 0;
  }

  estimate[kLMEstimateLocalPredictKey] = counts(localAdds, localModifies, localDeletes);
  estimate[kLMEstimateLumoraPredictKey] = counts(cloudAdds, cloudModifies, cloudDeletes);
  estimate[kLMEstimateRequestCountKey] = requests;
  return estimate;
}

}  // namespace lumora
