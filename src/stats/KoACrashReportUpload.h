// Sends one statistics crash record to the statistics service: a form POST
// to "/kocrash" through the statistics transport, on the serial queue
// "com.quenby.stat.crashreport", then tells the delegate the transport's
// result code (0 accepted, else KoANetworkUtils' failure codes).
//
// The form: "app_id", "app_key", "device_uuid" (left out when empty),
// "device_os", "device_model", "app_version", "app_channel" (empty when no
// channel was ever set), "app_start_time" and "app_crash_time" (whole
// milliseconds since 1970), "crash_exception_type", "crash_exception_desc"
// (the description, one space, the upper-case MD5 of the crash text) and
// "crash_callstack" (the whole crash text).
//
// Ownership: shareSingletion() is process-wide, never destroyed, on the
// shared transport; other uploaders (tests) borrow a transport of their
// own. The delegate is held weakly. Threading: sendCrashReport from any
// thread; the form is built, sent and reported on the queue; uploads run
// one at a time in order. Failures: codes only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "stats/KoACrashMessage.h"
#include "stats/KoANetworkUtils.h"

namespace lumora {

class KoACrashReportUpload;

// What the uploader reports; the hook is called only when set.
class KoACrashReportUploadDelegate {
 public:
  virtual ~KoACrashReportUploadDelegate() = default;
  std::function<void(KoACrashReportUpload& upload, std::int32_t state)> crashReportDidFinish;
};

class KoACrashReportUpload {
 public:
  static constexpr const char* kQueueLabel = "com.quenby.stat.crashreport";

  static KoACrashReportUpload& shareSingletion();
  explicit KoACrashReportUpload(KoANetworkUtils& transport);
  KoACrashReportUpload(const KoACrashReportUpload&) = delete;
  KoACrashReportUpload& operator=(const KoACrashReportUpload&) = delete;

  platform::SerialQueue& getTaskQueue() { return queue_; }

  // Nothing without a message; else remembers the delegate and queues the
  // upload. Returns at once.
  void sendCrashReport(const std::optional<KoACrashMessage>& message,
                       std::weak_ptr<KoACrashReportUploadDelegate> delegate);

  // The form of `message`; `deviceIdentifier` empty leaves "device_uuid" out.
  static KoANetworkUtils::Form crashForm(const KoACrashMessage& message, const std::string& deviceIdentifier);

 private:
  KoANetworkUtils& transport_;
  std::mutex mutex_;
  std::weak_ptr<KoACrashReportUploadDelegate> iDelegate_;
  // Last: destroyed first, so its pending uploads run while the rest exists.
  platform::SerialQueue queue_;
};

}  // namespace lumora
