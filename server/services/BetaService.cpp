#include "server/services/BetaService.h"

#include "server/http/HttpUtil.h"
#include "server/services/SdkHeaders.h"

namespace localcloud {
namespace {

constexpr const char* kBetaCheckPattern = R"(/spi/v2/platforms/ios/apps/([A-Za-z0-9._-]+)/beta_update_check)";
constexpr const char* kBetaAdminPath = "/_admin/beta";

void replyBeta(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(http::jsonText(body), "application/json; charset=utf-8");
}

}  // namespace

void BetaService::registerOn(httplib::Server& server) {
  server.Get(kBetaCheckPattern, [this](const httplib::Request& req, httplib::Response& res) { check(req, res); });
}

void BetaService::registerAdminOn(httplib::Server& server) {
  server.Post(kBetaAdminPath, [this](const httplib::Request& req, httplib::Response& res) {
    const Json body = Json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.value("token", Json()).is_string() || !body.value("url", Json()).is_string()) {
      return replyBeta(res, 400, Json{{"error", "token and url are required"}});
    }
    offer(body["token"], body["url"], body.value("version_string", Json()));
    replyBeta(res, 200, Json::object());
  });
  server.Get(kBetaAdminPath, [this](const httplib::Request&, httplib::Response& res) {
    replyBeta(res, 200, Json{{"requests", requestCount()}});
  });
}

void BetaService::offer(const std::string& token, const std::string& url, const Json& versionString) {
  std::lock_guard lock(mutex_);
  offers_[token] = url.empty() ? Json::object() : Json{{"url", url}, {"version_string", versionString}};
}

std::size_t BetaService::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void BetaService::check(const httplib::Request& req, httplib::Response& res) {
  std::lock_guard lock(mutex_);
  ++requests_;
  if (auto problem = sdkHeaderProblem(req)) return replyBeta(res, 400, Json{{"error", *problem}});
  for (const char* name : {"build_version", "display_version", "instance", "source"}) {
    if (req.get_param_value_count(name) > 1) return replyBeta(res, 400, Json{{"error", std::string("repeated ") + name}});
  }
  if (req.get_param_value("instance").empty() || req.get_param_value("source").empty()) {
    return replyBeta(res, 400, Json{{"error", "instance and source are required"}});
  }
  const auto token = onceHeader(req, "X-Blackbox-Beta-Token");
  if (!token || token->rfind("2:", 0) != 0) return replyBeta(res, 401, Json{{"error", "no beta token"}});
  auto found = offers_.find(token->substr(2));
  if (found == offers_.end()) return replyBeta(res, 401, Json{{"error", "unknown beta token"}});
  replyBeta(res, 200, found->second);
}

}  // namespace localcloud
