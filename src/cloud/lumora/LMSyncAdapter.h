// Base of the contact and photo sync adapters: a task queue that runs one
// sync job at a time, a queue of width 1 for raw transfers, the syncing,
// cancelled and suspended flags, the request loop that every signed request
// of the adapters goes through (at most four sends under the retry rule,
// following the cloud's 308 redirects up to ten times), the process-wide
// host list with its relocation refresh, device-information registration,
// a minimum duration for file-service calls and a main-thread runner.
//
// Ownership: adapters are shared (shared_ptr) and live for the process; each
// owns its request manager and queues, and each queued background job its
// platform background task. The host list is one per process.
// Threading: flag writes take one recursive lock, queue edits another; flag
// reads take none. The request loop, relocation and device calls block
// their thread: run them on the task queue or a global queue, never on the
// main thread. performMainThreadBlock waits for the main queue.
// Failures: platform::Error values through out-parameters or completions;
// not signed in is -10001; endless redirects end in 10034.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPRequestOperation.h"
#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "platform/Error.h"
#include "platform/OperationQueue.h"

namespace lumora {

class LMSyncAdapter : public std::enable_shared_from_this<LMSyncAdapter> {
 public:
  static constexpr const char* kLumoraPassportSid = "lumora";
  static constexpr const char* kDeviceInfoPassportSid = "deviceinfo";
  static constexpr const char* kHostListDefaultsKey = "LumoraHostList";
  static constexpr const char* kRedirectCountHeader = "X-QUENBY-REDIRECT-COUNT";
  static constexpr std::int64_t kRedirectCode = 308;
  static constexpr std::int64_t kInfiniteRedirectCode = 10034;
  static constexpr std::size_t kMaxRedirects = 10;
  static constexpr int kMaxRequestTries = 4;

  using OperationFactory = std::function<std::shared_ptr<LMHTTPRequestOperation>()>;

  LMSyncAdapter();
  virtual ~LMSyncAdapter();
  LMSyncAdapter(const LMSyncAdapter&) = delete;
  LMSyncAdapter& operator=(const LMSyncAdapter&) = delete;

  // Signed requests; its request serializer times out after 30 s.
  const std::shared_ptr<LMHTTPRequestOperationManager>& httpRequestManager() const {
    return httpRequestManager_;
  }
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
  // Runs `block` here; sleeps for what is left of `seconds` afterwards.
  static void fileAPIProtectionTime(double seconds, const std::function<void()>& block);

  // ---- Hosts and relocation ----

  // Default host (authority of a configured base URL) -> host to use.
  platform::Json hostList() const;
  // nullopt or a non-object stores an empty list.
  void setHostList(const std::optional<platform::Json>& hostList);
  // The configured base URL of a service with its authority replaced by the
  // host list's entry for it, when there is one.
  std::string baseURLForService(const std::string& serviceKey) const;
  std::string relocationURL() const;
  std::string deviceInfoURL() const;

  // Asks the relocation service for the host list and saves it; the last
  // operation (nullptr when no user is signed in).
  std::shared_ptr<LMHTTPRequestOperation> requestHostListWithRomCountry(
      const std::optional<std::string>& romCountry, std::optional<platform::Error>* error);

  // For a finished operation that failed with a 308 carrying "data": a new,
  // not started operation to data "redirectUrl" with the redirect count
  // header, the same service id, and the original query for a query method;
  // one already failed with 10034 when `redirectTimes` is 10; else nullptr.
  std::shared_ptr<LMHTTPRequestOperation> redirectRequestOperationForOperation(
      const std::shared_ptr<LMHTTPRequestOperation>& operation, std::size_t redirectTimes);

  // ---- The request loop ----

  // Sends operations made by `makeOperation`, following redirects, at most
  // four times under the retry rule; the last operation.
  std::shared_ptr<LMHTTPRequestOperation> performRequestOperation(
      const OperationFactory& makeOperation, std::optional<platform::Error>* error);
  // The loop over a signed GET or POST of the request manager.
  std::shared_ptr<LMHTTPRequestOperation> requestWithMethod(
      const std::string& method, const std::string& URLString,
      const std::optional<platform::Json>& parameters, const std::string& passportSid,
      std::optional<platform::Error>* error);

  // ---- Device information ----

  // Signs the "deviceinfo" passport in with the cloud passport's tokens.
  std::optional<platform::Error> updateDeviceInfoServiceInfo();
  std::shared_ptr<LMHTTPRequestOperation> requestAllDeviceInfo(std::optional<platform::Error>* error);
  std::shared_ptr<LMHTTPRequestOperation> requestRegisterDeviceInfo(
      std::optional<platform::Error>* error);
  // Both steps on a global queue; `completion` on the main thread.
  void registerDeviceInfo(std::function<void(std::optional<platform::Error>)> completion);

 protected:
  // The operation a redirect sends; subclasses and tests may replace it.
  virtual std::shared_ptr<LMHTTPRequestOperation> operationWithRequest(
      platform::http::Request request, const std::string& passportSid);

 private:
  std::shared_ptr<LMHTTPRequestOperationManager> httpRequestManager_;
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
