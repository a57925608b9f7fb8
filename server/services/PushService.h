// The push service of the local cloud, on two hosts: production and sandbox
// (by default "127.0.0.1" and "localhost", told apart by the request's Host;
// each its own world of users and registrations, and every request records
// which it reached). Plain routes, unsigned; forms as multipart/form-data or
// URL-encoded.
//
// Device side (the app's id, key and package name checked on every call):
//   POST /pass/register          appid apptoken appversion packagename
//                                sdkversion devid model platform
//                                -> {"userId", "ssecurity", "token"}
//   POST /v1/ios/register        devicetoken userid [regid] + common
//                                -> {"regid", "regsecret", "regat"}
//   POST /v1/ios/unregister, /v1/ios/command/set-alias, .../unset-alias
//        (alias), /v1/ios/subscribe, /v1/ios/unsubscribe (topic),
//        /v1/ios/notify (type "bar:click", [messageid]): regid + common
//   common: appid apptoken appversion packagename resourceid
// Server side ("Authorization: key=<the app's iOS or Android secret>"):
//   POST /v2/message/regid (registration_id), /v2/message/alias (alias),
//        /v2/message/topic (topic), each with the message fields of the
//        secret's platform; POST /v2/multi_messages/regids and .../aliases
//        ("messages": [{"target", "message": {fields}}]);
//   GET /v1/stats/message/counters?start_date&end_date&restricted_package_name
// Replies {"result":"ok","data":{...}}; refusals {"result":"error","code",
// "reason"}: see the codes below. A field the route does not take, one sent
// twice, or a missing or malformed one is refused. The admin switch
// expireNextCommand() answers the next command with 66007 and drops its
// registration, as the service does with a registration it no longer knows.
//
// Ownership: owned by the CloudServer; borrows the Store. Threading:
// handlers run concurrently; records change under the Store's write access,
// the hosts under a lock. Nothing throws.
#pragma once

#include <httplib.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/PushStore.h"

namespace localcloud {

class PushService {
 public:
  using Json = nlohmann::json;

  static constexpr int kCodeBadRequest = 10001;      // HTTP 400: a field missing, malformed, unknown or twice
  static constexpr int kCodeUnknownHost = 10002;     // HTTP 421: neither push host
  static constexpr int kCodeLimit = 10003;           // too many aliases or topics on a registration
  static constexpr int kCodeUnknownApp = 20001;      // HTTP 403: app id, key or package name wrong
  static constexpr int kCodeUnknownUser = 20002;     // userid is no user of the app (in that world)
  static constexpr int kCodeUnauthorized = 20003;    // HTTP 401: no or a wrong "Authorization"
  static constexpr int kCodeRegistrationReset = 66007;  // the registration is not (any longer) known
  static constexpr int kCodeStorage = 50000;         // HTTP 500
  static constexpr std::size_t kMaxTargets = 1000;   // ids or aliases of one send
  static constexpr std::size_t kMaxMultiMessages = 100;
  static constexpr const char* kProduction = "production";
  static constexpr const char* kSandbox = "sandbox";

  explicit PushService(Store& store);
  void registerOn(httplib::Server& server);
  void registerAdminOn(httplib::Server& server);

  // True for every route above.
  static bool serves(const std::string& path);
  static Json refusal(int code, const std::string& reason);

  // The host names of the two worlds (no port); false unless both are
  // non-empty and differ.
  bool setHosts(const std::string& production, const std::string& sandbox);
  bool addApp(const PushApp& app, std::string* error = nullptr) { return store_.addApp(app, error); }
  void expireNextCommand() { expireNext_ = true; }

  // What arrived on `path` (every path when empty), oldest first.
  std::vector<PushReceived> received(const std::string& path = {}) { return store_.received(path); }
  void clearReceived() { store_.clearReceived(); }
  std::vector<PushRegistration> registrations() { return store_.registrations(); }
  PushStore& records() { return store_; }

  // One request as read: its world, fields and header.
  struct Request {
    const httplib::Request& http;
    std::string env;
    http::FormFields fields;
    std::string field(const std::string& name) const;
  };
  struct Reply {
    int status = 200;
    int code = 0;
    std::string reason;
    Json data = Json::object();
    static Reply error(int status, int code, std::string reason) { return Reply{status, code, std::move(reason), {}}; }
  };

 private:
  using Handler = Reply (PushService::*)(const Request&);

  // Reads the request (host, form or query), runs `handler`, answers and
  // journals it.
  void serve(const httplib::Request& req, httplib::Response& res, Handler handler);
  std::string envOf(const httplib::Request& req);

  // Device side.
  Reply registerUser(const Request& req);
  Reply registerToken(const Request& req);
  Reply unregister(const Request& req);
  Reply setAlias(const Request& req);
  Reply unsetAlias(const Request& req);
  Reply subscribe(const Request& req);
  Reply unsubscribe(const Request& req);
  Reply notify(const Request& req);
  // The common checks of a command: the app, then the registration (or
  // the admin switch's 66007); the registration when it passes.
  std::optional<PushRegistration> command(const Request& req, const char* nameField, Reply& refused);
  Reply nameCommand(const Request& req, const char* field, const char* kind, bool present);

  // Server side (PushService+Send.cpp).
  Reply sendToRegids(const Request& req);
  Reply sendToAliases(const Request& req);
  Reply sendToTopic(const Request& req);
  Reply multiSendToRegids(const Request& req);
  Reply multiSendToAliases(const Request& req);
  Reply counters(const Request& req);
  Reply send(const Request& req, const char* targetField, const char* targetKind, bool list);
  Reply multiSend(const Request& req, const char* targetKind);

  PushStore store_;
  std::mutex hostsMutex_;
  std::string productionHost_ = "127.0.0.1";
  std::string sandboxHost_ = "localhost";
  std::atomic<bool> expireNext_{false};
};

}  // namespace localcloud
