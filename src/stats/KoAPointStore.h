// The statistics pool: the event points and network samples between their
// recording and the upload that delivers them, and the named begin/end
// timers that measure sessions.
//
// The two lists (KoAPSStat, KoAPSNet) change only on the store's serial
// queue "com.quenby.stat.localpool", in the order the calls were made; the
// synchronous calls wait for everything queued before them and must not be
// made from that queue. Each upload takes a list with a number of its own
// (getSendPoint, getNetRequestList); when it succeeds, cleanSendPoint /
// cleanNetRequest with that number removes what it carried and rewrites
// the list's file, so points recorded meanwhile stay, and a later load
// neither brings back what was delivered nor drops what is new.
//
// Ownership: shareSingletion() is process-wide, made once, never destroyed;
// other stores (tests) are plain objects. Threading: lists as above; the
// timers are for one thread (the controller's main thread), unlocked.
// Failures: file problems leave the lists as they are, silently.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "stats/KoAPSNet.h"
#include "stats/KoAPSStat.h"
#include "stats/KoATimeModel.h"

namespace lumora {

class KoAPointStore {
 public:
  static constexpr const char* kQueueLabel = "com.quenby.stat.localpool";

  KoAPointStore();
  KoAPointStore(const KoAPointStore&) = delete;
  KoAPointStore& operator=(const KoAPointStore&) = delete;

  static KoAPointStore& shareSingletion();
  platform::SerialQueue& getTaskQueue() { return queue_; }

  // Queued: read both files (points first), or write them.
  void load();
  void save();

  // Synchronous: every pooled point gets send flag 1; the copy to upload.
  KoAPSStat::SendList getSendPoint();
  // Synchronous: the samples to upload.
  KoAPSNet::SendList getNetRequestList();
  // Queued: after upload `uploadID` succeeded.
  void cleanSendPoint(std::uint64_t uploadID);
  void cleanNetRequest(std::uint64_t uploadID);
  // Queued.
  void addPoint(KoAPointLocalModel point);
  void addNetPoint(KoANetRequestModel sample);

  // Starts the named timer, or keeps it running; its start time. 0 for an
  // empty name.
  double beginTime(const std::string& name);
  // Stops and forgets the named timer: its start/end pair; nullopt for an
  // empty name or one without a timer.
  std::optional<KoATimeModel> endTime(const std::string& name);

 private:
  std::map<std::string, KoATimeModel> dicTimes_;
  KoAPSStat objStat_;
  KoAPSNet objNet_;
  std::uint64_t lastUploadID_ = 0;  // on the queue
  // Last: destroyed first, so its pending tasks run while the lists exist.
  platform::SerialQueue queue_;
};

}  // namespace lumora
