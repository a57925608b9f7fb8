// How a URL session of the reporting kits is set up: headers added to every
// request, a cookie policy and a cache (kept, not used by the session). This
// platform has no URL-session classes of its own, so the factories always
// hand out this class, and there is no background configuration.
// Plain value object; use from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/http/HeaderFields.h"

namespace lumora {

class BBXURLSessionConfiguration {
 public:
  static std::shared_ptr<BBXURLSessionConfiguration> defaultSessionConfiguration();
  static std::shared_ptr<BBXURLSessionConfiguration> ephemeralSessionConfiguration();
  // Always null here: no background transfers on this platform.
  static std::shared_ptr<BBXURLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(
      const std::string& identifier);
  static std::shared_ptr<BBXURLSessionConfiguration> backgroundSessionConfiguration(const std::string& identifier);

  // A copy carries the additional headers only.
  std::shared_ptr<BBXURLSessionConfiguration> copy() const;

  platform::http::HeaderFields HTTPAdditionalHeaders;
  std::uint64_t HTTPCookieAcceptPolicy = 0;
  std::shared_ptr<void> URLCache;

  bool sessionSendsLaunchEvents() const { return false; }
  void setSessionSendsLaunchEvents(bool) {}
};

}  // namespace lumora
