// Stateless helpers of the cloud SDK shared by the request layer, the sync
// adapters and the record store: error constructors, the retry rule for failed
// cloud requests, JSON text and the app's directory paths.
//
// Every member may be called from any thread at once. Nothing throws; failures
// are platform::Error values. shouldRetryRequestWithError may block its caller
// for 24 seconds of platform::Clock time, so it is for worker threads only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "cloud/utils/LMErrors.h"
#include "platform/Error.h"

namespace lumora {

class LMUtils {
 public:
  LMUtils() = delete;

  // ---- Errors ----

  // An error in kLMLocalErrorDomain with exactly `code` and `errorInfo`.
  static platform::Error localErrorWithErrorCode(std::int64_t code,
                                                 platform::Json errorInfo = nullptr);
  // Code kLMServerErrorUnknownReply (101) in kLMServerErrorDomain, for a cloud
  // reply that is not a dictionary or lacks what the caller needs.
  static platform::Error errorForLumoraUnknownErrorWithUserInfo(platform::Json userInfo);
  // A copy of a platform error (same domain, code and user info); nullopt in,
  // nullopt out.
  static std::optional<platform::Error> errorFromCoreFoundationError(
      const std::optional<platform::Error>& error);
  // An address-book failure as a local error: code 0 becomes -10004 and code 1
  // -10005, each with its "reason" and "description"; any other code is kept,
  // with no user info.
  static platform::Error errorFromABAddressBookError(const platform::Error& error);

  // ---- Retry rule ----

  // Whether a failed cloud request is sent again:
  //  - no error: false;
  //  - code -1011 (bad server response), any domain: sleeps 24 s on the
  //    current clock, then true;
  //  - "retriable" in the user info: its truth (a boolean, or a number that is
  //    not 0; any other value counts as false);
  //  - else "retriable" in the underlying error's user info, likewise;
  //  - else shouldRetryRequestWithErrorCode of the error's own code.
  // Keeps no count: callers bound their loops.
  static bool shouldRetryRequestWithError(const std::optional<platform::Error>& error);
  // True for the URL-loading codes -1, -1004, -1005, -1014, -1015, -1016,
  // -1017 and -1019, whatever the domain; false for every other code.
  static bool shouldRetryRequestWithErrorCode(std::int64_t code);

  // ---- JSON text ----

  // The object as pretty-printed UTF-8 JSON text (indented, one member per
  // line). Fails only on strings that are not valid UTF-8: then nullopt, and
  // when `error` is given it receives the writer's error (kLMJSONErrorDomain)
  // and the error is logged at flag 1.
  static std::optional<std::string> stringFromJSONObject(const platform::Json& object,
                                                         platform::Error* error = nullptr);
  // Parses JSON text. A value that is not a string, or an empty string, gives
  // nullopt and leaves `error` untouched. Text that does not parse, or whose
  // top level is not an array or object, gives nullopt; when `error` is given
  // it receives the reader's error and the error is logged at flag 1.
  // A std::string argument converts implicitly.
  static std::optional<platform::Json> jsonObjectFromString(const platform::Json& object,
                                                            platform::Error* error = nullptr);

  // ---- Directories (under platform::AppHome, created on first use) ----

  static std::filesystem::path applicationDocumentsDirectory();
  static std::string applicationDocumentsDirectoryPath();
  static std::string applicationCachesDirectoryPath();
};

}  // namespace lumora
