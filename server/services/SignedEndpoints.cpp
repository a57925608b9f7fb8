#include "server/services/SignedEndpoints.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>

#include "server/services/Crypto.h"
#include "server/http/HttpServer.h"
#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kUserIdCookie = "userId";
constexpr const char* kServiceTokenCookie = "serviceToken";
constexpr const char* kSignatureParam = "signature";

std::string dump(const Json& body) {
  return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The path as the client signs it: decoded (cpp-httplib decodes it) and
// without a trailing slash, except for the root itself.
std::string signedPath(const std::string& path) {
  std::string out = path;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// "/a/{userId}/b" -> "a", "{userId}", "b".
std::vector<std::string> routeSegments(const std::string& route) {
  std::vector<std::string> segments;
  std::size_t pos = route.empty() || route.front() != '/' ? 0 : 1;
  while (pos <= route.size()) {
    std::size_t end = std::min(route.find('/', pos), route.size());
    segments.push_back(route.substr(pos, end - pos));
    pos = end + 1;
  }
  if (segments.size() > 1 && segments.back().empty()) segments.pop_back();
  return segments;
}

// A regular expression for cpp-httplib that lets through the paths of a
// streaming route (each "{name}" any one segment, one slash more allowed);
// routeFor then matches them exactly. Paths reaching it are short (the
// server refuses long ones first).
std::string streamingPattern(const std::vector<std::string>& segments) {
  std::string pattern;
  for (const std::string& segment : segments) {
    pattern += '/';
    if (segment.size() > 1 && segment.front() == '{' && segment.back() == '}') {
      pattern += "[^/]+";
      continue;
    }
    for (char c : segment) {
      if (std::strchr(".^$|()[]{}*+?\\", c) != nullptr) pattern += '\\';
      pattern += c;
    }
  }
  return pattern + "/?";
}

bool isArg(const std::string& segment) {
  return segment.size() > 2 && segment.front() == '{' && segment.back() == '}';
}

bool segmentMatches(const std::string& segment, std::string_view part) {
  if (!isArg(segment)) return part == segment;
  if (part.empty()) return false;
  if (segment != "{userId}") return true;
  return part.size() <= 18 &&
         std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Matches a path against a route's segments in one pass; the path may end
// in one more slash. The "{name}" segments go into `args` when given.
bool pathMatches(const std::vector<std::string>& segments, std::string_view path,
                 std::map<std::string, std::string>* args) {
  if (path.empty() || path.front() != '/') return false;
  path.remove_prefix(1);
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::size_t pos = 0;
  for (const std::string& segment : segments) {
    if (pos > path.size()) return false;
    std::size_t end = std::min(path.find('/', pos), path.size());
    std::string_view part = path.substr(pos, end - pos);
    if (!segmentMatches(segment, part)) return false;
    if (args && isArg(segment)) {
      (*args)[segment.substr(1, segment.size() - 2)] = std::string(part);
    }
    pos = end + 1;
  }
  return pos == path.size() + 1;
}

// Plain JSON (no usable key): the refusals before a token is known.
void replyPlain(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(dump(body), kJsonType);
}

void replyUnauthorized(httplib::Response& res, const std::string& serviceId,
                       const std::string& description) {
  // The challenge cannot be answered: a URL loader that behaves like the
  // phone's reports it as a cancelled authentication, which sends the
  // client to log in again.
  res.set_header("WWW-Authenticate", "serviceToken realm=\"" + serviceId + "\"");
  replyPlain(res, 401, Json{{"code", cloudcode::kUnauthorized}, {"description", description}});
}

}  // namespace

std::optional<std::string> SignedRequest::param(const std::string& name) const {
  auto it = params.find(name);
  if (it == params.end()) return std::nullopt;
  return it->second;
}

std::string SignedRequest::pathArg(const std::string& name) const {
  auto it = pathArgs.find(name);
  return it == pathArgs.end() ? std::string{} : it->second;
}

SignedReply SignedReply::ok(Json data) {
  SignedReply reply;
  reply.body = Json{{"code", cloudcode::kOk}, {"description", "success"}};
  if (!data.is_null()) reply.body["data"] = std::move(data);
  return reply;
}

SignedReply SignedReply::error(int code, const std::string& description, Json data, int status) {
  SignedReply reply;
  reply.body = Json{{"code", code}, {"description", description}};
  if (!data.is_null()) reply.body["data"] = std::move(data);
  if (status == 0) status = code >= 400 && code <= 599 ? code : 200;
  reply.status = status;
  return reply;
}

SignedReply badRequest(const std::string& problem) {
  return SignedReply::error(cloudcode::kBadRequest, problem);
}

SignedEndpoints::SignedEndpoints(Store& store) : store_(store) {}

void SignedEndpoints::get(const std::string& route, const std::string& serviceId,
                          SignedHandler handler) {
  add("GET", route, serviceId, std::move(handler));
}

void SignedEndpoints::post(const std::string& route, const std::string& serviceId,
                           SignedHandler handler) {
  add("POST", route, serviceId, std::move(handler));
}

void SignedEndpoints::postStreaming(const std::string& route, const std::string& serviceId,
                                    StreamingHandler handler) {
  add("POST", route, serviceId, nullptr).streamingHandler = std::move(handler);
}

SignedEndpoints::Route& SignedEndpoints::add(const std::string& method, const std::string& route,
                                             const std::string& serviceId, SignedHandler handler) {
  Route entry;
  entry.method = method;
  entry.serviceId = serviceId;
  entry.segments = routeSegments(route);
  entry.handler = std::move(handler);
  routes_.push_back(std::move(entry));
  return routes_.back();
}

void SignedEndpoints::install(httplib::Server& server) {
  auto dispatch = [this](const httplib::Request& req, httplib::Response& res) {
    std::string_view method = req.method;
    if (method == "HEAD") method = "GET";
    auto match = routeFor(method, req.path);
    if (!match || match->route->method != method) {
      res.status = 404;
      return;
    }
    serve(*match, req, res, nullptr);
  };
  // A streaming route needs a handler of its own that cpp-httplib finds
  // before it reads the body: its pattern only lets the path through to the
  // segment matching of routeFor.
  for (const Route& route : routes_) {
    if (!route.streamingHandler) continue;
    server.Post(streamingPattern(route.segments),
                [this](const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& body) {
                  auto match = routeFor("POST", req.path);
                  if (!match || !match->route->streamingHandler) {
                    res.status = 404;
                    res.set_header("Connection", "close");
                    HttpServer::closeAfterReply();
                    return;
                  }
                  serve(*match, req, res, &body);
                });
  }
  // The path is only the server's gate here (the routes match it); the
  // server refuses long paths before any pattern sees them.
  server.Get("/.*", dispatch);
  server.Post("/.*", dispatch);
}

std::optional<SignedEndpoints::Match> SignedEndpoints::routeFor(std::string_view method,
                                                                std::string_view path) const {
  std::optional<Match> anyMethod;
  for (const Route& route : routes_) {
    Match match{&route, {}};
    if (!pathMatches(route.segments, path, &match.args)) continue;
    if (route.method == method) return match;
    if (!anyMethod) anyMethod = std::move(match);
  }
  return anyMethod;
}

bool SignedEndpoints::serves(const std::string& path) const {
  return std::any_of(routes_.begin(), routes_.end(), [&](const Route& route) {
    return pathMatches(route.segments, path, nullptr);
  });
}

bool SignedEndpoints::streams(const std::string& method, const std::string& path) const {
  auto match = routeFor(method, path);
  return match && match->route->method == method && match->route->streamingHandler;
}

std::optional<SignedEndpoints::Caller> SignedEndpoints::caller(
    const httplib::Request& req, const std::string& serviceId) const {
  std::string userId = http::firstCookie(req, kUserIdCookie);
  if (userId.empty()) return std::nullopt;
  // The request may carry more than one token (the cookie the client sets
  // and ones a cookie store adds); the first one valid here counts.
  for (const std::string& token : http::cookies(req, kServiceTokenCookie)) {
    auto info = store_.lookupServiceToken(token);
    if (!info || info->serviceId != serviceId || std::to_string(info->userId) != userId) {
      continue;
    }
    return Caller{info->userId, token, *info};
  }
  return std::nullopt;
}

bool SignedEndpoints::replyEncrypted(httplib::Response& res, int status, const Json& body,
                                     const std::string& security) {
  auto cipher = crypto::aesEncryptBase64(dump(body), security);
  if (!cipher) return false;
  res.status = status;
  res.set_content(*cipher, kJsonType);
  return true;
}

void SignedEndpoints::serve(const Match& match, const httplib::Request& req,
                            httplib::Response& res, const httplib::ContentReader* body) {
  const Route& route = *match.route;
  // Journal the outcome before cpp-httplib writes it out, so that a client
  // that has the reply finds the request in the journal.
  struct JournalOnExit {
    SignedEndpoints& self;
    const httplib::Request& req;
    httplib::Response& res;
    std::int64_t userId = 0;
    std::chrono::steady_clock::time_point received = std::chrono::steady_clock::now();
    ~JournalOnExit() { self.record(req, res, userId, received); }
  } journalOnExit{*this, req, res};
  // A refused stream is not read: the connection cannot carry another request.
  struct CloseUnreadOnExit {
    httplib::Response& res;
    const httplib::ContentReader* body;
    bool read = false;
    ~CloseUnreadOnExit() {
      if (body && !read) {
        res.set_header("Connection", "close");
        HttpServer::closeAfterReply();
      }
    }
  } closeUnread{res, body};
  auto who = caller(req, route.serviceId);
  if (who) journalOnExit.userId = who->userId;
  if (!who) {
    bool named = !http::cookies(req, kServiceTokenCookie).empty();
    return replyUnauthorized(res, route.serviceId,
                             named ? "service token expired or unknown" : "not logged in");
  }
  const std::string& security = who->info.ssecurity;
  auto refuse = [&](int code, const std::string& description) {
    if (!replyEncrypted(res, code, Json{{"code", code}, {"description", description}},
                        security)) {
      replyPlain(res, code, Json{{"code", code}, {"description", description}});
    }
  };

  // The parameters exactly as sent: one value per name.
  std::map<std::string, std::string> sent;
  for (const auto& [name, value] : http::queryAndBodyParams(req)) {
    if (!sent.emplace(name, value).second) {
      return refuse(cloudcode::kBadRequest, "parameter sent twice: " + name);
    }
  }
  std::string method = req.method;
  std::string path = signedPath(req.path);
  auto signature = sent.find(kSignatureParam);
  if (signature != sent.end()) {
    std::string given = signature->second;
    sent.erase(signature);
    auto expected = crypto::requestSignature(method, path, sent, security);
    if (!expected || !crypto::constantTimeEquals(given, *expected)) {
      return refuse(cloudcode::kForbidden, "signature mismatch");
    }
  } else if (!sent.empty()) {
    return refuse(cloudcode::kForbidden, "signature missing");
  }

  SignedRequest request{req, method, path, who->userId, route.serviceId, security, {},
                        match.args, who->info.device};
  for (auto& [name, value] : sent) {
    if (!name.empty() && name.front() == '_') {
      request.params.emplace(name, value);
      continue;
    }
    auto plain = crypto::aesDecryptBase64(value, security);
    if (!plain) return refuse(cloudcode::kBadRequest, "parameter does not decrypt: " + name);
    request.params.emplace(name, std::move(*plain));
  }
  auto owner = request.pathArgs.find("userId");
  if (owner != request.pathArgs.end() && owner->second != std::to_string(who->userId)) {
    return refuse(cloudcode::kForbidden, "the path names another user");
  }

  SignedReply reply;
  try {
    closeUnread.read = true;
    reply = body ? route.streamingHandler(request, *body) : route.handler(request);
    // A refused stream may have been left part read: what follows it on
    // the connection is no request.
    if (body && reply.status != 200) closeUnread.read = false;
  } catch (const std::exception& e) {
    reply = SignedReply::error(cloudcode::kServerError, e.what());
  }
  if (res.has_header(kReplyDataMark)) {
    // An injected fault: the served reply's data, changed.
    Json changes = Json::parse(res.get_header_value(kReplyDataMark), nullptr, false);
    res.headers.erase(kReplyDataMark);
    auto data = reply.body.find("data");
    if (changes.is_object() && data != reply.body.end() && data->is_object()) data->update(changes);
  }
  if (!replyEncrypted(res, reply.status, reply.body, security)) {
    replyPlain(res, 500, Json{{"code", cloudcode::kServerError},
                              {"description", "the security key is unusable"}});
  }
}

void SignedEndpoints::replyFault(const httplib::Request& req, httplib::Response& res, int status,
                                 const Json& body) {
  auto match = routeFor(req.method, req.path);
  auto who = match ? caller(req, match->route->serviceId) : std::nullopt;
  if (!who || !replyEncrypted(res, status, body, who->info.ssecurity)) {
    replyPlain(res, status, body);
  }
  if (match) record(req, res, who ? who->userId : 0);
}

void SignedEndpoints::journal(const httplib::Request& req, const httplib::Response& res) {
  auto match = routeFor(req.method, req.path);
  if (!match) return;
  auto who = caller(req, match->route->serviceId);
  record(req, res, who ? who->userId : 0);
}

void SignedEndpoints::record(const httplib::Request& req, const httplib::Response& res,
                             std::int64_t userId, std::chrono::steady_clock::time_point received) {
  SignedCall call;
  call.received = received;
  call.answered = std::chrono::steady_clock::now();
  call.method = req.method;
  call.path = req.path;
  call.userId = userId;
  call.redirectCount = req.get_header_value(kRedirectCountHeader);
  call.status = res.status;
  std::lock_guard lock(journalMutex_);
  journal_.push_back(std::move(call));
  while (journal_.size() > kJournalSize) journal_.pop_front();
}

std::vector<SignedCall> SignedEndpoints::recentCalls() const {
  std::lock_guard lock(journalMutex_);
  return {journal_.begin(), journal_.end()};
}

void SignedEndpoints::clearJournal() {
  std::lock_guard lock(journalMutex_);
  journal_.clear();
}

}  // namespace localcloud
