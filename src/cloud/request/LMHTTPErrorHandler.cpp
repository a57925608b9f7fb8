#include "cloud/request/LMHTTPErrorHandler.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/request/LMSessionSource.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/NumberValues.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"

namespace lumora {
namespace {

// The longest block a 503 may ask for: a day. Beyond that the reply is
// taken as "a long time", and a time far enough out would not fit the
// clock's time type at all.
constexpr std::int64_t kMaxRetryAfterSeconds = 24 * 3600;

// data "retryAfter" as whole seconds, at most kMaxRetryAfterSeconds; a
// missing or unreadable value is 0. Any number the reply holds is read
// range-checked (held to 64 bits first).
double retryAfterSeconds(const platform::Json& data) {
  auto it = data.find("retryAfter");
  if (it == data.end()) return 0;
  std::int64_t seconds = 0;
  if (auto number = platform::numberValue<std::int64_t>(*it)) {
    seconds = *number;
  } else if (it->is_string()) {
    seconds = platform::leadingIntegerValue<std::int64_t>(it->get_ref<const std::string&>());
  }
  return static_cast<double>(std::min<std::int64_t>(seconds, kMaxRetryAfterSeconds));
}

}  // namespace

LMHTTPErrorHandler& LMHTTPErrorHandler::defaultHandler() {
  static LMHTTPErrorHandler* handler = [] {
    auto* created = new LMHTTPErrorHandler();
    // A logout unblocks every host; the handler lives as long as the process.
    platform::NotificationCenter::defaultCenter().addObserver(
        kQBPassportsManagerDidLogOutNotification,
        [created](const std::string&, const platform::Json&) { created->clearAllErrors(); });
    return created;
  }();
  return *handler;
}

std::string LMHTTPErrorHandler::keyForURL(const std::string& url) {
  std::string host = ServiceHosts::hostOfURL(url);
  return host.empty() ? url : host;
}

void LMHTTPErrorHandler::dropExpiredLocked(platform::Clock::SteadyTimePoint now) {
  for (auto it = hostErrors_.begin(); it != hostErrors_.end();) {
    if (it->second.until <= now) {
      it = hostErrors_.erase(it);
    } else {
      ++it;
    }
  }
  noteBlocksLocked();
}

platform::Status LMHTTPErrorHandler::serverErrorWithURL(const std::optional<std::string>& url) {
  if (!url) return platform::Status::success();
  // The common case, no host blocked, reads neither the URL nor the clock.
  if (!anyBlocked_.load(std::memory_order_acquire)) return platform::Status::success();
  const std::string key = keyForURL(*url);
  const auto now = platform::Clock::current()->steadyNow();
  std::lock_guard<std::mutex> guard(mutex_);
  dropExpiredLocked(now);
  auto it = hostErrors_.find(key);
  if (it == hostErrors_.end()) return platform::Status::success();
  return it->second.error;
}

bool LMHTTPErrorHandler::handleServerError(const std::optional<platform::Error>& error,
                                           const std::optional<std::string>& url) {
  if (!error || !url) return false;
  std::string key = keyForURL(*url);
  auto clock = platform::Clock::current();
  auto now = clock->steadyNow();
  std::lock_guard<std::mutex> guard(mutex_);
  dropExpiredLocked(now);
  if (hostErrors_.count(key) > 0) return true;

  if (error->code() == 503 && error->domain() == kLMServerErrorDomain) {
    const auto& info = error->userInfo();
    if (info.is_object() && !info.empty()) {
      auto data = info.find("data");
      if (data != info.end() && data->is_object() && !data->empty()) {
        double seconds = retryAfterSeconds(*data);
        if (seconds > 0) {
          hostErrors_[key] = Block{*error, now + platform::seconds(seconds)};
          noteBlocksLocked();
          LM_LOG_WARN("Host {} is blocked for {} s after a 503", key, seconds);
        }
      }
    }
    return false;
  }
  if (error->code() == 500) {
    hostErrors_[key] = Block{*error, now + platform::seconds(kLMServerErrorBlockSeconds)};
    noteBlocksLocked();
    LM_LOG_WARN("Host {} is blocked for {} s after a 500", key, kLMServerErrorBlockSeconds);
    return true;
  }
  return false;
}

void LMHTTPErrorHandler::handleUserAuthenticationError(const std::optional<platform::Error>& error,
                                                       LMSessionSource& sessions,
                                                       const std::string& passportSid,
                                                       const Finish& finish) {
  if (error && error->code() == kLMUserAuthenticationErrorCode &&
      sessions.canReLoginForSid(passportSid)) {
    LM_LOG_INFO("Authentication failed for {}; logging in again", passportSid);
    platform::Status relogin = sessions.reLoginForSid(passportSid);
    if (finish) finish(relogin, true);
  }
  if (finish) finish(platform::Status::success(), false);
}

void LMHTTPErrorHandler::clearAllErrors() {
  std::lock_guard<std::mutex> guard(mutex_);
  hostErrors_.clear();
  noteBlocksLocked();
}

}  // namespace lumora
