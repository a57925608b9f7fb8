// The signed-request layer of the local cloud's services (contacts,
// relocation, device information, and the services that come after them).
// Every endpoint registered here gets, before its handler runs:
//   1. the cookie "userId=...; serviceToken=..." checked: the token must be
//      known, not revoked, issued for the endpoint's service id and to that
//      user (else HTTP 401 with a "WWW-Authenticate" challenge);
//   2. the "signature" parameter recomputed over the upper-case method, the
//      decoded path without a trailing slash, every other parameter as sent
//      ("name=value", names in byte order) and the token's security key
//      (missing or wrong: 403);
//   3. every parameter whose name does not start with "_" AES-decrypted
//      under that key (one that does not decrypt, or a name sent twice: 400);
//   4. a "{userId}" segment of its route matched to the token's user (403).
// The handler sees the decrypted parameters and returns a JSON reply, which
// goes out AES-encrypted under the same key as the Base64 text of the
// ciphertext, content type "application/json". A request without any
// parameter is authenticated by its cookie alone: the client signs only
// what it sends with parameters.
//
// Routes are matched segment by segment, in time linear in the path.
//
// Ownership: owned by the CloudServer; holds a reference to the Store, which
// must outlive it. Routes are added before start(): each start installs
// the routes registered so far on its new httplib::Server. Threading: handlers run
// concurrently on the server's threads; the request journal takes its own
// lock. Failures: every refusal is a reply (see the codes below); a handler
// that throws is answered with code 500.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/storage/Store.h"

namespace localcloud {

// Reply "code" values of the signed services and the HTTP statuses they
// travel with.
namespace cloudcode {
inline constexpr int kOk = 0;               // HTTP 200
inline constexpr int kRedirect = 308;       // HTTP 200, data "redirectUrl"
inline constexpr int kBadRequest = 400;     // HTTP 400: a parameter is missing,
                                            // malformed or does not decrypt
inline constexpr int kUnauthorized = 401;   // HTTP 401, plain JSON: no valid token
inline constexpr int kForbidden = 403;      // HTTP 403: wrong signature, other user
inline constexpr int kNotFound = 404;       // HTTP 404: no such record
inline constexpr int kServerError = 500;    // HTTP 500: the service failed
inline constexpr int kUnavailable = 503;    // HTTP 503, data "retryAfter"
}  // namespace cloudcode

// One verified request, as a handler sees it.
struct SignedRequest {
  const httplib::Request& http;
  std::string method;          // upper case
  std::string path;            // decoded, without a trailing slash (as signed)
  std::int64_t userId = 0;     // the token's user
  std::string serviceId;       // the token's (= the endpoint's) service id
  std::string security;        // the token's security key (Base64)
  // Every parameter but "signature": decrypted values, "_" names as sent.
  std::map<std::string, std::string> params;
  // The "{name}" segments of the route ("{userId}" included).
  std::map<std::string, std::string> pathArgs;
  // The device the token's session belongs to (ServiceTokenInfo::device).
  std::string device;

  std::optional<std::string> param(const std::string& name) const;
  std::string pathArg(const std::string& name) const;
};

// What a handler answers: an HTTP status and the JSON body (with "code").
struct SignedReply {
  using Json = nlohmann::json;
  int status = 200;
  Json body;

  // {"code": 0, "description": "success", "data": data} ("data" only when
  // not null).
  static SignedReply ok(Json data = nullptr);
  // {"code": code, "description": text, "data": data}; the HTTP status is
  // `status`, or for 0 the code itself when it is 400 to 599, else 200.
  static SignedReply error(int code, const std::string& description, Json data = nullptr,
                           int status = 0);
};

// SignedReply::error with cloudcode::kBadRequest: the refusal of a request
// whose parameters are malformed.
SignedReply badRequest(const std::string& problem);

using SignedHandler = std::function<SignedReply(const SignedRequest&)>;

// A handler that reads the request body itself, as it arrives (uploads too
// large to hold): the parameters are those of the query, verified as above
// before the handler runs; the body is unread until the handler reads it.
using StreamingHandler =
    std::function<SignedReply(const SignedRequest&, const httplib::ContentReader& body)>;

// One signed request as the server saw it (for tests and the admin API).
struct SignedCall {
  std::string method;
  std::string path;
  std::int64_t userId = 0;       // 0 when the cookie named no valid token
  std::string redirectCount;     // the "X-QUENBY-REDIRECT-COUNT" header, "" when absent
  int status = 0;                // the HTTP status answered
  // When the request came in and when its reply was made (the server's
  // steady clock): calls that overlap were served at the same time.
  std::chrono::steady_clock::time_point received;
  std::chrono::steady_clock::time_point answered;
};

class SignedEndpoints {
 public:
  using Json = nlohmann::json;
  static constexpr const char* kRedirectCountHeader = "X-QUENBY-REDIRECT-COUNT";
  static constexpr std::size_t kJournalSize = 256;
  // Set on a reply by a fault before the request is served: a JSON object
  // whose members are then set in the served reply's "data".
  static constexpr const char* kReplyDataMark = "X-Lumora-Reply-Data";

