// The cloud hosts to use: the process-wide host list (default host of a
// service -> host to use instead, kept in the user defaults under
// "LumoraHostList") and its refresh by the relocation service
// (POST <relocation host>/lum/relocation/v3/user/<user>/record).
//
// Ownership: each sync adapter owns one over its request loop; the host list
// itself is one per process. Threading: the list is locked and may be read
// and replaced from any thread; the refresh blocks its thread (never the
// main thread). Failures: the refresh's last operation carries its outcome,
// -10001 when nobody is signed in.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPRequestLoop.h"
#include "platform/Error.h"

namespace lumora {

class LMRelocation {
 public:
  static constexpr const char* kHostListDefaultsKey = "LumoraHostList";
  static constexpr const char* kPassportSid = "lumora";

  explicit LMRelocation(std::shared_ptr<LMHTTPRequestLoop> loop);

  // The list, loaded from the defaults when first used.
  static platform::Json hostList();
  // nullopt or a non-object stores an empty list.
  static void setHostList(const std::optional<platform::Json>& hostList);
  // The configured base URL of a service with its authority replaced by the
  // host list's entry for it, when there is one.
  static std::string baseURLForService(const std::string& serviceKey);
  // The release or (forTest) preview relocation service.
  static std::string relocationURL(bool forTest);
  static std::string deviceInfoURL();

  // Asks for the signed-in user's host list (up to four tries under the
  // retry rule, no redirects) and, when the reply has "data", stores and
  // saves data "hostList" (none: an empty list). The last operation.
  std::shared_ptr<LMHTTPRequestOperation> requestHostListWithRomCountry(
      const std::optional<std::string>& romCountry, bool forTest);

 private:
  std::shared_ptr<LMHTTPRequestLoop> loop_;
};

}  // namespace lumora
