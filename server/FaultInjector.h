// Faults that the local cloud injects into its own replies, per request
// path: an HTTP status, a reply "code", a real delay, or a dropped
// connection, for the next N requests to that path or for all of them.
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

namespace localcloud {

struct Fault {
  int status = 0;      // HTTP status to answer with (0 = the normal status)
  int code = 0;        // reply "code" to answer with (0 = no injected reply)
  int delayMs = 0;     // real wait before the request is handled
  bool drop = false;   // close the connection without a complete reply
  int times = -1;      // how many requests it applies to; -1 = always

  // True when the request is answered by the fault instead of the service.
  bool replaces() const { return status != 0 || code != 0 || drop; }
};

class FaultInjector {
 public:
  static constexpr std::chrono::milliseconds kMaxDelay{30000};

  // Sets (replaces) the fault of one exact request path, e.g.
  // "/pass/serviceLoginAuth2". A fault with times == 0 clears it.
  void set(const std::string& path, Fault fault);
  void clear(const std::string& path);
  void clearAll();

  // Takes the fault that applies to one request to `path` (counting it
  // down), or nullopt.
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
