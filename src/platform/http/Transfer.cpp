#include "platform/http/Transfer.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bytes.h"
#include "platform/ExitSafety.h"
#include "platform/dispatch/Clock.h"
#include "platform/http/CookieStorage.h"
#include "platform/http/HandlePool.h"
#include "platform/http/PhoneNetwork.h"
#include "platform/http/RedirectRule.h"
#include "platform/http/Url.h"
#include "platform/http/UrlError.h"

namespace platform::http::detail {
namespace {

// How many redirects one request follows before failing with -1007.
constexpr int kMaxRedirects = 16;
// Longest wait inside libcurl between checks for cancellation and idleness.
constexpr int kPollMilliseconds = 20;
// The whole request's deadline when the request names none that is usable.
constexpr double kDefaultDeadlineSeconds = 300.0;

void ensureCurlInitialized() {
  static std::once_flag once;
  // Once, and never cleaned up: a transfer may still run on a queue thread
  // while the process exits.
  std::call_once(once, [] {
    keepCryptoThroughExit();
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool isFollowedRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A method must be an HTTP token; anything else could rewrite the request.
bool isValidMethod(std::string_view method) {
  static constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
  return !method.empty() && std::all_of(method.begin(), method.end(), [](unsigned char c) {
    return std::isalnum(c) || kExtra.find(static_cast<char>(c)) != std::string_view::npos;
  });
}

// A header that would break the request line structure is not sent.
bool isSendableHeader(const std::string& name, const std::string& value) {
  auto badInName = [](char c) {
    return c == ':' || c == '\r' || c == '\n' || c == '\0' || c == ' ' || c == '\t';
  };
  auto badInValue = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
  return !name.empty() && std::none_of(name.begin(), name.end(), badInName) &&
         std::none_of(value.begin(), value.end(), badInValue);
}

// Names of the cookies a Cookie field value already carries.
std::vector<std::string> cookieNames(std::string_view value) {
  std::vector<std::string> names;
  while (!value.empty()) {
    std::string_view item = value.substr(0, value.find(';'));
    value.remove_prefix(std::min(value.size(), item.size() + 1));
    item = trim(item);
    names.emplace_back(trim(item.substr(0, item.find('='))));
  }
  return names;
}

// What the cookie store adds to a request's headers: a Cookie line of its
// own, or cookies joined to the request's own Cookie line (those it does not
// name itself: a cookie the request names keeps the request's value).
struct StoredCookies {
  std::optional<std::string> line;
  std::string joined;
};

StoredCookies storedCookies(const HeaderFields& headers, const std::string& url) {
  StoredCookies out;
  auto stored = CookieStorage::shared().cookiesForURL(url);
  if (stored.empty()) return out;
  auto explicitValue = headers.value("Cookie");
  if (!explicitValue) {
    out.line = cookieHeaderValue(stored);
    return out;
  }
  auto present = cookieNames(*explicitValue);
  std::vector<Cookie> extra;
  for (auto& cookie : stored) {
    if (std::find(present.begin(), present.end(), cookie.name) == present.end()) {
      extra.push_back(std::move(cookie));
    }
  }
  if (!extra.empty()) out.joined = cookieHeaderValue(extra);
  return out;
}

// The lines of the request's headers: one per name (see
// HeaderFields::combined) with the stored cookies added, fields that would
// break the request left out, and "Expect:" (the platform never waits for
// "100 Continue") unless the request sets Expect.
std::vector<std::string> headerLines(const HeaderFields& headers, const StoredCookies& cookies) {
  std::vector<HeaderFields::Entry> fields = headers.combined();
  if (cookies.line) {
    fields.emplace_back("Cookie", *cookies.line);
  } else if (!cookies.joined.empty()) {
    for (auto& [name, value] : fields) {
      if (!equalsIgnoringCase(name, "Cookie")) continue;
      name = "Cookie";
      value += "; " + cookies.joined;
    }
  }
  std::vector<std::string> lines;
  lines.reserve(fields.size() + 1);
  for (const auto& [name, value] : fields) {
    if (!isSendableHeader(name, value)) continue;
    lines.push_back(value.empty() ? name + ";" : name + ": " + value);
  }
  if (!headers.contains("Expect")) lines.emplace_back("Expect:");
  return lines;
}

// State of one hop (one HTTP exchange) shared with libcurl's callbacks.
struct Hop {
  CURL* easy = nullptr;
  const Request* request = nullptr;
  std::string url;
  // This hop's method, and the origin of the request's own URL.
  std::string method;
  const std::string* requestOrigin = nullptr;
  // Cookies are attached and stored only while the request is in its own
  // origin.
  bool handlesCookies = false;
  TransferSink* sink = nullptr;
  const std::atomic<bool>* cancelled = nullptr;
  curl_off_t timeoutMicros = 0;
  // The whole request's deadline, on the platform clock's steady time.
  const Clock* clock = nullptr;
  Clock::SteadyTimePoint deadline;
  std::int64_t bodySize = 0;

  std::vector<HeaderFields::Entry> fields;
  bool headersDone = false;
  long status = 0;
  // Set when this hop's reply is a redirect that will be followed.
  std::optional<std::string> redirectTo;

  // The body read as it is sent (a BodySource), with what is left of it and
  // the error that stopped it.
  const BodySource* source = nullptr;
  std::unique_ptr<BodyStream> upload;
  std::uint64_t uploadRemaining = 0;
  std::optional<Error> uploadError;

  // The reply body: kept bytes so far, or the sink it goes to, and the
  // error that stopped it (too long, or the sink's).
  std::uint64_t received = 0;
  ResponseSink* responseSink = nullptr;
  std::optional<Error> replyError;

  curl_off_t lastDownloaded = 0;
  curl_off_t lastUploaded = 0;
  curl_off_t lastActivityMicros = 0;
  bool sawActivity = false;
  bool timedOut = false;
  // The request's trust handler answered "cancel".
  bool trustCancelled = false;
  // The phone lost its network before or while the hop ran.
  bool offline = false;

  bool isCancelled() const { return cancelled && cancelled->load(); }
  bool pastDeadline() const { return clock->steadyNow() >= deadline; }
  Error tooLong() const {
    return makeUrlError(kUrlErrorDataLengthExceedsMaximum, url,
                        "the reply is longer than " + std::to_string(request->maxResponseBytes) +
                            " bytes");
  }
};

// False when the reply's body must not be read: announced longer than what
// memory may keep, or refused by the response sink.
bool acceptHead(Hop& hop, const Response& response) {
  if (hop.responseSink) {
    Status begun = hop.responseSink->begin(response);
    if (!begun.ok()) hop.replyError = begun.error();
  } else if (upperCased(hop.request->method) != "HEAD") {
    std::int64_t announced = response.expectedContentLength();
    if (announced > 0 && static_cast<std::uint64_t>(announced) > hop.request->maxResponseBytes) {
      hop.replyError = hop.tooLong();
    }
  }
  return !hop.replyError;
}

// Reports the head of the final response; false stops the transfer.
bool finishHead(Hop& hop) {
  Response response(hop.url, static_cast<int>(hop.status), HeaderFields(std::move(hop.fields)));
  hop.fields.clear();
  if (hop.handlesCookies) CookieStorage::shared().setCookiesFromResponse(response);
  if (hop.request->followRedirects && isFollowedRedirectStatus(hop.status)) {
    if (auto location = response.valueForHeaderField("Location"); location && !location->empty()) {
      // One that may not be followed is the response itself.
      auto target = Url::resolve(hop.url, *location);
      if (target && !RedirectRule::mayFollow(hop.url, *target, *hop.requestOrigin, hop.method,
                                             RedirectRule::methodAfter(hop.status, hop.method),
                                             hop.request->bodyMustArrive)) {
        target.reset();
      }
      if (target) {
        hop.redirectTo = *target;
        if (!hop.isCancelled()) hop.sink->wasRedirected(*target, response);
        return true;
      }
    }
  }
  if (hop.isCancelled()) return true;
  if (!acceptHead(hop, response)) return false;
  hop.sink->didReceiveResponse(response);
  return true;
}

// The callbacks are given the handle's state, whose `transfer` is the hop
// running on it.
Hop& hopOf(void* userData) {
  return *static_cast<Hop*>(static_cast<HandlePool::HandleState*>(userData)->transfer);
}

size_t onHeader(char* buffer, size_t size, size_t count, void* userData) {
  auto& hop = hopOf(userData);
  const size_t length = size * count;
  hop.sawActivity = true;
  if (hop.headersDone) return length;  // trailers of a chunked body
  std::string_view line(buffer, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    hop.fields.clear();  // a new head (after a 1xx one)
    return length;
  }
  if (line.empty()) {
    long status = 0;
    curl_easy_getinfo(hop.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) {
      hop.fields.clear();
      return length;
    }
    hop.status = status;
    hop.headersDone = true;
    return finishHead(hop) ? length : 0;
  }
  if (line.front() == ' ' || line.front() == '\t') {
    // Obsolete line folding: continues the previous field's value.
    if (!hop.fields.empty()) {
      std::string& value = hop.fields.back().second;
      value += ' ';
      value += trim(line);
    }
    return length;
  }
  auto colon = line.find(':');
  if (colon == std::string_view::npos) return length;
  std::string_view name = trim(line.substr(0, colon));
  if (name.empty()) return length;
  hop.fields.emplace_back(std::string(name), std::string(trim(line.substr(colon + 1))));
  return length;
}

size_t onBody(char* data, size_t size, size_t count, void* userData) {
  auto& hop = hopOf(userData);
  const size_t length = size * count;
  hop.sawActivity = true;
  if (hop.isCancelled()) return 0;  // stops the transfer
  if (!hop.headersDone || hop.redirectTo || length == 0) return length;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  if (hop.responseSink) {
    Status written = hop.responseSink->write(bytes, length);
    if (!written.ok()) {
      hop.replyError = written.error();
      return 0;
    }
  } else if (length > hop.request->maxResponseBytes - hop.received) {
    hop.replyError = hop.tooLong();
    return 0;
  }
  hop.received += length;
  hop.sink->didReceiveData(bytes, length);
  return length;
}

// Rewinds the body to its start (libcurl sends it again over a fresh
// connection when a kept-alive one turns out closed); no other seek.
int onSeek(void* userData, curl_off_t offset, int origin) {
  auto& hop = hopOf(userData);
  if (offset != 0 || origin != SEEK_SET || !hop.source || !hop.source->open) return CURL_SEEKFUNC_CANTSEEK;
  hop.upload = hop.source->open();
  if (!hop.upload) return CURL_SEEKFUNC_FAIL;
  hop.uploadRemaining = hop.source->length;
  return CURL_SEEKFUNC_OK;
}

size_t onRead(char* buffer, size_t size, size_t count, void* userData) {
  auto& hop = hopOf(userData);
  if (hop.isCancelled()) return CURL_READFUNC_ABORT;
  if (!hop.upload) return 0;  // nothing is streamed on this hop
  const size_t room = static_cast<size_t>(std::min<std::uint64_t>(size * count, hop.uploadRemaining));
  if (room == 0) return 0;
  auto read = hop.upload->read(reinterpret_cast<std::uint8_t*>(buffer), room);
  if (!read.ok()) {
    hop.uploadError = read.error();
    return CURL_READFUNC_ABORT;
  }
  if (*read == 0) {
    hop.uploadError = makeUrlError(kUrlErrorRequestBodyStreamExhausted, hop.url,
                                   "the body ended before its announced length");
    return CURL_READFUNC_ABORT;
  }
  const size_t taken = std::min(*read, room);
  hop.uploadRemaining -= taken;
  hop.sawActivity = true;
  return taken;
}

int onProgress(void* userData, curl_off_t, curl_off_t downloaded, curl_off_t,
               curl_off_t uploaded) {
  auto& hop = hopOf(userData);
  if (hop.isCancelled()) return 1;
  curl_off_t elapsed = 0;
  curl_easy_getinfo(hop.easy, CURLINFO_TOTAL_TIME_T, &elapsed);
  if (uploaded > hop.lastUploaded) {
    hop.sink->didSendBodyData(uploaded - hop.lastUploaded, uploaded, hop.bodySize);
    hop.lastUploaded = uploaded;
    hop.sawActivity = true;
  }
  if (downloaded != hop.lastDownloaded) {
    hop.lastDownloaded = downloaded;
    hop.sawActivity = true;
  }
  if (hop.sawActivity) {
    hop.sawActivity = false;
    hop.lastActivityMicros = elapsed;
  } else if (elapsed - hop.lastActivityMicros > hop.timeoutMicros) {
    hop.timedOut = true;
    return 1;
  }
  if (hop.pastDeadline()) {
    hop.timedOut = true;
    return 1;
  }
  return 0;
}

Error errorForCurl(CURLcode code, const Hop& hop, const char* detail) {
  std::int64_t urlCode = kUrlErrorUnknown;
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL: urlCode = kUrlErrorUnsupportedURL; break;
    case CURLE_URL_MALFORMAT: urlCode = kUrlErrorBadURL; break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: urlCode = kUrlErrorCannotFindHost; break;
    case CURLE_COULDNT_CONNECT: {
      long osError = 0;
      curl_easy_getinfo(hop.easy, CURLINFO_OS_ERRNO, &osError);
      urlCode = (osError == ENETUNREACH || osError == ENETDOWN) ? kUrlErrorNotConnectedToInternet
                                                                : kUrlErrorCannotConnectToHost;
      break;
    }
    case CURLE_OPERATION_TIMEDOUT: urlCode = kUrlErrorTimedOut; break;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_RANGE_ERROR: urlCode = kUrlErrorBadServerResponse; break;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3: urlCode = kUrlErrorNetworkConnectionLost; break;
    case CURLE_PEER_FAILED_VERIFICATION: {
      long verify = X509_V_OK;
      curl_easy_getinfo(hop.easy, CURLINFO_SSL_VERIFYRESULT, &verify);
      if (verify == X509_V_ERR_CERT_HAS_EXPIRED) urlCode = kUrlErrorServerCertificateHasBadDate;
      else if (verify == X509_V_ERR_CERT_NOT_YET_VALID) urlCode = kUrlErrorServerCertificateNotYetValid;
      else urlCode = kUrlErrorServerCertificateUntrusted;
      break;
    }
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_ISSUER_ERROR: urlCode = kUrlErrorServerCertificateUntrusted; break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED: urlCode = kUrlErrorSecureConnectionFailed; break;
    case CURLE_BAD_CONTENT_ENCODING: urlCode = kUrlErrorCannotDecodeRawData; break;
    case CURLE_TOO_MANY_REDIRECTS: urlCode = kUrlErrorHTTPTooManyRedirects; break;
    default: break;
  }
  std::string text = (detail && *detail) ? detail : curl_easy_strerror(code);
  return makeUrlError(urlCode, hop.url, text);
}

// The https rule: plain http only to the loopback interface. The URL's
// "scheme://host:port", which names its connections, when it passes.
Result<std::string> checkUrl(const std::string& url) {
  auto parsed = Url::parse(url);
  if (!parsed) return makeUrlError(kUrlErrorBadURL, url);
  if (!parsed->isHttp()) return makeUrlError(kUrlErrorUnsupportedURL, url);
  if (!parsed->isSecure() && !parsed->isLoopback()) {
    return makeUrlError(kUrlErrorSecureConnectionRequired, url,
                        "plain http to " + parsed->host() + " refused");
  }
  return RedirectRule::originOf(*parsed);
}

// What stays the same for every hop of one transfer.
struct TransferContext {
  const Request* request = nullptr;
  std::string requestOrigin;
  TransferSink* sink = nullptr;
  const std::atomic<bool>* cancelled = nullptr;
  std::shared_ptr<Clock> clock;
  Clock::SteadyTimePoint deadline;
  curl_off_t timeoutMicros = 0;
};

struct HopResult {
  std::optional<Error> error;
  long status = 0;
  std::optional<std::string> redirectTo;
};

// What one hop sends: bytes in memory, or a stream opened for this hop.
struct HopBody {
  const Bytes* bytes = nullptr;
  const BodySource* source = nullptr;
};

// Runs the easy handle in `lease` to its end; the CURLcode, or an abort.
struct Outcome {
  CURLcode code = CURLE_OK;
  bool aborted = false;
};

// Gives the handle `url` already parsed: the handle's last one again when
// it is the same URL. A URL libcurl's parser refuses goes as text, so the
// transfer fails as it would have.
void setUrl(CURL* e, HandlePool::HandleState& state, const std::string& url) {
  if (state.parsedUrl && state.parsedText == url) return;  // still set
  if (!state.parsedUrl) state.parsedUrl.reset(curl_url());
  // libcurl reads the text of a parsed URL again once no text is set.
  curl_easy_setopt(e, CURLOPT_URL, static_cast<const char*>(nullptr));
  if (state.parsedUrl &&
      curl_url_set(state.parsedUrl.get(), CURLUPART_URL, url.c_str(),
                   CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    state.parsedText = url;
    curl_easy_setopt(e, CURLOPT_CURLU, state.parsedUrl.get());
    return;
  }
  curl_easy_setopt(e, CURLOPT_CURLU, static_cast<CURLU*>(nullptr));
  state.parsedUrl.reset();
  state.parsedText.clear();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
}

// The server's chain put to the request's trust handler, in place of
// OpenSSL's own verification (which "default handling" runs as usual).
int verifyServerTrust(X509_STORE_CTX* store, void* data) {
  auto* hop = static_cast<Hop*>(data);
  ServerTrust trust;
  if (std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed{curl_url(), &curl_url_cleanup}) {
    char* host = nullptr;
    if (curl_url_set(parsed.get(), CURLUPART_URL, hop->url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK) {
      trust.host = host;
      curl_free(host);
    }
  }
  auto addCertificate = [&trust](X509* certificate) {
    int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return;
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    i2d_X509(certificate, &out);
    trust.certificates.push_back(std::move(der));
  };
  if (X509* leaf = X509_STORE_CTX_get0_cert(store)) addCertificate(leaf);
  if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_untrusted(store)) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      X509* certificate = sk_X509_value(chain, i);
      if (certificate != X509_STORE_CTX_get0_cert(store)) addCertificate(certificate);
    }
  }
  switch (hop->request->serverTrustHandler(trust)) {
    case ChallengeDisposition::UseCredential:
      X509_STORE_CTX_set_error(store, X509_V_OK);
      return 1;
    case ChallengeDisposition::PerformDefaultHandling:
      return X509_verify_cert(store);
    case ChallengeDisposition::CancelChallenge:
      break;
  }
  hop->trustCancelled = true;
  X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

CURLcode onSslContext(CURL*, void* context, void* data) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(context), &verifyServerTrust, data);
  return CURLE_OK;
}

// A request with a trust handler gets a connection and a TLS session of its
// own, so that its handler sees the chain; the others share as usual.
void setTrustHandling(CURL* e, Hop& hop) {
  const bool asked = static_cast<bool>(hop.request->serverTrustHandler);
  curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, asked ? &onSslContext : nullptr);
  curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, asked ? static_cast<void*>(&hop) : nullptr);
  curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, asked ? 1L : 0L);
  curl_easy_setopt(e, CURLOPT_FORBID_REUSE, asked ? 1L : 0L);
  curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, asked ? 0L : 1L);
}

