// Where the services live. The client was built against fixed production
// hosts; here every service address is deployment configuration, read from
// "<app home>/hosts.json" (an object of key -> base URL) with environment
// overrides, so the demo and the tests point everything at the local cloud.
//
// Resolution order for a key: set() in this process, LUMORA_HOST_<KEY> (key
// upper-cased, e.g. LUMORA_HOST_ACCOUNT), hosts.json, LUMORA_CLOUD_URL (one
// base URL for every service), then the built-in default
// "http://127.0.0.1:8765" (the local cloud's demo port). Base URLs carry
// scheme, host and optional port, without a trailing slash.
//
// Thread-safe; values are read on each call so a test may change them.
// Ownership: the overrides are process-wide. Failure: a missing or unreadable
// hosts.json (or entry) is skipped and the next source in the order answers;
// hostsFileProblem() tells a file that is there but cannot be used.
#pragma once

#include <optional>
#include <string>

namespace lumora {

class ServiceHosts {
 public:
  // What is wrong with "<app home>/hosts.json" when it is there but is not
  // a JSON object (it is then ignored); nullopt when it is missing or fine.
  static std::optional<std::string> hostsFileProblem();

  // Keys of the services the client talks to.
  static constexpr const char* kAccount = "account";                // release account service
  static constexpr const char* kAccountPreview = "accountPreview";  // preview (test) account service
  static constexpr const char* kAccountApi = "accountApi";          // account user API (core info)
  static constexpr const char* kCALogin = "caLogin";                // CA login host (plain HTTP)
  static constexpr const char* kCAToken = "caToken";                // HTTPS base of the CA login host
  static constexpr const char* kCloud = "cloud";                    // contacts and gallery API
  static constexpr const char* kRelocation = "relocation";
  static constexpr const char* kRelocationPreview = "relocationPreview";
  static constexpr const char* kDeviceInfo = "deviceinfo";
  static constexpr const char* kStorage = "storage";                // KSS block storage
  static constexpr const char* kFeedback = "feedback";                  // HTTPS base of the feedback service
  static constexpr const char* kFeedbackCallback = "feedbackCallback";  // plain-HTTP host of its "/sts"
  static constexpr const char* kStats = "stats";
  static constexpr const char* kPush = "push";                      // push service, production
  static constexpr const char* kPushSandbox = "pushSandbox";        // push service, sandbox
  static constexpr const char* kCrashReports = "crashReports";

  static constexpr const char* kDefaultBaseURL = "http://127.0.0.1:8765";

  // Base URL for `key`.
  static std::string baseURL(const std::string& key);
  // Host part of baseURL(key) (no scheme, port or path).
  static std::string host(const std::string& key);
  // The parent cookie domain of the account hosts, with its leading dot:
  // "accountCookieDomain" when configured, else "." + host(kAccount).
  static std::string accountCookieDomain();

  // The feedback login's callback URL: "feedbackCallback" + "/sts" when
  // configured, else "http://" + the host (and port) of baseURL(kFeedback)
  // + "/sts".
  static std::string feedbackCallbackURL();
  // The cookie domain of the feedback service, with its leading dot:
  // "feedbackCookieDomain" when configured, else the parent domain of
  // host(kFeedback) (the host itself when it is an address or has fewer
  // than three labels).
  static std::string feedbackCookieDomain();

  // Process-local override (tests, the demo); nullopt removes it.
  static void set(const std::string& key, std::optional<std::string> baseURL);
  // Points every service at one base URL (the local cloud).
  static void setAll(const std::string& baseURL);
  // Drops every process-local override.
  static void reset();

  // Host of an absolute URL, lower-case and without IPv6 brackets
  // ("http://H:1/x" -> "h"); empty for text that is no absolute URL.
  static std::string hostOfURL(const std::string& url);
};

}  // namespace lumora
