#include "server/services/PushService.h"

#include <set>
#include <variant>

#include "server/http/AdminJson.h"
#include "server/services/Crypto.h"
#include "server/services/PushFields.h"

namespace localcloud {
namespace {

using pushfields::Rule;

constexpr const char* kPaths[] = {
    "/pass/register",           "/v1/ios/register",           "/v1/ios/unregister",
    "/v1/ios/command/set-alias", "/v1/ios/command/unset-alias", "/v1/ios/subscribe",
    "/v1/ios/unsubscribe",      "/v1/ios/notify",             "/v2/message/regid",
    "/v2/message/alias",        "/v2/message/topic",          "/v2/multi_messages/regids",
    "/v2/multi_messages/aliases", "/v1/stats/message/counters",
};

// The app's fields that every device-side call carries.
std::vector<Rule> appRules(std::vector<Rule> rules, bool withResource = true) {
  rules.push_back({"appid", true, pushfields::text});
  rules.push_back({"apptoken", true, pushfields::text});
  rules.push_back({"appversion", true, pushfields::text});
  rules.push_back({"packagename", true, pushfields::text});
  if (withResource) rules.push_back({"resourceid", true, pushfields::resourceId});
  return rules;
}

// The host a request named, without its port.
std::string hostOf(const httplib::Request& req) {
  std::string host = req.get_header_value("Host");
  if (!host.empty() && host.front() == '[') return host.substr(0, host.find(']') + 1);
  return host.substr(0, host.find(':'));
}

// Whether the request's app fields name a known app with its key and
// package name; the refusal otherwise.
std::optional<PushService::Reply> appRefusal(PushStore& store, const PushService::Request& req) {
  auto app = store.app(req.field("appid"));
  if (!app || !crypto::constantTimeEquals(app->appKey, req.field("apptoken")) ||
      app->packageName != req.field("packagename")) {
    return PushService::Reply::error(403, PushService::kCodeUnknownApp, "unknown app, key or package name");
  }
  return std::nullopt;
}

}  // namespace

std::string PushService::Request::field(const std::string& name) const {
  return http::fieldValue(fields, name).value_or("");
}

PushService::PushService(Store& store) : store_(store) {}

bool PushService::serves(const std::string& path) {
  for (const char* served : kPaths) {
    if (path == served) return true;
  }
  return false;
}

PushService::Json PushService::refusal(int code, const std::string& reason) {
  return Json{{"result", "error"}, {"code", code}, {"reason", reason}};
}

bool PushService::setHosts(const std::string& production, const std::string& sandbox) {
  if (production.empty() || sandbox.empty() || production == sandbox) return false;
  std::lock_guard lock(hostsMutex_);
  productionHost_ = production;
  sandboxHost_ = sandbox;
  return true;
}

std::string PushService::envOf(const httplib::Request& req) {
  std::string host = hostOf(req);
  std::lock_guard lock(hostsMutex_);
  if (host == productionHost_) return kProduction;
  if (host == sandboxHost_) return kSandbox;
  return {};
}

void PushService::serve(const httplib::Request& req, httplib::Response& res, Handler handler) {
  Request request{req, envOf(req), {}};
  Reply reply;
  if (req.method == "GET") {
    for (const auto& entry : req.params) request.fields.push_back(entry);
  } else {
    std::string encoding;
    auto form = http::formFields(req, encoding);
    if (auto* fields = std::get_if<http::FormFields>(&form)) request.fields = std::move(*fields);
    else reply = Reply::error(400, kCodeBadRequest, std::get<std::string>(form));
  }
  if (request.env.empty()) {
    reply = Reply::error(421, kCodeUnknownHost, "not a push host: " + hostOf(req));
  } else if (reply.code == 0) {
    reply = (this->*handler)(request);
  }
  Json body = reply.code == 0 ? Json{{"result", "ok"}, {"data", reply.data}} : refusal(reply.code, reply.reason);
  res.status = reply.status;
  res.set_content(http::jsonText(body), "application/json");
  store_.journal(PushReceived{0, request.env, req.method, req.path, request.fields,
                              req.get_header_value("Authorization"), reply.code});
}

void PushService::registerOn(httplib::Server& server) {
  struct Route {
    const char* path;
    Handler handler;
  };
  const Route posts[] = {
      {"/pass/register", &PushService::registerUser},
      {"/v1/ios/register", &PushService::registerToken},
      {"/v1/ios/unregister", &PushService::unregister},
      {"/v1/ios/command/set-alias", &PushService::setAlias},
      {"/v1/ios/command/unset-alias", &PushService::unsetAlias},
      {"/v1/ios/subscribe", &PushService::subscribe},
      {"/v1/ios/unsubscribe", &PushService::unsubscribe},
      {"/v1/ios/notify", &PushService::notify},
      {"/v2/message/regid", &PushService::sendToRegids},
      {"/v2/message/alias", &PushService::sendToAliases},
      {"/v2/message/topic", &PushService::sendToTopic},
      {"/v2/multi_messages/regids", &PushService::multiSendToRegids},
      {"/v2/multi_messages/aliases", &PushService::multiSendToAliases},
  };
  for (const Route& route : posts) {
    server.Post(route.path, [this, handler = route.handler](const httplib::Request& req, httplib::Response& res) {
      serve(req, res, handler);
    });
  }
  server.Get("/v1/stats/message/counters", [this](const httplib::Request& req, httplib::Response& res) {
    serve(req, res, &PushService::counters);
  });
}

PushService::Reply PushService::registerUser(const Request& req) {
  auto problem = pushfields::check(req.fields, appRules({{"sdkversion", true, pushfields::text},
                                                         {"devid", true, pushfields::text},
                                                         {"model", true, pushfields::text},
                                                         {"platform", true, pushfields::iosPlatform}},
                                                        false));
  if (problem) return Reply::error(400, kCodeBadRequest, *problem);
  if (auto refused = appRefusal(store_, req)) return *refused;
  auto user = store_.registerUser(req.env, req.field("appid"), req.field("devid"), req.field("model"),
                                  req.field("platform"));
  if (!user) return Reply::error(500, kCodeStorage, "storage failure");
  Reply reply;
  reply.data = Json{{"userId", user->userId}, {"ssecurity", user->ssecurity}, {"token", user->token}};
  return reply;
}

PushService::Reply PushService::registerToken(const Request& req) {
  auto problem = pushfields::check(req.fields, appRules({{"devicetoken", true, pushfields::hexToken},
                                                         {"userid", true, pushfields::decimal},
                                                         {"regid", false, pushfields::text}}));
  if (problem) return Reply::error(400, kCodeBadRequest, *problem);
  if (auto refused = appRefusal(store_, req)) return *refused;
  auto userId = http::decimal(req.field("userid"));
  if (!userId || !store_.hasUser(req.env, req.field("appid"), *userId)) {
    return Reply::error(200, kCodeUnknownUser, "unknown user");
  }
  PushRegistration bound;
  switch (store_.bind(req.env, req.field("appid"), *userId, req.field("devicetoken"), req.field("resourceid"),
                      req.field("regid"), bound)) {
    case PushStore::BindStatus::UnknownRegistration:
      return Reply::error(200, kCodeRegistrationReset, "unknown registration");
    case PushStore::BindStatus::Failed:
      return Reply::error(500, kCodeStorage, "storage failure");
    case PushStore::BindStatus::Bound:
      break;
  }
  Reply reply;
  reply.data = Json{{"regid", bound.regid}, {"regsecret", bound.regsecret}, {"regat", bound.regat}};
  return reply;
}

std::optional<PushRegistration> PushService::command(const Request& req, const char* nameField, Reply& refused) {
  std::vector<Rule> rules{{"regid", true, pushfields::text}};
  if (nameField) rules.push_back({nameField, true, pushfields::name});
  if (std::string(req.http.path) == "/v1/ios/notify") {
    rules.push_back({"type", true, pushfields::clickType});
    rules.push_back({"messageid", false, pushfields::text});
  }
  if (auto problem = pushfields::check(req.fields, appRules(rules))) {
    refused = Reply::error(400, kCodeBadRequest, *problem);
    return std::nullopt;
  }
  if (auto appRefused = appRefusal(store_, req)) {
    refused = *appRefused;
    return std::nullopt;
  }
  auto registration = store_.registration(req.env, req.field("appid"), req.field("regid"));
  if (registration && expireNext_.exchange(false)) {
    store_.drop(registration->regid);
    registration.reset();
  }
  if (!registration) refused = Reply::error(200, kCodeRegistrationReset, "unknown registration");
  return registration;
}

PushService::Reply PushService::unregister(const Request& req) {
  Reply reply;
  auto registration = command(req, nullptr, reply);
  if (registration && !store_.drop(registration->regid)) return Reply::error(500, kCodeStorage, "storage failure");
  return reply;
}

PushService::Reply PushService::nameCommand(const Request& req, const char* field, const char* kind, bool present) {
  Reply reply;
  auto registration = command(req, field, reply);
  if (registration && !store_.setName(registration->regid, kind, req.field(field), present)) {
    return Reply::error(200, kCodeLimit, std::string("too many ") + kind + "s");
  }
  return reply;
}

PushService::Reply PushService::setAlias(const Request& req) { return nameCommand(req, "alias", "alias", true); }

PushService::Reply PushService::unsetAlias(const Request& req) { return nameCommand(req, "alias", "alias", false); }

PushService::Reply PushService::subscribe(const Request& req) { return nameCommand(req, "topic", "topic", true); }

PushService::Reply PushService::unsubscribe(const Request& req) { return nameCommand(req, "topic", "topic", false); }

PushService::Reply PushService::notify(const Request& req) {
  Reply reply;
  command(req, nullptr, reply);
  return reply;
}

void PushService::registerAdminOn(httplib::Server& server) {
  using admin::adminBody;
  using admin::adminError;
  using admin::adminReply;
  using admin::member;
  using Req = const httplib::Request&;
  using Res = httplib::Response&;
  server.Post("/_admin/push/apps", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    bool ok = true;
    PushApp app{member<std::string>(*body, "appId", "", ok), member<std::string>(*body, "appKey", "", ok),
                member<std::string>(*body, "packageName", "", ok), member<std::string>(*body, "secretIOS", "", ok),
                member<std::string>(*body, "secretAndroid", "", ok)};
    std::string error = "a member has the wrong type";
    if (!ok || !addApp(app, &error)) return adminError(res, 400, error);
    adminReply(res, 200, Json{{"ok", true}});
  });
  server.Post("/_admin/push/hosts", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    bool ok = true;
    auto production = member<std::string>(*body, "production", "", ok);
    auto sandbox = member<std::string>(*body, "sandbox", "", ok);
    if (!ok || !setHosts(production, sandbox)) return adminError(res, 400, "two different host names are needed");
    adminReply(res, 200, Json{{"ok", true}});
  });
  server.Post("/_admin/push/expireNext", [this](Req, Res res) {
    expireNextCommand();
    adminReply(res, 200, Json{{"ok", true}});
  });
  server.Get("/_admin/push", [this](Req req, Res res) {
    Json list = Json::array();
    for (const PushReceived& request : received(req.get_param_value("path"))) {
      list.push_back(Json{{"id", request.id},
                          {"host", request.env},
                          {"method", request.method},
                          {"path", request.path},
                          {"fields", http::fieldsToJson(request.fields)},
                          {"authorization", request.authorization},
                          {"code", request.code}});
    }
    adminReply(res, 200, Json{{"ok", true}, {"received", list}});
  });
  server.Delete("/_admin/push", [this](Req, Res res) {
    clearReceived();
    adminReply(res, 200, Json{{"ok", true}});
  });
  server.Get("/_admin/push/registrations", [this](Req, Res res) {
    Json list = Json::array();
    for (const PushRegistration& reg : registrations()) {
      list.push_back(Json{{"regid", reg.regid},
                          {"host", reg.env},
                          {"appId", reg.appId},
                          {"userId", reg.userId},
                          {"deviceToken", reg.deviceToken},
                          {"resourceId", reg.resourceId},
                          {"aliases", reg.aliases},
                          {"topics", reg.topics}});
    }
    adminReply(res, 200, Json{{"ok", true}, {"registrations", list}});
  });
}

}  // namespace localcloud
