#include "server/SignedEndpoints.h"

#include <exception>

#include "server/Crypto.h"
#include "server/HttpUtil.h"

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

std::string regexEscape(const std::string& text) {
  static const std::string kSpecial = R"(\^$.|?*+()[]{})";
  std::string out;
  for (char c : text) {
    if (kSpecial.find(c) != std::string::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// "/a/{userId}/b/{id}" -> "/a/(\d{1,18})/b/([^/]+)/?" and the names in order.
std::string routePattern(const std::string& route, std::vector<std::string>& names) {
  std::string pattern;
  std::size_t pos = 0;
  while (pos < route.size()) {
    std::size_t open = route.find('{', pos);
    if (open == std::string::npos) {
      pattern += regexEscape(route.substr(pos));
      break;
    }
    std::size_t close = route.find('}', open);
    if (close == std::string::npos) {
      pattern += regexEscape(route.substr(pos));
      break;
    }
    pattern += regexEscape(route.substr(pos, open - pos));
    std::string name = route.substr(open + 1, close - open - 1);
    names.push_back(name);
    pattern += name == "userId" ? R"((\d{1,18}))" : "([^/]+)";
    pos = close + 1;
  }
  return pattern + "/?";
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
  entry.patternText = routePattern(route, entry.argNames);
  entry.pattern = std::regex(entry.patternText);
  entry.handler = std::move(handler);
  routes_.push_back(std::move(entry));
  return routes_.back();
}

void SignedEndpoints::install(httplib::Server& server) {
  // routes_ is a deque: adding a route later leaves these pointers valid.
  for (const Route& route : routes_) {
    const Route* target = &route;
    if (route.streamingHandler) {
      server.Post(route.patternText, [this, target](const httplib::Request& req, httplib::Response& res,
                                                    const httplib::ContentReader& body) {
        serve(*target, req, res, &body);
      });
      continue;
    }
    auto handler = [this, target](const httplib::Request& req, httplib::Response& res) {
      serve(*target, req, res, nullptr);
    };
    if (route.method == "GET") {
      server.Get(route.patternText, handler);
    } else {
      server.Post(route.patternText, handler);
    }
  }
}

const SignedEndpoints::Route* SignedEndpoints::routeFor(const std::string& method,
                                                        const std::string& path) const {
  const Route* anyMethod = nullptr;
  for (const Route& route : routes_) {
    if (!std::regex_match(path, route.pattern)) continue;
    if (route.method == method) return &route;
    if (!anyMethod) anyMethod = &route;
  }
  return anyMethod;
}

bool SignedEndpoints::serves(const std::string& path) const {
  return routeFor("", path) != nullptr;
}

bool SignedEndpoints::streams(const std::string& method, const std::string& path) const {
  const Route* route = routeFor(method, path);
  return route && route->method == method && route->streamingHandler;
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

std::optional<SignedRequest> SignedEndpoints::verify(const Route& route, const httplib::Request& req,
                                                     httplib::Response& res) const {
  auto who = caller(req, route.serviceId);
  if (!who) {
    bool named = !http::cookies(req, kServiceTokenCookie).empty();
    replyUnauthorized(res, route.serviceId,
                      named ? "service token expired or unknown" : "not logged in");
    return std::nullopt;
  }
  const std::string& security = who->info.ssecurity;
  auto refuse = [&](int code, const std::string& description) -> std::optional<SignedRequest> {
    if (!replyEncrypted(res, code, Json{{"code", code}, {"description", description}},
                        security)) {
      replyPlain(res, code, Json{{"code", code}, {"description", description}});
    }
    return std::nullopt;
  };

  // The parameters exactly as sent: one value per name.
  std::map<std::string, std::string> sent;
  for (const auto& [name, value] : http::params(req)) {
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

  SignedRequest request{req, method, path, who->userId, route.serviceId, security, {}, {}};
  for (auto& [name, value] : sent) {
    if (!name.empty() && name.front() == '_') {
      request.params.emplace(name, value);
      continue;
    }
    auto plain = crypto::aesDecryptBase64(value, security);
    if (!plain) return refuse(cloudcode::kBadRequest, "parameter does not decrypt: " + name);
    request.params.emplace(name, std::move(*plain));
  }
  for (std::size_t i = 0; i < route.argNames.size() && i + 1 < req.matches.size(); ++i) {
    request.pathArgs[route.argNames[i]] = req.matches[i + 1].str();
  }
  auto owner = request.pathArgs.find("userId");
  if (owner != request.pathArgs.end() && owner->second != std::to_string(who->userId)) {
    return refuse(cloudcode::kForbidden, "the path names another user");
  }
  return request;
}

void SignedEndpoints::serve(const Route& route, const httplib::Request& req,
                            httplib::Response& res, const httplib::ContentReader* body) {
  // Journal the outcome before cpp-httplib writes it out, so that a client
  // that has the reply finds the request in the journal.
  struct JournalOnExit {
    SignedEndpoints& self;
    const httplib::Request& req;
    httplib::Response& res;
    ~JournalOnExit() { self.journal(req, res); }
  } journalOnExit{*this, req, res};
  auto request = verify(route, req, res);
  if (!request) {
    // A refused stream is not read: the connection cannot carry another request.
    if (body) res.set_header("Connection", "close");
    return;
  }

  SignedReply reply;
  try {
    reply = body ? route.streamingHandler(*request, *body) : route.handler(*request);
  } catch (const std::exception& e) {
    reply = SignedReply::error(cloudcode::kServerError, e.what());
  }
  if (!replyEncrypted(res, reply.status, reply.body, request->security)) {
    replyPlain(res, 500, Json{{"code", cloudcode::kServerError},
                              {"description", "the security key is unusable"}});
  }
}

void SignedEndpoints::replyFault(const httplib::Request& req, httplib::Response& res, int status,
                                 const Json& body) const {
  const Route* route = routeFor(req.method, req.path);
  auto who = route ? caller(req, route->serviceId) : std::nullopt;
  if (!who || !replyEncrypted(res, status, body, who->info.ssecurity)) {
    replyPlain(res, status, body);
  }
}

void SignedEndpoints::journal(const httplib::Request& req, const httplib::Response& res) {
  const Route* route = routeFor(req.method, req.path);
  if (!route) return;
  SignedCall call;
  call.method = req.method;
  call.path = req.path;
  if (auto who = caller(req, route->serviceId)) call.userId = who->userId;
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
