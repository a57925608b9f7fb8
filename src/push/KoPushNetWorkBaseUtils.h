// The push kit's transport, on the statistics kit's exchange: a form POST
// (or a GET with a query) to the push service, sent synchronously, retried
// on time-outs and lost or refused connections, its JSON reply read into one
// result code. It differs from the statistics transport in that a reply is
// accepted when its "result" is "ok" ({"result":"ok","data":{...}}; a
// refused reply such as {"result":"error","code":66007} goes whole to the
// output), the host follows the run mode (the "push" address when the app
// runs "online", else "pushSandbox"), and a request may carry the header
// "Authorization: key=<secret>" (never with an empty secret).
//
// Codes: 0 accepted, -1 three attempts timed out or failed to connect, -2 no
// network, -3 another transport error, -5 an empty form, an operation of
// another transport, or a refused reply, -6 a reply that is no JSON object.
//
// Ownership: the subclasses' shared instances are process-wide, made once,
// never destroyed; the host is chosen at the first use and then kept (for
// the shared instances, for the life of the process). Threading: any thread
// but the main one; exchanges may run at once. Failures: codes only.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "stats/KoANetworkUtils.h"

namespace lumora {

class KoPushNetWorkBaseUtils {
 public:
  using Form = KoANetworkUtils::Form;
  using Outcome = KoANetworkUtils::Outcome;

  static constexpr double kDefaultTimeoutSeconds = KoANetworkUtils::kDefaultTimeoutSeconds;

  // A transport to `prefix` (scheme and host, no trailing "/"); nullopt
  // chooses the configured production or sandbox address at first use.
  explicit KoPushNetWorkBaseUtils(std::optional<std::string> prefix = std::nullopt);
  virtual ~KoPushNetWorkBaseUtils() = default;
  KoPushNetWorkBaseUtils(const KoPushNetWorkBaseUtils&) = delete;
  KoPushNetWorkBaseUtils& operator=(const KoPushNetWorkBaseUtils&) = delete;

  // One exchange of a path operation of `Self` with `form`; `output` is
  // made an object when something is added to it. -5 when this transport is
  // no `Self`.
  template <class Self>
  std::int32_t doPerformRequest(Outcome (Self::*operation)(const Form&), const Form& form,
                                platform::Json& output) {
    auto* self = dynamic_cast<Self*>(this);
    if (operation == nullptr || self == nullptr || form.empty()) return -5;
    return KoANetworkUtils::performRequest([&] { return (self->*operation)(form); }, "result", output);
  }

  // Form POSTs; an empty secret sends no "Authorization" header.
  Outcome requestPOSTWithURL(const std::string& url, const std::string& secret, const Form& form);
  Outcome requestPOSTWithSuffixURL(const std::string& path, const Form& form);
  Outcome requestPOSTWithSuffixURL(const std::string& path, const std::string& secret, const Form& form);
  // Plain GETs, with the same header rule.
  Outcome requestGETWithURL(const std::string& url);
  Outcome requestGETWithURL(const std::string& url, const std::string& secret);
  Outcome requestGETWithSuffixURL(const std::string& pathAndQuery, const std::string& secret);

  // "?k=v" for the first entry and "&k=v" for the others, each value
  // URL-encoded when `encode` is set.
  static void appendURLParam(std::string& url, const Form& input, bool encode);
  std::string getURLPerfix();
  static std::optional<platform::Json> jsonDictionary(const std::string& data);

  // Each attempt's time-out (the HTTP client's default unless set).
  void setTimeoutSeconds(double seconds) { timeoutSeconds_ = seconds; }
  // Tests: the host is chosen again at the next use, the time-out is the
  // default again.
  void resetForTesting();

 private:
  std::mutex prefixMutex_;
  const bool prefixGiven_;
  std::optional<std::string> prefix_;
  double timeoutSeconds_ = kDefaultTimeoutSeconds;
};

}  // namespace lumora