// Options every transfer on the handle shares, set once when it is new.
// The callbacks are given the handle's state.
void configure(CURL* e, HandlePool::HandleState& state) {
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROXY, "");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, state.errorBuffer);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &state);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_READFUNCTION, &onRead);
  curl_easy_setopt(e, CURLOPT_READDATA, &state);
  curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &onSeek);
  curl_easy_setopt(e, CURLOPT_SEEKDATA, &state);
  state.configured = true;
}

Outcome drive(HandlePool::Lease& lease, Hop& hop) {
  Outcome outcome;
  CURLM* multi = lease.multi();
  curl_multi_add_handle(multi, lease.easy());
  while (true) {
    // Checked before anything is sent, and between every turn after.
    if (!PhoneNetwork::isConnected()) {
      hop.offline = true;
      outcome.aborted = true;
      break;
    }
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      outcome.code = CURLE_OUT_OF_MEMORY;
      break;
    }
    if (running == 0) {
      int pending = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &pending)) {
        if (message->msg == CURLMSG_DONE) outcome.code = message->data.result;
      }
      break;
    }
    if (hop.isCancelled()) {
      outcome.aborted = true;
      break;
    }
    if (hop.pastDeadline()) {
      hop.timedOut = true;
      outcome.aborted = true;
      break;
    }
    curl_multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr);
  }
  curl_multi_remove_handle(multi, lease.easy());
  return outcome;
}

