// The process-wide guard around every signed cloud request. It blocks a host
// that answered with server error 500 for 300 seconds, or with 503 for the
// "retryAfter" seconds the reply names, so that requests to it fail at once
// without network traffic; and it logs the user in again when a request
// failed with the cancelled-authentication code -1012.
//
// The handler keeps no session of its own: the relogin goes through the
// session source of the request that failed, and a logout (the passports
// manager's notification) unblocks every host.
//
// Ownership: one instance, defaultHandler(), created on first use and kept
// for the life of the process. Threading: every member may be called from
// any thread; the blocked-host table is guarded by one lock, and a block ends
// when its time has passed on the clock's steady time (setting the wall
// clock back does not prolong it). Failures: none of its own; the relogin's
// error is handed to the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

class LMSessionSource;

// The URL-loading code of a cancelled authentication challenge; HTTP 401
// replies reach the handler with it.
inline constexpr std::int64_t kLMUserAuthenticationErrorCode = -1012;
// Seconds a host stays blocked after a 500.
inline constexpr double kLMServerErrorBlockSeconds = 300.0;

class LMHTTPErrorHandler {
 public:
  // (the relogin's outcome, whether a relogin ran)
  using Finish = std::function<void(const platform::Status&, bool)>;

  static LMHTTPErrorHandler& defaultHandler();

  // The error blocking the URL's host (the whole URL text when it has no
  // host); success while it is not blocked.
  platform::Status serverErrorWithURL(const std::optional<std::string>& url);

  // Blocks the URL's host for a 500 (any domain; answers true) or a 503 of
  // the server domain whose user info holds a non-empty "data" dictionary
  // (for data "retryAfter" seconds; answers false). True, changing nothing,
  // when the host is blocked already. False for anything else.
  bool handleServerError(const std::optional<platform::Error>& error,
                         const std::optional<std::string>& url);

  // For code -1012 (any domain), when `sessions` can log in again for the
  // service id (a passport is held and a user signed in): one synchronous
  // relogin, then finish(its outcome, true). Always finally finish(success,
  // false). Blocks its caller during the relogin: never on the main thread.
  void handleUserAuthenticationError(const std::optional<platform::Error>& error,
                                     LMSessionSource& sessions, const std::string& passportSid,
                                     const Finish& finish);

  // Unblocks every host (logout).
  void clearAllErrors();

  LMHTTPErrorHandler(const LMHTTPErrorHandler&) = delete;
  LMHTTPErrorHandler& operator=(const LMHTTPErrorHandler&) = delete;

 private:
  LMHTTPErrorHandler() = default;

  struct Block {
    platform::Error error;
    platform::Clock::SteadyTimePoint until;
  };

  static std::string keyForURL(const std::string& url);
  // Drops blocks whose time has passed; the lock is held.
  void dropExpiredLocked(platform::Clock::SteadyTimePoint now);

  // Notes whether any host is blocked; the lock is held.
  void noteBlocksLocked() { anyBlocked_.store(!hostErrors_.empty(), std::memory_order_release); }

  std::mutex mutex_;
  std::map<std::string, Block> hostErrors_;
  // Whether hostErrors_ holds anything: the common case, no host blocked,
  // is answered without the lock.
  std::atomic<bool> anyBlocked_{false};
};

}  // namespace lumora
