// Turns what a commit hands over into the statistics document and uploads
// it: the points are cut into day packages at UTC midnights, folded by
// point type into categories and posted as "stat_value" to "/kostats"; the
// network samples go to "/realtime_network". Each upload runs from start
// to end on the serial queue "com.quenby.stat.makepool", one at a time, and
// its result code (KoANetworkUtils) goes to the delegate with the number of
// the upload, so the pool removes only what that upload carried.
//
// Every point handed over lands in some package: those older than three
// days before today's UTC midnight in the first, those dated at or after
// tomorrow's midnight (a clock set back) in today's.
//
// Ownership: shareSingletion() is process-wide, never destroyed, on the
// shared transport; other uploaders (tests) borrow a transport. The
// delegate is held weakly; the latest one given receives both outcomes.
// Threading: sendPoint / sendNetRequest from any thread, returning at once;
// the delegate's hooks run on the queue. Failures: codes only.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "platform/dispatch/SerialQueue.h"
#include "stats/KoANetworkUtils.h"
#include "stats/KoAPSNet.h"
#include "stats/KoAPSStat.h"
#include "stats/KoASMJNetRequest.h"
#include "stats/KoASMJPackage.h"
#include "stats/KoASMJRoot.h"

namespace lumora {

class KoAPointUpload;

// What the uploader reports: the result code, the content the transport
// filled (the reply's "data" on success) and the upload's number. Each hook
// is called only when set.
class KoAMakePackagePoolDelegate {
 public:
  using Outcome = std::function<void(KoAPointUpload& upload, std::int32_t state, const platform::Json& content,
                                     std::uint64_t uploadID)>;
  virtual ~KoAMakePackagePoolDelegate() = default;
  Outcome sendPointDidFinish;
  Outcome sendNetRequestDidFinish;
};

class KoAPointUpload {
 public:
  static constexpr const char* kQueueLabel = "com.quenby.stat.makepool";

  static KoAPointUpload& shareSingletion();
  explicit KoAPointUpload(KoANetworkUtils& transport);
  KoAPointUpload(const KoAPointUpload&) = delete;
  KoAPointUpload& operator=(const KoAPointUpload&) = delete;

  platform::SerialQueue& getTaskQueue() { return queue_; }

  // Nothing for an empty list (no outcome); else queues the upload.
  void sendPoint(KoAPSStat::SendList points, std::weak_ptr<KoAMakePackagePoolDelegate> delegate);
  // Queues the upload, an empty list included.
  void sendNetRequest(KoAPSNet::SendList samples, std::weak_ptr<KoAMakePackagePoolDelegate> delegate);

  // The document of `points` (in recording order) at time `now` (seconds
  // since 1970).
  static KoASMJRoot parse(const std::vector<KoAPointLocalModel>& points, double now);
  // One package of a run of points; nullopt for none.
  static std::optional<KoASMJPackage> parseToOneStat(const std::vector<KoAPointLocalModel>& points);
  // MD5 of every key and value text of a non-empty object, in its order.
  static std::optional<std::string> hashWithDictionary(const std::optional<platform::Json>& params);
  // The samples by URL; nullopt for none.
  static std::optional<KoASMJNetPackage> parseNetRequest(const std::vector<KoANetRequestModel>& samples);

  // The forms as sent (app fields: see the class comment of the service).
  static KoANetworkUtils::Form pointForm(const KoASMJRoot& root, const std::string& deviceIdentifier);
  static KoANetworkUtils::Form netForm(const KoASMJNetPackage& package, const std::string& deviceIdentifier);

 private:
  void report(KoAMakePackagePoolDelegate::Outcome KoAMakePackagePoolDelegate::*hook, std::int32_t state,
              const platform::Json& content, std::uint64_t uploadID);

  KoANetworkUtils& transport_;
  std::mutex mutex_;
  std::weak_ptr<KoAMakePackagePoolDelegate> iDelegate_;
  // Last: destroyed first, so its pending uploads run while the rest exists.
  platform::SerialQueue queue_;
};

}  // namespace lumora