HopResult runHop(const TransferContext& context, const std::string& url, const std::string& origin,
                 const std::string& method, const HopBody& body, const HeaderFields& headers,
                 bool handlesCookies) {
  HopResult result;
  HandlePool::Lease lease = HandlePool::shared().take(origin);
  if (!lease) {
    result.error = makeUrlError(kUrlErrorUnknown, url, "libcurl could not be set up");
    return result;
  }
  const Request& request = *context.request;
  Hop hop;
  hop.easy = lease.easy();
  hop.request = &request;
  hop.url = url;
  hop.method = method;
  hop.requestOrigin = &context.requestOrigin;
  hop.handlesCookies = handlesCookies;
  hop.sink = context.sink;
  hop.cancelled = context.cancelled;
  hop.clock = context.clock.get();
  hop.deadline = context.deadline;
  hop.timeoutMicros = context.timeoutMicros;
  hop.responseSink = request.responseSink.get();
  if (body.source) {
    hop.source = body.source;
    hop.upload = body.source->open ? body.source->open() : nullptr;
    if (!hop.upload) {
      result.error = makeUrlError(kUrlErrorRequestBodyStreamExhausted, url, "the body cannot be read");
      return result;
    }
    hop.uploadRemaining = body.source->length;
    hop.bodySize = static_cast<std::int64_t>(body.source->length);
  } else {
    hop.bodySize = static_cast<std::int64_t>(body.bytes->size());
  }

  CURL* e = lease.easy();
  HandlePool::HandleState& state = lease.state();
  if (!state.configured) configure(e, state);
  state.transfer = &hop;
  state.errorBuffer[0] = '\0';
  setUrl(e, state, url);
  setTrustHandling(e, hop);
  // Connecting may take neither the idle time nor what is left of the deadline.
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(context.deadline - hop.clock->steadyNow());
  long connectMillis = static_cast<long>(std::min<std::int64_t>(hop.timeoutMicros / 1000, left.count()));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, std::max(1L, connectMillis));

  // A pooled handle still has the last transfer's method and body: back to a
  // bodiless GET first.
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
  curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  const std::string upper = upperCased(method);
  if (upper == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (upper != "GET") {
    if (upper == "POST") curl_easy_setopt(e, CURLOPT_POST, 1L);
    else curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (hop.upload) {
      // Read as it goes out: a POST without POSTFIELDS takes the read callback.
      if (upper != "POST") curl_easy_setopt(e, CURLOPT_POST, 1L);
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(hop.bodySize));
    } else if (upper == "POST" || !body.bytes->empty()) {
      static const char kEmpty[] = "";
      const Bytes& bytes = *body.bytes;
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
      curl_easy_setopt(e, CURLOPT_POSTFIELDS,
                       bytes.empty() ? kEmpty : reinterpret_cast<const char*>(bytes.data()));
    }
  }

  // The header list is built again only when the request's headers or the
  // stored cookies that go with them differ from the last ones sent on this
  // handle.
  StoredCookies cookies = handlesCookies ? storedCookies(headers, url) : StoredCookies{};
  if (!state.headersCurrent || headers.entries() != state.sentFields ||
      cookies.line != state.sentCookieLine || cookies.joined != state.sentCookiesJoined) {
    std::unique_ptr<curl_slist, HandlePool::ListDeleter> list;
    bool complete = true;
    for (const auto& line : headerLines(headers, cookies)) {
      curl_slist* grown = curl_slist_append(list.get(), line.c_str());
      if (!grown) {
        complete = false;  // sent without that line
        continue;
      }
      (void)list.release();
      list.reset(grown);
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list.get());
    state.headers = std::move(list);
    state.headersCurrent = complete;
    state.sentFields = headers.entries();
    state.sentCookieLine = std::move(cookies.line);
    state.sentCookiesJoined = std::move(cookies.joined);
  }

  Outcome outcome = drive(lease, hop);
  if (hop.trustCancelled) {
    result.error = makeUrlError(kUrlErrorCancelled, url);
  } else if (hop.offline && !hop.isCancelled()) {
    result.error = makeUrlError(kUrlErrorNotConnectedToInternet, url, "the phone has no network");
  } else if (outcome.aborted || hop.isCancelled()) {
    result.error = hop.timedOut && !hop.isCancelled() ? makeUrlError(kUrlErrorTimedOut, url)
                                                       : makeUrlError(kUrlErrorCancelled, url);
  } else if (hop.uploadError) {
    result.error = std::move(hop.uploadError);
  } else if (hop.replyError) {
    result.error = std::move(hop.replyError);
  } else if (hop.timedOut) {
    result.error = makeUrlError(kUrlErrorTimedOut, url);
  } else if (outcome.code != CURLE_OK) {
    result.error = errorForCurl(outcome.code, hop, state.errorBuffer);
  } else if (!hop.headersDone) {
    result.error = makeUrlError(kUrlErrorBadServerResponse, url, "no response head");
  } else {
    // A clean end: the connection may carry the next request.
    lease.keep();
  }
  result.status = hop.status;
  result.redirectTo = std::move(hop.redirectTo);
  return result;
}

}  // namespace

