// Base of the contact and photo sync adapters: a task queue that runs one
// sync job at a time, a queue of width 1 for raw transfers, the syncing,
// cancelled and suspended flags, the request loop that every signed request
// of the adapters goes through (LMHTTPRequestLoop: at most four sends under
// the retry rule, following the cloud's 308 redirects up to ten times), the
// process-wide host list with its relocation refresh (LMRelocation),
// device-information registration (LMDeviceInfo), a minimum duration for
// file-service calls and a main-thread runner.
//
// Each adapter signs its requests with the sessions of one passports
// manager (the shared one unless given another), so adapters of two
// accounts can run side by side in one process.
//
// Ownership: adapters are shared (shared_ptr) and live for the process; each
// owns its request manager, loop and queues, and each queued background job
// its platform background task. The host list is one per process.
// Destroying an adapter cancels its requests in progress.
// Threading: flag writes take one recursive lock, queue edits another; flag
// reads take none. The request loop, relocation and device calls block
// their thread: run them on the task queue or a global queue, never on the
// main thread. performMainThreadBlock waits for the main queue.
// Failures: the requests' last operations carry their outcome (error(),
// result()); not signed in is -10001; endless redirects end in 10034.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cloud/sync/LMDeviceInfo.h"
#include "cloud/sync/LMRelocation.h"
#include "cloud/request/LMHTTPRequestLoop.h"
#include "cloud/request/LMHTTPRequestOperation.h"
#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "platform/Error.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/Result.h"

namespace lumora {

class QBPassportsManager;

class LMSyncAdapter : public std::enable_shared_from_this<LMSyncAdapter> {
 public:
  static constexpr const char* kLumoraPassportSid = LMRelocation::kPassportSid;
  static constexpr const char* kDeviceInfoPassportSid = LMDeviceInfo::kPassportSid;
  static constexpr const char* kHostListDefaultsKey = LMRelocation::kHostListDefaultsKey;
  static constexpr const char* kRedirectCountHeader = LMHTTPRequestLoop::kRedirectCountHeader;
  static constexpr std::int64_t kRedirectCode = LMHTTPRequestLoop::kRedirectCode;
  static constexpr std::int64_t kInfiniteRedirectCode = LMHTTPRequestLoop::kInfiniteRedirectCode;
  static constexpr std::size_t kMaxRedirects = LMHTTPRequestLoop::kMaxRedirects;
  static constexpr int kMaxRequestTries = LMHTTPRequestLoop::kMaxRequestTries;

  using OperationFactory = LMHTTPRequestLoop::OperationFactory;

  // Requests signed with the sessions of `passports` (nullptr: the shared
  // passports manager).
  explicit LMSyncAdapter(std::shared_ptr<QBPassportsManager> passports = nullptr);
  virtual ~LMSyncAdapter();
  LMSyncAdapter(const LMSyncAdapter&) = delete;
  LMSyncAdapter& operator=(const LMSyncAdapter&) = delete;

  // Signed requests; its request serializer times out after 30 s.
  const std::shared_ptr<LMHTTPRequestOperationManager>& httpRequestManager() const {
    return httpRequestManager_;
  }
  // The loop of every signed request; its cancel() ends the requests in
  // progress (a running send, a retry wait) at once.
  const std::shared_ptr<LMHTTPRequestLoop>& requestLoop() const { return requestLoop_; }
  const std::shared_ptr<QBPassportsManager>& passports() const { return passports_; }
  // Selects the preview relocation host.
  bool forTest() const { return forTest_.load(); }
  void setForTest(bool on) { forTest_.store(on); }

  // ---- Task queue and flags ----

  // Queues a sync job (nullptr is ignored); jobs run one at a time in the
  // order queued.
  void performTaskBlock(std::function<void()> block);
  // The same, tagged `inBackground`. A background job holds a platform
  // background task from now until it has run or was dropped; when the
  // platform's time runs out the task is ended and the job goes on.
  void performTaskBlock(std::function<void()> block, bool inBackground);
  // The "in background" tag of the last job queued (false when none).
  bool backgroundTaskIsRunning() const;
  platform::OperationQueue& taskOperationQueue() { return taskOperationQueue_; }
  platform::OperationQueue& dataRequestOperationQueue() { return dataRequestOperationQueue_; }

