// The loop every signed request of the sync adapters goes through: at most
// four sends under the retry rule, each retry after the delay the rule names
// (waited for on the clock's steady time), following the cloud's redirect
// replies (code 308 with data "redirectUrl") up to ten times, with their
// count in "X-QUENBY-REDIRECT-COUNT"; the eleventh redirect ends in 10034.
// A run may be paced: each send (a redirected one too) then takes at least a
// minimum time, what is left of it waited for on the clock's steady time.
//
// cancel() ends every run in progress at once: the send in flight is
// cancelled and a retry wait ends, so the run returns within a few tens of
// milliseconds with the cancelled error -999 on its last operation. Runs
// started afterwards go ahead normally.
//
// Ownership: owned (shared_ptr) by a sync adapter; uses the adapter's request
// manager. Threading: run() blocks its thread and may run on several threads
// at once (never the main thread: a relogin waits for it); cancel() and the
// setters may be called from any thread, the setters before use. Failures:
// the last operation carries the outcome (error() or result()); it is never
// null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPRequestOperation.h"
#include "cloud/request/LMHTTPRequestOperationManager.h"
#include "platform/dispatch/Cancellation.h"

namespace lumora {

class LMHTTPRequestLoop {
 public:
  static constexpr const char* kRedirectCountHeader = "X-QUENBY-REDIRECT-COUNT";
  static constexpr std::int64_t kRedirectCode = 308;
  static constexpr std::int64_t kInfiniteRedirectCode = 10034;
  static constexpr std::size_t kMaxRedirects = 10;
  static constexpr int kMaxRequestTries = 4;

  using OperationFactory = std::function<std::shared_ptr<LMHTTPRequestOperation>()>;
  // Makes the operation that sends a redirected request with the first
  // request's service id and session.
  using RedirectFactory = std::function<std::shared_ptr<LMHTTPRequestOperation>(
      platform::http::Request, const std::string& passportSid, const std::optional<LMSignedSession>&)>;

  explicit LMHTTPRequestLoop(std::shared_ptr<LMHTTPRequestOperationManager> manager);

  const std::shared_ptr<LMHTTPRequestOperationManager>& manager() const { return manager_; }
  // Default: the manager wraps the request.
  void setRedirectFactory(RedirectFactory factory);
  // Called (synchronously, before the redirected request goes) for a
  // redirect marked "isPermanent"; the adapters refresh their host list.
  void setPermanentRedirectHandler(std::function<void()> handler);

  // Sends operations made by `makeOperation`, following redirects when
  // `followRedirects`, at most four times under the retry rule, each send
  // taking at least `minimumSendTime`; the last operation (one carrying the
  // local error -1 when the factory gave none). The factory is asked once
  // per try (a redirected send repeats the request it was given).
  std::shared_ptr<LMHTTPRequestOperation> run(const OperationFactory& makeOperation,
                                              bool followRedirects = true,
                                              platform::Clock::Duration minimumSendTime = {});
  // The loop over a signed request of the manager.
  std::shared_ptr<LMHTTPRequestOperation> requestWithMethod(
      const std::string& method, const std::string& URLString,
      const std::optional<platform::Json>& parameters, const std::string& passportSid);

  // For a finished operation that failed with a 308 carrying "data": a new,
  // not started operation to data "redirectUrl" with the redirect count
  // header, the same service id and session, and the original query for a
  // query method; one already failed with 10034 when `redirectTimes` is 10;
  // else nullptr.
  std::shared_ptr<LMHTTPRequestOperation> redirectRequestOperationForOperation(
      const std::shared_ptr<LMHTTPRequestOperation>& operation, std::size_t redirectTimes);

  // Ends the runs in progress (see above).
  void cancel();

 private:
  std::shared_ptr<platform::Cancellation> currentCancellation();
  // Starts `operation`, cancelled together with the run; then waits for
  // what is left of `minimum` (ended early by a cancel).
  static void startUnder(platform::Cancellation& cancellation,
                         const std::shared_ptr<LMHTTPRequestOperation>& operation,
                         platform::Clock::Duration minimum);

  std::shared_ptr<LMHTTPRequestOperationManager> manager_;
  RedirectFactory redirectFactory_;
  std::function<void()> permanentRedirect_;
  std::mutex mutex_;
  std::shared_ptr<platform::Cancellation> cancellation_;
};

}  // namespace lumora
