// The User-Agent of account requests: "name/version sdk/version system/version"
// from the bundle information, the SDK's fixed name and version and the
// device's system facts, unless a customised text has been set.
//
// One process-wide instance, created on first use (thread-safe). The
// customised text is guarded by a lock, so any thread may set and read it.
// Nothing fails; a missing bundle entry prints as "(null)".
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace lumora {

class KPUserAgentUtil {
 public:
  static constexpr const char* kSDKName = "zuvUviduvivERU";
  static constexpr const char* kSDKVersion = "0.1.8";

  static KPUserAgentUtil& sharedInstance();

  KPUserAgentUtil(const KPUserAgentUtil&) = delete;
  KPUserAgentUtil& operator=(const KPUserAgentUtil&) = delete;

  // nullopt clears the customised text.
  void setCustomizedUserAgent(std::optional<std::string> userAgent);
  std::optional<std::string> customizedUserAgent() const;

  // The customised text when set (even if empty), else the text built anew
  // from the bundle and device facts on every call.
  std::string getUserAgent() const;

 private:
  KPUserAgentUtil() = default;

  mutable std::mutex mutex_;
  std::optional<std::string> customizedUserAgent_;
};

}  // namespace lumora
