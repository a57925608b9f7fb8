// The base of the reporting kits' network operations (the settings
// download, onboarding): an asynchronous operation whose main() runs on the
// global queue and that stays executing until its work calls finish(), and
// the vendor's common request headers.
// Ownership: created shared; a started operation keeps itself alive until
// main() has run. Threading: start() and the flags from any thread.
// Failure: none here; subclasses report through their own results.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/Request.h"

namespace lumora {

class HBRAsynchronousOperation : public std::enable_shared_from_this<HBRAsynchronousOperation> {
 public:
  virtual ~HBRAsynchronousOperation() = default;

  // Marks the operation executing and runs main() on the global queue; the
  // cancelled state is not consulted.
  void start();
  // Ends the operation: no longer executing, finished.
  void finish();
  bool isExecuting() const { return executing_.load(); }
  bool isFinished() const { return finished_.load(); }
  bool isConcurrent() const { return true; }

  // Told "isExecuting" / "isFinished" after each change of that flag.
  std::function<void(const std::string& key)> stateObserver;

 protected:
  // The work; must lead to finish().
  virtual void main() = 0;

 private:
  void announce(const char* key);

  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
};

class HBRNetworkOperation : public HBRAsynchronousOperation {
 public:
  static constexpr double kDefaultTimeout = 10.0;

  // The request with the common headers and a 10 s time-out; subclasses add
  // their own headers.
  virtual platform::http::Request mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url);
  platform::http::Request mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url, double timeout);
  // "<client id>/<version> (<build>)".
  std::string userAgentString() const;
  std::string localeIdentifier() const;
  const std::string& APIKey() const { return APIKey_; }

 protected:
  // Subclasses are made through a factory that refuses an absent key.
  explicit HBRNetworkOperation(std::string APIKey) : APIKey_(std::move(APIKey)) {}

 private:
  std::string APIKey_;
};

}  // namespace lumora
