#include "server/services/VendorService.h"

#include <utility>

#include "server/http/AdminJson.h"
#include "server/http/HttpUtil.h"

namespace localcloud {
namespace {

using admin::adminBody;
using admin::adminError;
using admin::adminReply;
using Json = nlohmann::json;

constexpr const char* kSettingsPattern = R"(/spi/v2/platforms/ios/apps/([^/]+)/settings)";
constexpr const char* kCreatePath = "/spi/v1/platforms/ios/apps";
constexpr const char* kUpdatePattern = R"(/spi/v1/platforms/ios/apps/([^/]+))";
constexpr std::size_t kMaxFormBytes = 2 * 1024 * 1024;
constexpr std::size_t kMaxParts = 256;

void replyVendor(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(http::jsonText(body), "application/json; charset=utf-8");
}

void refuseVendor(httplib::Response& res, int status, const std::string& message) {
  replyVendor(res, status, Json{{"error", message}});
}

Json defaultDocument() {
  return Json{
      {"features",
       {{"collect_reports", true},
        {"collect_logged_exceptions", true},
        {"prompt_enabled", false},
        {"collect_analytics", false}}},
      {"session", {{"log_buffer_size", 64000}, {"max_custom_exception_events", 8}, {"max_custom_key_value_pairs", 64}}},
      {"prompt",
       {{"title", "Crash detected"},
        {"message", "The app quit unexpectedly the last time it ran. Send a report?"},
        {"cancel_button_title", "Don't send"},
        {"send_button_title", "Send"},
        {"always_send_button_title", "Always send"}}},
      {"beta", {{"update_suspend_duration", 604800}}},
      {"analytics",
       {{"url", "/spi/v1/analytics"},
        {"track_view_controllers", false},
        {"flush_on_background", true},
        {"max_byte_size_per_file", 8000},
        {"flush_interval_secs", 600},
        {"max_pending_send_file_count", 10000},
        {"track_custom_events", true},
        {"track_predefined_events", true},
        {"sampling_rate", 1}}}};
}

template <typename T>
void keepInJournal(std::vector<T>& list, T entry) {
  if (list.size() >= VendorService::kMaxJournal) list.erase(list.begin());
  list.push_back(std::move(entry));
}

Json partsToJson(const vendor::FormParts& parts) {
  Json list = Json::array();
  for (const auto& part : parts) {
    Json entry{{"name", part.name}, {"contentType", part.contentType}};
    if (part.fileName.empty()) {
      entry["value"] = part.value;
    } else {
      entry["fileName"] = part.fileName;
      entry["size"] = part.value.size();
    }
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace

void VendorService::registerOn(httplib::Server& server) {
  server.Get(kSettingsPattern, [this](const httplib::Request& req, httplib::Response& res) { serveSettings(req, res); });
  server.Post(kCreatePath, [this](const httplib::Request& req, httplib::Response& res,
                                  const httplib::ContentReader& body) { onboard(req, res, body, true); });
  server.Put(kUpdatePattern, [this](const httplib::Request& req, httplib::Response& res,
                                    const httplib::ContentReader& body) { onboard(req, res, body, false); });
}

void VendorService::serveSettings(const httplib::Request& req, httplib::Response& res) {
  const std::string bundleId = req.matches[1];
  auto query = vendor::settingsQuery(req.target);
  if (auto* problem = std::get_if<std::string>(&query)) return refuseVendor(res, 400, *problem);
  if (auto problem = vendor::commonHeaderProblem(req)) return refuseVendor(res, 400, *problem);
  if (auto problem = vendor::downloadHeaderProblem(req)) return refuseVendor(res, 400, *problem);
  SettingsRequest entry{bundleId, std::get<vendor::QueryPairs>(query), {}};
  for (const auto& [name, value] : req.headers) entry.headers[name] = value;
  std::lock_guard lock(mutex_);
  keepInJournal(settingsJournal_, std::move(entry));
  auto app = apps_.find(bundleId);
  if (app != apps_.end() && app->second.apiKey != req.get_header_value("X-Blackbox-API-Key")) {
    return refuseVendor(res, 403, "the app belongs to another API key");
  }
  replyVendor(res, 200, documentLocked(bundleId));
}

void VendorService::onboard(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body,
                            bool create) {
  if (!req.is_multipart_form_data() || vendor::multipartBoundary(req.get_header_value("Content-Type")).empty()) {
    return refuseVendor(res, 400, "the body must be multipart/form-data with a boundary");
  }
  if (auto problem = vendor::commonHeaderProblem(req)) return refuseVendor(res, 400, *problem);
  // The SDK sets no Accept header; a transport may add its "*/*".
  if (req.has_header("Accept") && req.get_header_value("Accept") != "*/*") {
    return refuseVendor(res, 400, "an onboarding request asks for no content type");
  }
  if (!req.has_header("Content-Length")) return refuseVendor(res, 400, "Content-Length is missing");
  vendor::FormParts parts;
  std::size_t total = 0;
  bool whole = body(
      [&](const httplib::MultipartFormData& part) {
        parts.push_back(vendor::FormPart{part.name, part.filename, part.content_type, {}});
        return parts.size() <= kMaxParts;
      },
      [&](const char* data, std::size_t length) {
        total += length;
        if (parts.empty() || total > kMaxFormBytes) return false;
        parts.back().value.append(data, length);
        return true;
      });
  if (!whole) return refuseVendor(res, 400, "the form did not arrive whole, or is too large");
  if (auto problem = vendor::appFormProblem(parts)) return refuseVendor(res, 400, *problem);
  const std::string bundleId = parts.front().value;
  if (!create && req.matches[1] != bundleId) return refuseVendor(res, 400, "the form names another app than the path");
  const std::string apiKey = req.get_header_value("X-Blackbox-API-Key");

  std::lock_guard lock(mutex_);
  keepInJournal(onboardingJournal_, OnboardingRequest{req.method, bundleId, parts});
  auto app = apps_.find(bundleId);
  if (create && app != apps_.end()) return refuseVendor(res, 409, "the app exists already");
  if (!create && app == apps_.end()) return refuseVendor(res, 404, "no such app");
  if (!create && app->second.apiKey != apiKey) return refuseVendor(res, 403, "the app belongs to another API key");
  App& stored = apps_[bundleId];
  stored.apiKey = apiKey;
  stored.form = std::move(parts);
  stored.updateRequired = false;
  if (!create) ++stored.updates;
  replyVendor(res, create ? 201 : 200, Json{{"identifier", bundleId}, {"status", "activated"}});
}

VendorService::Json VendorService::documentLocked(const std::string& bundleId) const {
  Json doc = defaultDocument();
  if (auto set = documents_.find(bundleId); set != documents_.end()) doc.update(set->second);
  auto app = apps_.find(bundleId);
  doc["app"] = Json{{"status", app == apps_.end() ? "new" : "activated"},
                    {"update_required", app != apps_.end() && app->second.updateRequired}};
  return doc;
}

VendorService::Json VendorService::document(const std::string& bundleId) const {
  std::lock_guard lock(mutex_);
  return documentLocked(bundleId);
}

void VendorService::setDocument(const std::string& bundleId, Json document) {
  std::lock_guard lock(mutex_);
  documents_[bundleId] = std::move(document);
}

bool VendorService::requestUpdate(const std::string& bundleId) {
  std::lock_guard lock(mutex_);
  auto app = apps_.find(bundleId);
  if (app == apps_.end()) return false;
  app->second.updateRequired = true;
  return true;
}

std::optional<VendorService::App> VendorService::app(const std::string& bundleId) const {
  std::lock_guard lock(mutex_);
  auto app = apps_.find(bundleId);
  if (app == apps_.end()) return std::nullopt;
  return app->second;
}

std::vector<VendorService::SettingsRequest> VendorService::settingsRequests() const {
  std::lock_guard lock(mutex_);
  return settingsJournal_;
}

std::vector<VendorService::OnboardingRequest> VendorService::onboardingRequests() const {
  std::lock_guard lock(mutex_);
  return onboardingJournal_;
}

void VendorService::reset() {
  std::lock_guard lock(mutex_);
  apps_.clear();
  documents_.clear();
  settingsJournal_.clear();
  onboardingJournal_.clear();
}

void VendorService::registerAdminOn(httplib::Server& server) {
  using Req = const httplib::Request&;
  using Res = httplib::Response&;
  server.Post("/_admin/vendor/document", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    auto id = body->find("bundleId");
    auto doc = body->find("document");
    if (id == body->end() || !id->is_string() || doc == body->end() || !doc->is_object()) {
      return adminError(res, 400, "bundleId must be a string and document an object");
    }
    setDocument(id->get<std::string>(), *doc);
    adminReply(res, 200, Json{{"ok", true}});
  });
  server.Post("/_admin/vendor/update", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    auto id = body->find("bundleId");
    if (id == body->end() || !id->is_string()) return adminError(res, 400, "bundleId must be a string");
    if (!requestUpdate(id->get<std::string>())) return adminError(res, 404, "no such app");
    adminReply(res, 200, Json{{"ok", true}});
  });
  server.Get("/_admin/vendor", [this](Req, Res res) {
    Json apps = Json::object();
    Json settings = Json::array();
    Json onboardings = Json::array();
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, app] : apps_) {
        apps[id] = Json{{"updateRequired", app.updateRequired}, {"updates", app.updates}, {"form", partsToJson(app.form)}};
      }
      for (const auto& request : settingsJournal_) {
        settings.push_back(Json{{"bundleId", request.bundleId}, {"query", request.query}, {"headers", request.headers}});
      }
      for (const auto& request : onboardingJournal_) {
        onboardings.push_back(
            Json{{"method", request.method}, {"bundleId", request.bundleId}, {"form", partsToJson(request.parts)}});
      }
    }
    adminReply(res, 200, Json{{"ok", true}, {"apps", apps}, {"settings", settings}, {"onboardings", onboardings}});
  });
  server.Delete("/_admin/vendor", [this](Req, Res res) {
    reset();
    adminReply(res, 200, Json{{"ok", true}});
  });
}

}  // namespace localcloud
