#include "stats/KoAPointStore.h"

#include <utility>

namespace lumora {

KoAPointStore::KoAPointStore() : queue_(kQueueLabel) {}

KoAPointStore& KoAPointStore::shareSingletion() {
  static KoAPointStore* store = new KoAPointStore();
  return *store;
}

void KoAPointStore::load() {
  queue_.async([this] {
    objStat_.load();
    objNet_.load();
  });
}

void KoAPointStore::save() {
  queue_.async([this] {
    objStat_.save();
    objNet_.save();
  });
}

KoAPSStat::SendList KoAPointStore::getSendPoint() {
  KoAPSStat::SendList list;
  // Numbered on the queue, so a later number never carries less.
  queue_.sync([&] { list = objStat_.get(++lastUploadID_); });
  return list;
}

KoAPSNet::SendList KoAPointStore::getNetRequestList() {
  KoAPSNet::SendList list;
  // Numbered on the queue, so a later number never carries less.
  queue_.sync([&] { list = objNet_.get(++lastUploadID_); });
  return list;
}

void KoAPointStore::cleanSendPoint(std::uint64_t uploadID) {
  queue_.async([this, uploadID] { objStat_.removeAll(uploadID); });
}

void KoAPointStore::cleanNetRequest(std::uint64_t uploadID) {
  queue_.async([this, uploadID] { objNet_.removeAll(uploadID); });
}

void KoAPointStore::addPoint(KoAPointLocalModel point) {
  queue_.async([this, point = std::move(point)]() mutable { objStat_.add(std::move(point)); });
}

void KoAPointStore::addNetPoint(KoANetRequestModel sample) {
  queue_.async([this, sample = std::move(sample)]() mutable { objNet_.add(std::move(sample)); });
}

double KoAPointStore::beginTime(const std::string& name) {
  if (name.empty()) return 0.0;
  auto it = dicTimes_.find(name);
  if (it != dicTimes_.end()) return it->second.nStart;
  KoATimeModel timer;
  double start = timer.start();
  dicTimes_.emplace(name, timer);
  return start;
}

std::optional<KoATimeModel> KoAPointStore::endTime(const std::string& name) {
  auto it = dicTimes_.find(name);
  if (name.empty() || it == dicTimes_.end()) return std::nullopt;
  it->second.end();
  KoATimeModel pair = it->second;
  dicTimes_.erase(it);
  return pair;
}

}  // namespace lumora
