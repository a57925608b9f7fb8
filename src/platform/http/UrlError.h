// Errors of the URL loading system: domain "NSURLErrorDomain" with the
// platform's codes, the failing URL under "NSErrorFailingURLStringKey" and a
// description under "NSLocalizedDescription". Stateless and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace platform::http {

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kFailingURLStringKey = "NSErrorFailingURLStringKey";
// Library detail (libcurl's message), when there is one.
inline constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

// The codes this client produces.
enum UrlErrorCode : std::int64_t {
  kUrlErrorUnknown = -1,
  kUrlErrorCancelled = -999,
  kUrlErrorBadURL = -1000,
  kUrlErrorTimedOut = -1001,
  kUrlErrorUnsupportedURL = -1002,
  kUrlErrorCannotFindHost = -1003,
  kUrlErrorCannotConnectToHost = -1004,
  kUrlErrorNetworkConnectionLost = -1005,
  kUrlErrorDNSLookupFailed = -1006,
  kUrlErrorHTTPTooManyRedirects = -1007,
  kUrlErrorNotConnectedToInternet = -1009,
  kUrlErrorBadServerResponse = -1011,
  kUrlErrorUserCancelledAuthentication = -1012,
  kUrlErrorCannotDecodeRawData = -1015,
  kUrlErrorRequestBodyStreamExhausted = -1021,
  kUrlErrorSecureConnectionRequired = -1022,
  kUrlErrorSecureConnectionFailed = -1200,
  kUrlErrorServerCertificateHasBadDate = -1201,
  kUrlErrorServerCertificateUntrusted = -1202,
  kUrlErrorServerCertificateNotYetValid = -1204,
  kUrlErrorDataLengthExceedsMaximum = -1103,
};

// Whether `error` is a cancelled request's (-999 in the URL error domain).
inline bool isCancelledError(const Error& error) {
  return error.domain() == kURLErrorDomain && error.code() == kUrlErrorCancelled;
}

// The platform's description text for a code ("The request timed out.").
std::string urlErrorDescription(std::int64_t code);

// An error in kURLErrorDomain for `failingUrl`; `detail`, when not empty,
// goes under kDebugDescriptionKey.
Error makeUrlError(std::int64_t code, std::string_view failingUrl, std::string_view detail = {});

}  // namespace platform::http