Status performTransfer(const Request& request, TransferSink& sink, const std::atomic<bool>* cancelled) {
  ensureCurlInitialized();
  std::string url = request.url;
  std::string method = request.method.empty() ? "GET" : request.method;
  if (!isValidMethod(method)) {
    return makeUrlError(kUrlErrorUnknown, url, "invalid HTTP method");
  }
  TransferContext context;
  context.request = &request;
  context.sink = &sink;
  context.cancelled = cancelled;
  context.clock = Clock::current();
  const double deadline = std::isfinite(request.deadlineSeconds) && request.deadlineSeconds > 0
                              ? std::min(request.deadlineSeconds, 1e9)
                              : kDefaultDeadlineSeconds;
  context.deadline = context.clock->steadyDeadline(seconds(deadline));
  const double timeout = std::isfinite(request.timeoutSeconds) && request.timeoutSeconds > 0
                             ? std::min(request.timeoutSeconds, 1e6)
                             : 60.0;
  context.timeoutMicros = static_cast<curl_off_t>(timeout * 1e6);

  static const auto& kNoBody = *new Bytes();
  const Bytes* body = &request.body;
  std::optional<BodySource> source = request.bodySource;
  HeaderFields headers = request.headers;
  bool leftOrigin = false;
  for (int redirects = 0;; ++redirects) {
    if (cancelled && cancelled->load()) return makeUrlError(kUrlErrorCancelled, url);
    if (context.clock->steadyNow() >= context.deadline) return makeUrlError(kUrlErrorTimedOut, url);
    auto origin = checkUrl(url);
    if (!origin) return origin.error();
    if (redirects == 0) {
      context.requestOrigin = *origin;
    } else if (!leftOrigin && *origin != context.requestOrigin) {
      // For good: a way back to the request's origin through another one
      // is not the request's own either.
      leftOrigin = true;
      headers = RedirectRule::headersForOtherOrigin(headers);
      body = &kNoBody;
      source.reset();
    }
    HopResult hop = runHop(context, url, *origin, method, HopBody{body, source ? &*source : nullptr},
                           headers, request.shouldHandleCookies && !leftOrigin);
    if (hop.error) return *hop.error;
    if (!hop.redirectTo) {
      if (!request.responseSink) return Status::success();
      return request.responseSink->finish();
    }
    if (redirects == kMaxRedirects) return makeUrlError(kUrlErrorHTTPTooManyRedirects, url);
    const std::string next = RedirectRule::methodAfter(hop.status, method);
    if (next != upperCased(method)) {
      method = next;
      body = &kNoBody;
      source.reset();
      headers.remove("Content-Type");
      headers.remove("Content-Length");
    }
    url = *hop.redirectTo;
  }
}

}  // namespace platform::http::detail
