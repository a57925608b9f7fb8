#include "platform/http/UrlError.h"

#include <fmt/format.h>

#include "platform/Bytes.h"

namespace platform::http {

std::string urlErrorDescription(std::int64_t code) {
  switch (code) {
    case kUrlErrorCancelled: return "cancelled";
    case kUrlErrorBadURL: return "bad URL";
    case kUrlErrorTimedOut: return "The request timed out.";
    case kUrlErrorUnsupportedURL: return "unsupported URL";
    case kUrlErrorCannotFindHost: return "A server with the specified hostname could not be found.";
    case kUrlErrorCannotConnectToHost: return "Could not connect to the server.";
    case kUrlErrorNetworkConnectionLost: return "The network connection was lost.";
    case kUrlErrorHTTPTooManyRedirects: return "too many HTTP redirects";
    case kUrlErrorNotConnectedToInternet: return "The Internet connection appears to be offline.";
    case kUrlErrorBadServerResponse: return "bad server response";
    case kUrlErrorUserCancelledAuthentication:
      return "The server asked for authentication and none was given.";
    case kUrlErrorCannotDecodeRawData: return "cannot decode raw data";
    case kUrlErrorRequestBodyStreamExhausted: return "request body stream exhausted";
    case kUrlErrorSecureConnectionRequired:
      return "The resource could not be loaded because a secure connection is required: "
             "plain http is allowed only for the loopback host.";
    case kUrlErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case kUrlErrorServerCertificateHasBadDate: return "The certificate for this server has expired.";
    case kUrlErrorServerCertificateUntrusted: return "The certificate for this server is invalid.";
    case kUrlErrorServerCertificateNotYetValid: return "The certificate for this server is not yet valid.";
    case kUrlErrorDataLengthExceedsMaximum: return "resource exceeds maximum size";
    default: return "unknown error";
  }
}

namespace {

// JSON text must be UTF-8; a URL given with stray bytes keeps them escaped.
std::string printableUrl(std::string_view url) {
  if (isValidUtf8(url)) return std::string(url);
  std::string out;
  for (unsigned char c : url) {
    if (c < 0x80) out.push_back(static_cast<char>(c));
    else out += fmt::format("%{:02X}", c);
  }
  return out;
}

}  // namespace

Error makeUrlError(std::int64_t code, std::string_view failingUrl, std::string_view detail) {
  Json info = Json::object();
  info[kFailingURLStringKey] = printableUrl(failingUrl);
  info[Error::kLocalizedDescriptionKey] = urlErrorDescription(code);
  if (!detail.empty()) info[kDebugDescriptionKey] = printableUrl(detail);
  return Error(kURLErrorDomain, code, std::move(info));
}

}  // namespace platform::http