  explicit SignedEndpoints(Store& store);

  // Registers a handler. `route` is a path whose segments may be "{name}"
  // (any one non-empty segment) or "{userId}" (a decimal user id of at
  // most 18 digits that must be the token's user); a path may end in one
  // slash more than its route. `serviceId` is the service
  // whose tokens the endpoint takes ("lumora", "deviceinfo", ...).
  void get(const std::string& route, const std::string& serviceId, SignedHandler handler);
  void post(const std::string& route, const std::string& serviceId, SignedHandler handler);
  // A POST whose body the handler streams (its size limit is the server's
  // upload limit, not the ordinary request limit).
  void postStreaming(const std::string& route, const std::string& serviceId,
                     StreamingHandler handler);

  // Registers every route on the server: one handler per method that
  // answers the paths of the routes and 404 to all others, so it goes on
  // after the server's other routes.
  void install(httplib::Server& server);

  // True when a registered route serves this path.
  bool serves(const std::string& path) const;
  // True when a streaming route serves this method and path.
  bool streams(const std::string& method, const std::string& path) const;

  // Answers an injected coded fault on a signed path, and journals it: the
  // body encrypted under the key of the caller's token when it names a
  // valid one, else as plain JSON.
  void replyFault(const httplib::Request& req, httplib::Response& res, int status,
                  const Json& body);

  // Records an answered request to a signed path (the requests the routes
  // answer are recorded as they are answered; the fault injection calls it
  // for the others it answers).
  void journal(const httplib::Request& req, const httplib::Response& res);
  std::vector<SignedCall> recentCalls() const;
  void clearJournal();

  // The encrypted reply form; false when the key is unusable.
  static bool replyEncrypted(httplib::Response& res, int status, const Json& body,
                             const std::string& security);

 private:
  struct Route {
    std::string method;
    std::string serviceId;
    std::vector<std::string> segments;  // "/a/{id}" -> "a", "{id}"
    SignedHandler handler;
    StreamingHandler streamingHandler;  // set for a streaming route instead
  };
  struct Match {
    const Route* route = nullptr;
    std::map<std::string, std::string> args;  // the "{name}" segments
  };
  struct Caller {
    std::int64_t userId = 0;
    std::string token;
    ServiceTokenInfo info;
  };

  Route& add(const std::string& method, const std::string& route, const std::string& serviceId,
             SignedHandler handler);
  // Checks cookie, signature, parameters and the path's user, then runs the
  // route's handler (the streaming one with `body` when it is set). A
  // refused stream is left unread and its connection closed.
  void serve(const Match& match, const httplib::Request& req, httplib::Response& res,
             const httplib::ContentReader* body);
  // The route of this method that serves the path, else one of another
  // method, else nullopt.
  std::optional<Match> routeFor(std::string_view method, std::string_view path) const;
  void record(const httplib::Request& req, const httplib::Response& res, std::int64_t userId,
              std::chrono::steady_clock::time_point received = std::chrono::steady_clock::now());
  // The caller's token for the service: the first "serviceToken" cookie
  // that is valid for it and whose owner is the "userId" cookie.
  std::optional<Caller> caller(const httplib::Request& req, const std::string& serviceId) const;

  Store& store_;
  std::vector<Route> routes_;

  mutable std::mutex journalMutex_;
  std::deque<SignedCall> journal_;
};

// Base of the cloud services over this layer (contacts, relocation, device
// information, ...): a service registers its endpoints once, before the
// server starts, and from then on only answers requests.
// Ownership: owned by the CloudServer; borrows the store it works over,
// which outlives it. Threading: a service keeps no state of its own; its
// handlers run concurrently and share only the Store. Failures: refusals and storage failures are coded replies
// (SignedReply::error); nothing throws.
class SignedService {
 public:
  virtual ~SignedService() = default;
  virtual void registerOn(SignedEndpoints& endpoints) = 0;
};

}  // namespace localcloud
