// The push service's server side: sends and counters, authorised by an app
// secret.
#include "server/services/Crypto.h"
#include "server/services/PushFields.h"
#include "server/services/PushService.h"

namespace localcloud {
namespace {

using pushfields::Rule;

constexpr std::string_view kKeyPrefix = "key=";

// The app and platform of the request's secret; a 401 refusal otherwise.
std::optional<std::pair<PushApp, std::string>> authorised(PushStore& store, const PushService::Request& req,
                                                                  PushService::Reply& refused) {
  std::string header = req.http.get_header_value("Authorization");
  std::optional<std::pair<PushApp, std::string>> app;
  if (header.starts_with(kKeyPrefix)) app = store.appBySecret(header.substr(kKeyPrefix.size()));
  if (!app) refused = PushService::Reply::error(401, PushService::kCodeUnauthorized, "no valid app secret");
  return app;
}

}  // namespace

PushService::Reply PushService::send(const Request& req, const char* targetField, const char* targetKind, bool list) {
  Reply reply;
  auto app = authorised(store_, req, reply);
  if (!app) return reply;
  auto rules = pushfields::messageRules(app->second, {targetField, true, list ? pushfields::targets : pushfields::name});
  if (auto problem = pushfields::check(req.fields, rules, true)) return Reply::error(400, kCodeBadRequest, *problem);
  Json fields = Json::object();
  for (const auto& [name, value] : req.fields) fields[name] = value;
  auto id = store_.recordMessage(req.env, app->first.appId, app->second, targetKind, req.field(targetField), fields);
  if (!id) return Reply::error(500, kCodeStorage, "storage failure");
  reply.data = Json{{"id", *id}};
  return reply;
}

PushService::Reply PushService::sendToRegids(const Request& req) { return send(req, "registration_id", "regid", true); }

PushService::Reply PushService::sendToAliases(const Request& req) { return send(req, "alias", "alias", true); }

PushService::Reply PushService::sendToTopic(const Request& req) { return send(req, "topic", "topic", false); }

PushService::Reply PushService::multiSend(const Request& req, const char* targetKind) {
  Reply reply;
  auto app = authorised(store_, req, reply);
  if (!app) return reply;
  if (auto problem = pushfields::check(req.fields, {{"messages", true, pushfields::text}})) {
    return Reply::error(400, kCodeBadRequest, *problem);
  }
  Json messages = http::parseJson(req.field("messages"));
  if (!messages.is_array() || messages.empty() || messages.size() > kMaxMultiMessages) {
    return Reply::error(400, kCodeBadRequest, "messages must be a list of 1 to 100 messages");
  }
  std::vector<std::pair<std::string, Json>> checked;
  for (const Json& entry : messages) {
    auto target = entry.is_object() ? entry.find("target") : entry.end();
    auto message = entry.is_object() ? entry.find("message") : entry.end();
    if (target == entry.end() || !target->is_string() || !pushfields::name(target->get<std::string>()) ||
        message == entry.end() || !message->is_object()) {
      return Reply::error(400, kCodeBadRequest, "a message needs a target and a message object");
    }
    http::FormFields fields;
    for (const auto& [name, value] : message->items()) {
      if (!value.is_string()) return Reply::error(400, kCodeBadRequest, "message values are texts: " + name);
      fields.emplace_back(name, value.get<std::string>());
    }
    auto rules = pushfields::messageRules(app->second, {"target", false, pushfields::name});
    if (auto problem = pushfields::check(fields, rules, true)) return Reply::error(400, kCodeBadRequest, *problem);
    checked.emplace_back(target->get<std::string>(), *message);
  }
  Json ids = Json::array();
  for (const auto& [target, message] : checked) {
    auto id = store_.recordMessage(req.env, app->first.appId, app->second, targetKind, target, message);
    if (!id) return Reply::error(500, kCodeStorage, "storage failure");
    ids.push_back(*id);
  }
  reply.data = Json{{"ids", ids}};
  return reply;
}

PushService::Reply PushService::multiSendToRegids(const Request& req) { return multiSend(req, "regid"); }

PushService::Reply PushService::multiSendToAliases(const Request& req) { return multiSend(req, "alias"); }

PushService::Reply PushService::counters(const Request& req) {
  Reply reply;
  auto app = authorised(store_, req, reply);
  if (!app) return reply;
  auto problem = pushfields::check(req.fields, {{"start_date", true, pushfields::date},
                                                {"end_date", true, pushfields::date},
                                                {"restricted_package_name", true, pushfields::text}});
  if (problem) return Reply::error(400, kCodeBadRequest, *problem);
  if (req.field("start_date") > req.field("end_date")) {
    return Reply::error(400, kCodeBadRequest, "start_date is after end_date");
  }
  if (req.field("restricted_package_name") != app->first.packageName) {
    return Reply::error(403, kCodeUnknownApp, "not the app's package name");
  }
  Json days = Json::array();
  for (const auto& [day, count] :
       store_.counters(req.env, app->first.appId, req.field("start_date"), req.field("end_date"))) {
    days.push_back(Json{{"date", day}, {"sent", count}});
  }
  reply.data = Json{{"counters", days}};
  return reply;
}

}  // namespace localcloud
