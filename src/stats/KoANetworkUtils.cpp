#include "stats/KoANetworkUtils.h"

#include <fmt/format.h>

#include "platform/Bytes.h"
#include "platform/JsonParse.h"
#include "platform/diagnostics/Console.h"
#include "platform/Random.h"
#include "platform/device/Reachability.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/UrlError.h"
#include "stats/KoStatJSONUtil.h"
#include "stats/KoStatUrlUtil.h"
#include "utils/LMLogRedaction.h"
#include "utils/ServiceHosts.h"

namespace lumora {
namespace {

constexpr int kMaxAttempts = 3;

// Time-outs and connections that could not be made or broke off are worth
// another attempt; nothing else is.
bool retried(const platform::Error& error) {
  if (error.domain() != platform::http::kURLErrorDomain) return false;
  return error.code() == platform::http::kUrlErrorTimedOut ||
         error.code() == platform::http::kUrlErrorCannotConnectToHost ||
         error.code() == platform::http::kUrlErrorNetworkConnectionLost;
}

// A part name as a quoted header parameter: quotes and line breaks escaped.
std::string quotedName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '"') out += "%22";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else out += c;
  }
  return out;
}

// A boundary that no entry holds.
std::string boundaryFor(const KoANetworkUtils::Form& form) {
  for (;;) {
    std::string boundary = "Boundary-" + platform::hexString(platform::randomBytes(16));
    bool clash = false;
    for (const auto& [name, value] : form) {
      if (name.find(boundary) != std::string::npos || value.find(boundary) != std::string::npos) clash = true;
    }
    if (!clash) return boundary;
  }
}

}  // namespace

KoANetworkUtils& KoANetworkUtils::sharedNetworkSingleton() {
  static KoANetworkUtils* shared = new KoANetworkUtils();
  return *shared;
}

KoANetworkUtils::KoANetworkUtils(std::optional<std::string> prefix) : prefix_(std::move(prefix)) {}

std::string KoANetworkUtils::getURLPerfix() {
  std::call_once(prefixOnce_, [this] {
    if (!prefix_) prefix_ = ServiceHosts::baseURL(ServiceHosts::kStats);
  });
  return *prefix_;
}

std::int32_t KoANetworkUtils::doPerformRequest(PathOperation operation, const Form& form,
                                               platform::Json& output) {
  if (operation == nullptr || form.empty()) return -5;
  return performRequest([&] { return (this->*operation)(form); }, "status", output);
}

std::int32_t KoANetworkUtils::performRequest(const std::function<Outcome()>& attempt,
                                             const std::string& acceptKey, platform::Json& output) {
  if (platform::Reachability::reachabilityForInternetConnection().currentReachabilityStatus() ==
      platform::NetworkStatus::NotReachable) {
    return -2;
  }
  std::optional<std::string> body;
  for (int i = 0; i < kMaxAttempts && !body; ++i) {
    Outcome outcome = attempt();
    if (outcome.ok()) {
      body = std::move(outcome.value());
    } else if (!retried(outcome.error())) {
      return -3;
    }
  }
  if (!body) return -1;
  auto reply = jsonDictionary(*body);
  if (!reply || !reply->is_object() || reply->empty()) return -6;
  if (!output.is_object()) output = platform::Json::object();
  auto accepted = reply->find(acceptKey);
  if (accepted != reply->end() && *accepted == "ok") {
    auto data = reply->find("data");
    if (data != reply->end() && data->is_object()) {
      for (const auto& [key, value] : data->items()) output[key] = value;
    }
    return 0;
  }
  for (const auto& [key, value] : reply->items()) output[key] = value;
  return -5;
}

KoANetworkUtils::Outcome KoANetworkUtils::sendStatMessage(const Form& form) {
  return logged("sendStatMessage:", form, requestPOSTWithSuffixURL("/kostats", form));
}

KoANetworkUtils::Outcome KoANetworkUtils::sendCrashReport(const Form& form) {
  return requestPOSTWithSuffixURL("/kocrash", form);
}

KoANetworkUtils::Outcome KoANetworkUtils::sendNetRequestMessage(const Form& form) {
  return logged("sendNetRequestMessage:", form, requestPOSTWithSuffixURL("/realtime_network", form));
}

KoANetworkUtils::Outcome KoANetworkUtils::logged(const char* name, const Form& form, Outcome outcome) {
  // Shown as the logs show JSON, the values of secret-named fields hidden; a
  // field that carries a JSON document (the events, the network samples and
  // their links) is shown as that document.
  platform::Json fields = platform::Json::object();
  for (const auto& [key, value] : form) {
    platform::Json nested = platform::parseJson(value);
    fields[key] = nested.is_object() || nested.is_array() ? std::move(nested) : platform::Json(value);
  }
  platform::consoleLog(name);
  platform::consoleLog(LMLoggableJSONText(fields));
  if (outcome.ok()) {
    const platform::Json reply = platform::parseJson(outcome.value());
    platform::consoleLog(reply.is_discarded()
                             ? fmt::format("(a reply of {} bytes that is no JSON)", outcome.value().size())
                             : LMLoggableJSONText(reply));
  } else {
    platform::consoleLog(outcome.error().description());
  }
  platform::consoleLog("-----");
  return outcome;
}

KoANetworkUtils::Outcome KoANetworkUtils::requestPOSTWithSuffixURL(const std::string& path, const Form& form) {
  return requestPOSTWithURL(getURLPerfix() + path, form);
}

platform::http::Request KoANetworkUtils::formRequest(const std::string& url, const Form& form,
                                                     double timeoutSeconds) {
  platform::http::Request request;
  request.url = url;
  request.method = "POST";
  request.timeoutSeconds = timeoutSeconds;
  // What a form carries is dropped once the service took it (points,
  // crash records, push commands): a redirect that loses it is no answer.
  request.bodyMustArrive = true;
  std::string boundary = boundaryFor(form);
  std::string body;
  for (const auto& [name, value] : form) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + quotedName(name) +
            "\"\r\n\r\n" + value + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  request.headers.set("Content-Type", "multipart/form-data; charset=utf-8; boundary=" + boundary);
  request.body = platform::toBytes(body);
  return request;
}

KoANetworkUtils::Outcome KoANetworkUtils::exchange(const platform::http::Request& request) {
  auto reply = platform::http::sendSynchronousRequest(request);
  if (reply.error) return *reply.error;
  return platform::toString(reply.data);
}

KoANetworkUtils::Outcome KoANetworkUtils::requestPOSTWithURL(const std::string& url, const Form& form) {
  return exchange(formRequest(url, form, timeoutSeconds_));
}

KoANetworkUtils::Outcome KoANetworkUtils::requestGETWithURL(const std::string& url) {
  platform::http::Request request;
  request.url = url;
  request.timeoutSeconds = timeoutSeconds_;
  return exchange(request);
}

void KoANetworkUtils::appendURLParam(std::string& url, const Form& input, bool encode) {
  bool first = true;
  for (const auto& [key, value] : input) {
    url += fmt::format("{}{}={}", first ? "?" : "&", key, encode ? KoStatUrlUtil::urlEncode(value) : value);
    first = false;
  }
}

std::optional<platform::Json> KoANetworkUtils::jsonDictionary(const std::string& data) {
  return KoStatJSONUtil::tranToObjectWithJson(data);
}

}  // namespace lumora
