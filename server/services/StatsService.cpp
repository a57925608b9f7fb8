#include "server/services/StatsService.h"

#include <variant>

#include "server/http/AdminJson.h"
#include "server/services/CrashFormCheck.h"
#include "server/http/HttpUtil.h"
#include "server/storage/SqlStatement.h"
#include "server/services/StatsFormCheck.h"

namespace localcloud {
namespace {

using admin::adminBody;
using admin::adminError;
using admin::adminReply;

void replyStats(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(http::jsonText(body), "application/json");
}

}  // namespace

std::string StatsService::Received::field(const std::string& name) const {
  return http::fieldValue(fields, name).value_or("");
}

bool StatsService::Received::has(const std::string& name) const { return http::fieldValue(fields, name).has_value(); }

StatsService::StatsService(Store& store) : store_(store) {
  store_.createTables("statistics service",
                      "CREATE TABLE IF NOT EXISTS stats_received ("
                      " id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL,"
                      " encoding TEXT NOT NULL, fields TEXT NOT NULL);");
}

bool StatsService::serves(const std::string& path) {
  return path == kStatsPath || path == kNetworkPath || path == kCrashPath;
}

StatsService::Json StatsService::refusal(const std::string& message) {
  return Json{{"status", "fail"}, {"msg", message}};
}

void StatsService::registerOn(httplib::Server& server) {
  for (const char* path : {kStatsPath, kNetworkPath, kCrashPath}) {
    server.Post(path, [this](const httplib::Request& req, httplib::Response& res) { receive(req, res); });
  }
}

void StatsService::receive(const httplib::Request& req, httplib::Response& res) {
  std::string encoding;
  auto form = http::formFields(req, encoding);
  if (const auto* problem = std::get_if<std::string>(&form)) return replyStats(res, 400, refusal(*problem));
  const Fields& fields = std::get<Fields>(form);
  std::optional<std::string> problem;
  if (req.path == kCrashPath) problem = crashFormProblem(fields);
  if (req.path == kStatsPath) problem = statsFormProblem(fields);
  if (req.path == kNetworkPath) problem = networkFormProblem(fields);
  if (problem) return replyStats(res, 400, refusal(*problem));
  Json received = http::fieldsToJson(fields);
  {
    Store::Access access(store_, Store::Access::Mode::Write);
    bool stored = SqlStatement(access.connection(),
                               "INSERT INTO stats_received (path, encoding, fields) VALUES (?, ?, ?)")
                      .bindAll(req.path, encoding, received.dump(-1, ' ', false, Json::error_handler_t::replace))
                      .run();
    if (!stored) return replyStats(res, 500, refusal("storage failure"));
    SqlStatement(access.connection(),
                 "DELETE FROM stats_received WHERE id <= (SELECT MAX(id) FROM stats_received) - ?")
        .bindAll(kMaxKept)
        .run();
  }
  Json data = Json::object();
  {
    std::lock_guard lock(replyMutex_);
    auto it = replyData_.find(req.path);
    if (it != replyData_.end()) data = it->second;
  }
  replyStats(res, 200, Json{{"status", "ok"}, {"data", data}});
}

std::vector<StatsService::Received> StatsService::received(const std::string& path) const {
  std::vector<Received> out;
  Store::Access access(store_, Store::Access::Mode::Read);
  SqlStatement st(access.connection(),
                  "SELECT id, path, encoding, fields FROM stats_received WHERE ? = '' OR path = ? ORDER BY id");
  st.bindAll(path, path);
  while (st.step() == SQLITE_ROW) {
    Received form;
    form.id = st.integer(0);
    form.path = st.text(1);
    form.encoding = st.text(2);
    form.fields = http::fieldsFromJson(http::parseJson(st.text(3)));
    out.push_back(std::move(form));
  }
  return out;
}

void StatsService::clearReceived() {
  Store::Access access(store_, Store::Access::Mode::Write);
  SqlStatement(access.connection(), "DELETE FROM stats_received").run();
}

bool StatsService::setReplyData(const std::string& path, Json data) {
  if (!serves(path) || !data.is_object()) return false;
  std::lock_guard lock(replyMutex_);
  replyData_[path] = std::move(data);
  return true;
}

void StatsService::registerAdminOn(httplib::Server& server) {
  using Req = const httplib::Request&;
  using Res = httplib::Response&;
  server.Get("/_admin/stats", [this](Req req, Res res) {
    Json list = Json::array();
    for (const Received& form : received(req.get_param_value("path"))) {
      list.push_back(Json{{"id", form.id},
                          {"path", form.path},
                          {"encoding", form.encoding},
                          {"fields", http::fieldsToJson(form.fields)}});
    }
    adminReply(res, 200, Json{{"ok", true}, {"received", list}});
  });
  server.Delete("/_admin/stats", [this](Req, Res res) {
    clearReceived();
    adminReply(res, 200, Json{{"ok", true}});
  });
  server.Post("/_admin/stats/reply", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    auto path = body->find("path");
    auto data = body->find("data");
    if (path == body->end() || !path->is_string() || data == body->end() ||
        !setReplyData(path->get<std::string>(), *data)) {
      return adminError(res, 400, "path must be a statistics path and data an object");
    }
    adminReply(res, 200, Json{{"ok", true}});
  });
}

}  // namespace localcloud