  // A change of value also clears cancelled and suspended.
  void setSyncing(bool syncing);
  void setCancelled(bool cancelled);
  void setSuspended(bool suspended);
  bool isSyncing() const { return syncing_.load(); }
  bool isCancelled() const { return cancelled_.load(); }
  bool isSuspended() const { return suspended_.load(); }

  // Overridden by each adapter; the base does nothing and answers false.
  virtual bool suspendSync();
  virtual bool resumeSync();
  virtual bool cancelSync();

  // Runs `block` on the main thread and returns after it ran.
  static void performMainThreadBlock(const std::function<void()>& block);
  // Runs `block` here; sleeps for what is left of `seconds` afterwards
  // (both measured on the clock's steady time).
  static void fileAPIProtectionTime(double seconds, const std::function<void()>& block);

  // ---- Hosts and relocation ----

  // Default host (authority of a configured base URL) -> host to use.
  platform::Json hostList() const { return LMRelocation::hostList(); }
  // nullopt or a non-object stores an empty list.
  void setHostList(const std::optional<platform::Json>& hostList) { LMRelocation::setHostList(hostList); }
  std::string baseURLForService(const std::string& serviceKey) const {
    return LMRelocation::baseURLForService(serviceKey);
  }
  std::string relocationURL() const { return LMRelocation::relocationURL(forTest()); }
  std::string deviceInfoURL() const { return LMRelocation::deviceInfoURL(); }

  // Asks the relocation service for the host list and saves it; the last
  // operation (carrying -10001 when no user is signed in).
  std::shared_ptr<LMHTTPRequestOperation> requestHostListWithRomCountry(
      const std::optional<std::string>& romCountry);

  // See LMHTTPRequestLoop.
  std::shared_ptr<LMHTTPRequestOperation> redirectRequestOperationForOperation(
      const std::shared_ptr<LMHTTPRequestOperation>& operation, std::size_t redirectTimes) {
    return requestLoop_->redirectRequestOperationForOperation(operation, redirectTimes);
  }

  // ---- The request loop ----

  // Sends operations made by `makeOperation`, following redirects, at most
  // four times under the retry rule; the last operation.
  std::shared_ptr<LMHTTPRequestOperation> performRequestOperation(const OperationFactory& makeOperation) {
    return requestLoop_->run(makeOperation);
  }
  // The loop over a signed GET or POST of the request manager.
  std::shared_ptr<LMHTTPRequestOperation> requestWithMethod(
      const std::string& method, const std::string& URLString,
      const std::optional<platform::Json>& parameters, const std::string& passportSid) {
    return requestLoop_->requestWithMethod(method, URLString, parameters, passportSid);
  }

  // ---- Device information (see LMDeviceInfo) ----

  platform::Status updateDeviceInfoServiceInfo() { return deviceInfo_.updateDeviceInfoServiceInfo(); }
  std::shared_ptr<LMHTTPRequestOperation> requestAllDeviceInfo() {
    return deviceInfo_.requestAllDeviceInfo();
  }
  std::shared_ptr<LMHTTPRequestOperation> requestRegisterDeviceInfo() {
    return deviceInfo_.requestRegisterDeviceInfo();
  }
  // Both steps on a global queue; `completion` on the main thread.
  void registerDeviceInfo(std::function<void(const platform::Status&)> completion);

 protected:
  // The operation a redirect sends; subclasses and tests may replace it.
  virtual std::shared_ptr<LMHTTPRequestOperation> operationWithRequest(
      platform::http::Request request, const std::string& passportSid,
      const std::optional<LMSignedSession>& session);

 private:
  std::shared_ptr<QBPassportsManager> passports_;
  std::shared_ptr<LMHTTPRequestOperationManager> httpRequestManager_;
  std::shared_ptr<LMHTTPRequestLoop> requestLoop_;
  LMRelocation relocation_;
  LMDeviceInfo deviceInfo_;
  std::atomic<bool> forTest_{false};
  std::atomic<bool> syncing_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> suspended_{false};
  std::recursive_mutex lock_;                        // "com.quenby.networking.status.queue.lock"
  mutable std::recursive_mutex operationQueueLock_;  // "com.quenby.networking.operation.queue.lock"
  platform::OperationQueue taskOperationQueue_;
  platform::OperationQueue dataRequestOperationQueue_;
};

}  // namespace lumora
