// The push service's records in the Store's database: the apps it knows
// (id, key, package name, the iOS and Android secrets), app users per
// device, registrations (a device token bound to a user) with their aliases
// and topics, the messages sent from the server side, and a journal of the
// requests it received. Production and sandbox are two separate worlds: each
// user, registration and message belongs to one of them ("production" or
// "sandbox").
//
// Ownership: owned by the PushService; borrows the Store. Threading: any
// thread; each change is one write transaction under the Store's write
// access. Failures: false / nullopt / empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/http/HttpUtil.h"
#include "server/storage/Store.h"

namespace localcloud {

struct PushApp {
  std::string appId;
  std::string appKey;  // the client's "apptoken"
  std::string packageName;
  std::string secretIOS;
  std::string secretAndroid;
};

struct PushUser {
  std::int64_t userId = 0;
  std::string ssecurity;
  std::string token;
};

struct PushRegistration {
  std::string regid;
  std::string regsecret;
  std::int64_t regat = 0;  // ms since the epoch
  std::string env;
  std::string appId;
  std::int64_t userId = 0;
  std::string deviceToken;
  std::string resourceId;
  std::vector<std::string> aliases;  // in the order set
  std::vector<std::string> topics;
};

// One request as the service received it.
struct PushReceived {
  std::int64_t id = 0;
  std::string env;  // "production", "sandbox", or "" for another host
  std::string method;
  std::string path;
  http::FormFields fields;     // form fields, or the query of a GET
  std::string authorization;   // the "Authorization" header as sent
  int code = 0;                // 0 answered "ok", else the refusal's code

  // The value of a field; "" when it is not there.
  std::string field(const std::string& name) const;
  bool has(const std::string& name) const;
};

class PushStore {
 public:
  static constexpr int kMaxKeptRequests = 1024;
  static constexpr int kMaxKeptMessages = 10000;
  static constexpr int kMaxNamesPerRegistration = 128;  // aliases, and topics

  explicit PushStore(Store& store);

  // Adds or replaces an app. Fails for an empty member or a secret that
  // another app (or the other platform) holds.
  bool addApp(const PushApp& app, std::string* error = nullptr);
  std::optional<PushApp> app(const std::string& appId);
  // The app and platform ("ios" or "android") whose secret this is.
  std::optional<std::pair<PushApp, std::string>> appBySecret(const std::string& secret);

  // The device's app user in `env` (the same user again for the same
  // device), made on its first registration.
  std::optional<PushUser> registerUser(const std::string& env, const std::string& appId, const std::string& devId,
                                       const std::string& model, const std::string& platform);
  bool hasUser(const std::string& env, const std::string& appId, std::int64_t userId);

  // Binds a device token: with `regid`, that registration of the user is
  // kept and takes the token; without, a new registration replaces any
  // that held the token. UnknownRegistration for a regid that is not the
  // user's (in that world, of that app).
  enum class BindStatus { Bound, UnknownRegistration, Failed };
  BindStatus bind(const std::string& env, const std::string& appId, std::int64_t userId,
                  const std::string& deviceToken, const std::string& resourceId, const std::string& regid,
                  PushRegistration& bound);
  std::optional<PushRegistration> registration(const std::string& env, const std::string& appId,
                                               const std::string& regid);
  // Drops a registration with its aliases and topics.
  bool drop(const std::string& regid);
  // Adds ("alias"/"topic") a name, or removes it; false past the limit.
  bool setName(const std::string& regid, const std::string& kind, const std::string& name, bool present);
  std::vector<PushRegistration> registrations();

  // A message sent from the server side; `targetKind` "regid", "alias",
  // "topic" or "multi".
  std::optional<std::string> recordMessage(const std::string& env, const std::string& appId,
                                           const std::string& platform, const std::string& targetKind,
                                           const std::string& targets, const nlohmann::json& fields);
  // Messages per UTC day ("20150301") from `start` to `end`, days without
  // messages left out.
  std::vector<std::pair<std::string, std::int64_t>> counters(const std::string& env, const std::string& appId,
                                                             const std::string& start, const std::string& end);

  void journal(const PushReceived& request);
  std::vector<PushReceived> received(const std::string& path = {});
  void clearReceived();

 private:
  Store& store_;
};

}  // namespace localcloud
