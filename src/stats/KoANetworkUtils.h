// The statistics kit's one network path: a form POST to the statistics
// service, sent synchronously, retried on time-outs and connection
// failures, its JSON reply turned into one small result code.
//
//    0  the reply's "status" is "ok" (its "data" entries go to the output)
//   -1  three attempts ended in a time-out or a lost/refused connection
//   -2  no network (nothing is sent)
//   -3  any other transport error
//   -5  an empty form or no path operation (nothing is sent), or a reply
//       whose "status" is not "ok" (the whole reply goes to the output)
//   -6  the reply is not a JSON object, or an empty one
//
// The form goes as multipart/form-data, one part per entry in its order
// (the service's forms hold texts far larger than a URL-encoded body may
// be). The HTTP status is not judged: a reply is read by its "status".
//
// Ownership: sharedNetworkSingleton() is process-wide, made once, never
// destroyed; its service address is read once, at its first use (the
// "stats" base URL of ServiceHosts). Threading: any thread but the main one
// (an exchange blocks for up to three times the time-out); exchanges may
// run at once on several threads. Failures: codes only; nothing throws.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Request.h"

namespace lumora {

class KoANetworkUtils {
 public:
  // Form entries, sent in this order.
  using Form = std::vector<std::pair<std::string, std::string>>;
  // The reply body as text, or the HTTP client's error.
  using Outcome = platform::Result<std::string>;
  using PathOperation = Outcome (KoANetworkUtils::*)(const Form& form);

  static constexpr double kDefaultTimeoutSeconds = 10.0;

  static KoANetworkUtils& sharedNetworkSingleton();
  // A transport of its own to `prefix` (scheme and host, no trailing "/");
  // nullopt takes the configured statistics address at first use.
  explicit KoANetworkUtils(std::optional<std::string> prefix = std::nullopt);
  KoANetworkUtils(const KoANetworkUtils&) = delete;
  KoANetworkUtils& operator=(const KoANetworkUtils&) = delete;

  // One exchange of `operation` with `form`, as described above; `output`
  // is made an object when something is added to it.
  std::int32_t doPerformRequest(PathOperation operation, const Form& form, platform::Json& output);

  // The path operations: "/kostats", "/kocrash", "/realtime_network". The
  // first and last log the exchange to the console.
  Outcome sendStatMessage(const Form& form);
  Outcome sendCrashReport(const Form& form);
  Outcome sendNetRequestMessage(const Form& form);

  Outcome requestPOSTWithSuffixURL(const std::string& path, const Form& form);
  Outcome requestPOSTWithURL(const std::string& url, const Form& form);
  Outcome requestGETWithURL(const std::string& url);
  // Appends "?k=v" for the first entry and "&k=v" for the others, each
  // value URL-encoded when `encode` is set.
  static void appendURLParam(std::string& url, const Form& input, bool encode);
  std::string getURLPerfix();
  // The JSON value of a reply text; nullopt when it does not parse.
  static std::optional<platform::Json> jsonDictionary(const std::string& data);

  // The multipart/form-data POST of a form, one part per entry.
  static platform::http::Request formRequest(const std::string& url, const Form& form, double timeoutSeconds);
  // One synchronous exchange: the reply body as text, or the HTTP client's
  // error (for this transport and its twins).
  static Outcome exchange(const platform::http::Request& request);

  // Each attempt's time-out (the HTTP client's default unless set); set it
  // before the transport is used.
  void setTimeoutSeconds(double seconds) { timeoutSeconds_ = seconds; }

  // The network check, attempts and reading of one exchange, for this
  // transport and its twins (the push kit's judges by "result"): a reply is
  // accepted when its `acceptKey` is "ok".
  static std::int32_t performRequest(const std::function<Outcome()>& attempt,
                                     const std::string& acceptKey, platform::Json& output);

 private:
  Outcome logged(const char* name, const Form& form, Outcome outcome);

  std::once_flag prefixOnce_;
  std::optional<std::string> prefix_;
  double timeoutSeconds_ = kDefaultTimeoutSeconds;
};

}  // namespace lumora
