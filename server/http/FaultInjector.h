// Faults that the local cloud injects into its own replies, per request
// path: an HTTP status, a reply "code" (with the "data" of a redirect or of
// an overload), an empty body or a body given whole, a real delay, a
// dropped connection, a lost reply (the request served, its reply
// broken off), or a served reply with members of its "data" changed, for
// the next N requests to that path or for all of them. A coded reply takes
// the form of the service the path belongs to (CloudServer::applyFault). A
// fault may let a number of requests through before it applies.
//
// Ownership: owned by the CloudServer. Threading: all operations lock one
// mutex; delays wait on a condition that cancelAll() (called by stop) wakes,
// so a stopping server never waits out a delay. Failures: none; delays
// are clamped to kMaxDelay.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace localcloud {

struct Fault {
  int status = 0;      // HTTP status to answer with (0 = 200, or the normal status)
  int code = 0;        // reply "code" to answer with (0 = no coded reply)
  int delayMs = 0;     // real wait before the request is handled (a slow reply)
  bool drop = false;   // close the connection without a complete reply
  bool dropReply = false;  // serve the request, then close the connection
                           // before its reply is complete (a lost reply)
  bool emptyBody = false;   // answer `status` with no body at all
  std::string redirectUrl;  // a redirect: code 308 (unless set), data "redirectUrl"
  std::string location;     // a redirect in HTTP terms: `status` (default 302)
                            // with this "Location", completed as redirectUrl is
  bool permanent = false;   // with a redirect: data "isPermanent" true
  int retryAfter = -1;      // >= 0: code 503 (unless set), data "retryAfter"
  int times = -1;      // how many requests it applies to; -1 = always
  int skip = 0;        // requests let through untouched before it applies
                       // (a fault on page N of a listing: skip N - 1)
  nlohmann::json data; // an object: members added to the coded reply's "data"
  // An object: the request is served (on a signed path), then these members
  // are set in its reply's "data", as a faulty service would answer (a
  // listing page whose "syncTag" or "lastPage" the service never sends).
  nlohmann::json replyData;
  std::optional<std::string> body;  // answer with exactly this body (`status`,
                                    // default 200): replies no client expects
  // Headers of a reply that answers in HTTP terms alone (the HTTPS
  // listener): a "Retry-After" text as given (a word as well as a number),
  // and the reply's "Content-Type".
  std::optional<std::string> retryAfterHeader;
  std::optional<std::string> contentType;

  // The reply code, with the defaults of a redirect and of an overload.
  int replyCode() const {
    if (code != 0) return code;
    if (!redirectUrl.empty()) return 308;
    if (retryAfter >= 0) return 503;
    return 0;
  }
  // True when the request is answered by the fault instead of the service.
  bool replaces() const {
    return status != 0 || replyCode() != 0 || drop || emptyBody || body.has_value() || !location.empty();
  }
};

// The coded reply of a fault: {"code", descKey: "injected fault", "data"},
// "data" holding "redirectUrl" (and "isPermanent") of a redirect and
// "retryAfter" of an overload, and the fault's own "data" members, when
// there are any. A redirect URL that is
// a bare origin ("http://host:port") is completed with `target` (the
// request's path and query), so the request is repeated there unchanged.
nlohmann::json faultReply(const Fault& fault, const std::string& target,
                          const std::string& descKey);

// `url`, or when it is a bare origin, that origin followed by `target`.
std::string redirectTarget(const std::string& url, const std::string& target);

class FaultInjector {
 public:
  static constexpr std::chrono::milliseconds kMaxDelay{30000};

  // Sets (replaces) the fault of one exact request path, e.g.
  // "/pass/serviceLoginAuth2". A fault with times == 0 clears it.
  void set(const std::string& path, Fault fault);
  void clear(const std::string& path);
  void clearAll();

  // Takes the fault that applies to one request to `path` (counting it
  // down), or nullopt (also while it lets requests through).
  std::optional<Fault> take(const std::string& path);

  // Waits out a fault's delay (clamped); returns false when cancelled.
  bool wait(const Fault& fault);
  // Wakes every waiting delay for good (server shutdown); reset() re-arms.
  void cancelAll();
  void reset();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  std::map<std::string, Fault> faults_;
};

}  // namespace localcloud
