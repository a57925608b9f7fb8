#include "server/CloudServer.h"

#include <httplib.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <functional>
#include <utility>

#include "server/services/AccountService.h"
#include "server/http/AdminJson.h"
#include "server/services/CaService.h"
#include "server/storage/ContactChangeLog.h"
#include "server/services/ContactService.h"
#include "server/services/ContactSyncService.h"
#include "server/services/CoreInfoService.h"
#include "server/services/DeviceInfoService.h"
#include "server/services/FeedbackService.h"
#include "server/services/FileService.h"
#include "server/http/HttpUtil.h"
#include "server/services/GalleryService.h"
#include "server/services/KssNode.h"
#include "server/services/RelocationService.h"
#include "server/services/WebPages.h"

namespace localcloud {

namespace {

using Json = nlohmann::json;

constexpr const char* kAdminPrefix = "/_admin/";
constexpr std::int64_t kMaxCADisabledSeconds = 30 * 24 * 3600;

using admin::adminBody;
using admin::adminError;
using admin::adminReply;
using admin::member;

}  // namespace

std::unique_ptr<CloudServer> CloudServer::create(const std::filesystem::path& dataDir,
                                                 std::string* error) {
  auto store = Store::open(dataDir, error);
  if (!store) return nullptr;
  std::unique_ptr<CloudServer> server(new CloudServer(std::move(store), dataDir));
  // Every service made its tables in its constructor.
  if (std::string failed = server->store_->schemaError(); !failed.empty()) {
    if (error) *error = failed;
    return nullptr;
  }
  return server;
}

CloudServer::CloudServer(std::unique_ptr<Store> store, const std::filesystem::path& dataDir)
    : store_(std::move(store)), blobs_(std::make_unique<BlobStore>(dataDir / "blobs")) {
  accounts_ = std::make_unique<AccountService>(*store_, [this] { return port(); });
  pages_ = std::make_unique<WebPages>(*store_, *accounts_);
  contacts_ = std::make_unique<ContactStore>(*store_);
  signed_ = std::make_unique<SignedEndpoints>(*store_);
  contactLog_ = std::make_unique<ContactChangeLog>(*store_, *contacts_);
  services_.push_back(std::make_unique<ContactService>(*contacts_));
  auto contactSync = std::make_unique<ContactSyncService>(*contacts_, *contactLog_);
  contactSync_ = contactSync.get();
  services_.push_back(std::move(contactSync));
  services_.push_back(std::make_unique<DeviceInfoService>(*store_));
  services_.push_back(std::make_unique<RelocationService>(*store_));
  auto coreInfo = std::make_unique<CoreInfoService>(*store_);
  coreInfo_ = coreInfo.get();
  services_.push_back(std::move(coreInfo));
  ca_ = std::make_unique<CaService>(*store_, *accounts_);
  auto uploads = std::make_unique<UploadService>(dataDir);
  uploads_ = uploads.get();
  services_.push_back(std::move(uploads));
  auto files = std::make_unique<FileService>(*store_, *blobs_, [this] { return port(); });
  files_ = files.get();
  services_.push_back(std::move(files));
  kss_ = std::make_unique<KssNode>(*store_, *blobs_, [this] { return port(); });
  auto gallery = std::make_unique<GalleryService>(*store_, *kss_, *blobs_, [this] { return port(); });
  gallery_ = gallery.get();
  services_.push_back(std::move(gallery));
  feedback_ = std::make_unique<FeedbackService>(*store_, dataDir / "feedback", [this] { return port(); });
  stats_ = std::make_unique<StatsService>(*store_);
  push_ = std::make_unique<PushService>(*store_);
  vendor_ = std::make_unique<VendorService>();
  reports_ = std::make_unique<ReportService>();
  analytics_ = std::make_unique<AnalyticsService>();
  beta_ = std::make_unique<BetaService>();
  for (auto& service : services_) service->registerOn(*signed_);
}

CloudServer::~CloudServer() { stop(); }

bool CloudServer::start(int port, std::string* error) {
  std::lock_guard lock(lifecycleMutex_);
  if (server_) {
    if (error) *error = "already running";
    return false;
  }
  if (port < 0 || port > 65535) {
    if (error) *error = "invalid port " + std::to_string(port);
    return false;
  }
  auto server = std::make_unique<HttpServer>(limits_);
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(1000);
  // The streaming route's limit; every other route is held to
  // kMaxRequestBody before its body is read (refuseOversizedBody).
  server->set_payload_max_length(kMaxUploadBody);
  registerRoutes(*server);
  registerAdminRoutes(*server);
  signed_->install(*server);  // last: it answers every path left
  int bound = server->bind("127.0.0.1", port);
  if (bound <= 0) {
    if (error) *error = "cannot listen on 127.0.0.1:" + std::to_string(port);
    return false;
  }
  faults_.reset();
  server_ = std::move(server);
  port_ = bound;
  listener_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  // cpp-httplib's stop() only ends a listener that already runs: wait
  // (bounded) until it does, so that an early stop() cannot miss it.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void CloudServer::stop() {
  std::lock_guard lock(lifecycleMutex_);
  if (!server_) return;
  faults_.cancelAll();
  server_->stop();
  if (listener_.joinable()) listener_.join();
  server_.reset();
  port_ = 0;
}

std::string CloudServer::url() const { return "http://127.0.0.1:" + std::to_string(port()); }

const PushApp& CloudServer::lumoraApp() {
  static const PushApp app{"2882303761517418", "5801751418", "com.quenby.lumora", "bHVtb3JhLWlvcy1wdXNoLXNlY3JldA",
                           "bHVtb3JhLWFuZHJvaWQtcHVzaA"};
  return app;
}

bool CloudServer::seedAccount(std::int64_t userId, const std::string& loginName,
                              const std::string& password, const AccountOptions& options,
                              std::string* error) {
  return store_->seedAccount(userId, loginName, password, options, error);
}

std::optional<std::string> CloudServer::captchaCode(const std::string& ick) {
  return ick.empty() ? store_->lastCaptchaCode() : store_->captchaCode(ick);
}

std::optional<std::string> CloudServer::phoneTicket(const std::string& user) {
  auto account = store_->findAccount(user);
  if (!account) return std::nullopt;
  auto step = store_->latestPhoneStep(account->userId);
  if (!step || step->smsCode.empty()) return std::nullopt;
  return step->smsCode;
}

bool CloudServer::setHostList(const Json& hostList) {
  if (!hostList.is_object()) return false;
  for (const auto& [host, target] : hostList.items()) {
    if (!target.is_string()) return false;
  }
  return store_->setHostList(hostList.dump());
}

bool CloudServer::refuseOversizedBody(const httplib::Request& req, httplib::Response& res) const {
  // The streaming route takes more, and may be sent without a length.
  const bool streams = signed_->streams(req.method, req.path);
  const std::size_t limit = streams ? kMaxUploadBody : kMaxRequestBody;
  bool chunked = req.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
  if (chunked && streams) return false;
  std::size_t length = 0;
  const std::string announced = req.get_header_value("Content-Length");
  if (!announced.empty()) {
    try {
      length = std::stoull(announced);
    } catch (const std::exception&) {
      length = SIZE_MAX;
    }
  }
  if (!chunked && length <= limit) return false;
  // The body stays unread, so the connection cannot carry another request.
  res.set_header("Connection", "close");
  HttpServer::closeAfterReply();
  http::replyText(res, chunked ? 411 : 413, chunked ? "length required" : "request body too large");
  return true;
}

bool CloudServer::applyFault(const httplib::Request& req, httplib::Response& res) {
  if (req.path.rfind(kAdminPrefix, 0) == 0) return false;
  auto fault = faults_.take(req.path);
  if (!fault) return false;
  bool waited = fault->delayMs <= 0 || faults_.wait(*fault);
  if (!waited || fault->drop) {
    // Headers go out, then the connection closes before the body ends: the
    // client sees a broken transfer, as when a connection drops.
    res.status = 200;
    res.set_chunked_content_provider("text/plain",
                                     [](std::size_t, httplib::DataSink&) { return false; });
    return true;
  }
  if (fault->dropReply) {
    // The service runs; the signed layer then breaks the reply off.
    res.set_header(kDropReplyMark, "1");
    return false;
  }
  if (fault->replyData.is_object() && !fault->replyData.empty()) {
    // The service runs; the signed layer changes its reply's data.
    res.set_header(SignedEndpoints::kReplyDataMark, fault->replyData.dump());
    return false;
  }
  if (!fault->replaces()) return false;
  // The fault answers before the body is read: left unread, it would be
  // taken for the next request on a kept-alive connection.
  if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
    res.set_header("Connection", "close");
    HttpServer::closeAfterReply();
  }
  // An overload's delay in HTTP terms, for clients that read the header.
  if (fault->retryAfterHeader) res.set_header("Retry-After", *fault->retryAfterHeader);
  if (!fault->location.empty()) {
    res.status = fault->status != 0 ? fault->status : 302;
    res.set_header("Location", redirectTarget(fault->location, req.target));
  } else if (fault->emptyBody) {
    res.status = fault->status != 0 ? fault->status : 500;
  } else if (fault->body) {
    res.status = fault->status != 0 ? fault->status : 200;
    res.set_content(*fault->body, "application/json");
  } else if (StatsService::serves(req.path)) {
    // The statistics service's refusal, carrying the code and data.
    Json reply = StatsService::refusal("injected fault");
    if (fault->replyCode() != 0) reply["code"] = fault->replyCode();
    if (fault->data.is_object()) reply["data"] = fault->data;
    res.status = fault->status != 0 ? fault->status : 200;
    res.set_content(reply.dump(), "application/json");
  } else if (PushService::serves(req.path) && fault->replyCode() != 0) {
    // The push service's refusal, carrying the code and data.
    Json reply = PushService::refusal(fault->replyCode(), "injected fault");
    if (fault->data.is_object()) reply["data"] = fault->data;
    res.status = fault->status != 0 ? fault->status : 200;
    res.set_content(reply.dump(), "application/json");
  } else if (fault->replyCode() == 0) {
    http::replyText(res, fault->status, "injected fault");
  } else {
    int status = fault->status != 0 ? fault->status : 200;
    if (signed_->serves(req.path)) {
      // In the signed form, and journalled there.
      signed_->replyFault(req, res, status, faultReply(*fault, req.target, "description"));
      return true;
    }
    http::replyJson(res, faultReply(*fault, req.target, "desc"));
    res.status = status;
  }
  signed_->journal(req, res);  // only when the path is a signed one
  return true;
}

void CloudServer::registerRoutes(httplib::Server& server) {
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    // Before any route pattern sees the path: matching a pattern recurses
    // once per character of the path.
    if (req.path.size() > kMaxPathLength) {
      http::replyText(res, 414, "path too long");
      return httplib::Server::HandlerResponse::Handled;
    }
    return refuseOversizedBody(req, res) || applyFault(req, res)
               ? httplib::Server::HandlerResponse::Handled
               : httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.has_header(kDropReplyMark)) return;
    // Served; now the reply breaks off after its head, as when the
    // connection drops.
    res.headers.erase(kDropReplyMark);
    res.headers.erase("Content-Length");
    res.body.clear();
    res.set_chunked_content_provider("text/plain",
                                     [](std::size_t, httplib::DataSink&) { return false; });
  });
  pages_->registerOn(server);
  accounts_->registerOn(server, std::bind_front(&WebPages::loginPage, pages_.get()));
  feedback_->registerOn(server);
  stats_->registerOn(server);
  push_->registerOn(server);
  vendor_->registerOn(server);
  reports_->registerOn(server);
  analytics_->registerOn(server);
  beta_->registerOn(server);
  ca_->registerOn(server);
  files_->registerDownloadsOn(server);
  kss_->registerOn(server);
  gallery_->registerPlainOn(server);
}

void CloudServer::registerAdminRoutes(httplib::Server& server) {
  using Req = const httplib::Request&;
  using Res = httplib::Response&;
  server.Get("/_admin/ping", [](Req, Res res) { adminReply(res, 200, Json{{"ok", true}}); });

  server.Post("/_admin/accounts", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    bool ok = true;
    AccountOptions options;
    auto userId = member<std::int64_t>(*body, "userId", 0, ok);
    auto loginName = member<std::string>(*body, "loginName", "", ok);
    auto password = member<std::string>(*body, "password", "", ok);
    options.needsCaptcha = member<bool>(*body, "needsCaptcha", false, ok);
    options.needsTwoStep = member<bool>(*body, "needsTwoStep", false, ok);
    options.twoStepCode = member<std::string>(*body, "twoStepCode", "", ok);
    options.needsPhoneVerification = member<bool>(*body, "needsPhoneVerification", false, ok);
    options.phone = member<std::string>(*body, "phone", "", ok);
    options.blocked = member<bool>(*body, "blocked", false, ok);
    if (!ok) return adminError(res, 400, "a member has the wrong type");
    std::string error;
    if (!seedAccount(userId, loginName, password, options, &error)) {
      return adminError(res, 400, error);
    }
    adminReply(res, 200, Json{{"ok", true}});
  });

  server.Get("/_admin/captcha", [this](Req req, Res res) {
    auto code = captchaCode(req.get_param_value("ick"));
    if (!code) return adminError(res, 404, "no such captcha");
    adminReply(res, 200, Json{{"ok", true}, {"code", *code}});
  });

  server.Get("/_admin/phoneTicket", [this](Req req, Res res) {
    auto ticket = phoneTicket(req.get_param_value("user"));
    if (!ticket) return adminError(res, 404, "no code was sent");
    adminReply(res, 200, Json{{"ok", true}, {"ticket", *ticket}});
  });

  server.Post("/_admin/faults", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    bool ok = true;
    auto path = member<std::string>(*body, "path", "", ok);
    Fault fault;
    fault.status = member<int>(*body, "status", 0, ok);
    fault.code = member<int>(*body, "code", 0, ok);
    fault.delayMs = member<int>(*body, "delayMs", 0, ok);
    fault.drop = member<bool>(*body, "drop", false, ok);
    fault.dropReply = member<bool>(*body, "dropReply", false, ok);
    fault.emptyBody = member<bool>(*body, "emptyBody", false, ok);
    fault.redirectUrl = member<std::string>(*body, "redirectUrl", "", ok);
    fault.permanent = member<bool>(*body, "permanent", false, ok);
    fault.location = member<std::string>(*body, "location", "", ok);
    fault.retryAfter = member<int>(*body, "retryAfter", -1, ok);
    fault.times = member<int>(*body, "times", -1, ok);
    fault.skip = member<int>(*body, "skip", 0, ok);
    fault.data = member<Json>(*body, "data", Json(), ok);
    fault.replyData = member<Json>(*body, "replyData", Json(), ok);
    if (body->contains("body")) fault.body = member<std::string>(*body, "body", "", ok);
    if (body->contains("retryAfterHeader")) {
      fault.retryAfterHeader = member<std::string>(*body, "retryAfterHeader", "", ok);
    }
    if (body->contains("contentType")) fault.contentType = member<std::string>(*body, "contentType", "", ok);
    if (!ok || fault.skip < 0 || !(fault.data.is_null() || fault.data.is_object()) ||
        !(fault.replyData.is_null() || fault.replyData.is_object())) {
      return adminError(res, 400, "a member has the wrong type");
    }
    if (path.empty() || path.front() != '/' || path.rfind(kAdminPrefix, 0) == 0) {
      return adminError(res, 400, "path must be a service path starting with /");
    }
    if (fault.status != 0 && (fault.status < 100 || fault.status > 599)) {
      return adminError(res, 400, "status must be an HTTP status");
    }
    if (!fault.redirectUrl.empty() && fault.redirectUrl.rfind("http://", 0) != 0 &&
        fault.redirectUrl.rfind("https://", 0) != 0) {
      return adminError(res, 400, "redirectUrl must be an http(s) URL");
    }
    if (!fault.location.empty() && fault.location.rfind("http://", 0) != 0 &&
        fault.location.rfind("https://", 0) != 0) {
      return adminError(res, 400, "location must be an http(s) URL");
    }
    faults_.set(path, fault);
    adminReply(res, 200, Json{{"ok", true}});
  });

  server.Delete("/_admin/faults", [this](Req req, Res res) {
    std::string path = req.get_param_value("path");
    if (path.empty()) {
      faults_.clearAll();
    } else {
      faults_.clear(path);
    }
    adminReply(res, 200, Json{{"ok", true}});
  });

  server.Post("/_admin/revoke", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    bool ok = true;
    auto token = member<std::string>(*body, "serviceToken", "", ok);
    auto userId = member<std::int64_t>(*body, "userId", 0, ok);
    auto serviceId = member<std::string>(*body, "serviceId", "", ok);
    bool passTokens = member<bool>(*body, "passTokens", serviceId.empty(), ok);
    bool serviceTokens = member<bool>(*body, "serviceTokens", true, ok);
    if (!ok) return adminError(res, 400, "a member has the wrong type");
    if (!token.empty()) {
      // One service token: the client's next signed call gets 401.
      if (!store_->revokeServiceToken(token)) return adminError(res, 404, "no such live token");
      return adminReply(res, 200, Json{{"ok", true}});
    }
    if (userId <= 0) return adminError(res, 400, "userId or serviceToken is required");
    if (passTokens) store_->revokePassTokens(userId);
    if (serviceTokens) store_->revokeServiceTokens(userId, serviceId);
    adminReply(res, 200, Json{{"ok", true}});
  });

  server.Post("/_admin/ca", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    bool ok = true;
    auto disabledSeconds = member<std::int64_t>(*body, "disabledSeconds", -1, ok);
    bool revokeTokens = member<bool>(*body, "revokeTokens", false, ok);
    if (!ok) return adminError(res, 400, "a member has the wrong type");
    if (disabledSeconds > kMaxCADisabledSeconds) {
      return adminError(res, 400, "disabledSeconds must be at most 30 days");
    }
    if (disabledSeconds >= 0) ca_->disableFor(disabledSeconds);
    if (revokeTokens) ca_->revokeAllTokens();
    adminReply(res, 200, Json{{"ok", true}});
  });

  server.Post("/_admin/coreInfo", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    bool ok = true;
    auto userId = member<std::int64_t>(*body, "userId", 0, ok);
    auto profile = body->find("profile");
    if (!ok || profile == body->end()) return adminError(res, 400, "userId and profile are required");
    std::string error;
    if (!coreInfo_->setProfile(userId, *profile, &error)) return adminError(res, 400, error);
    adminReply(res, 200, Json{{"ok", true}});
  });

  server.Post("/_admin/hostList", [this](Req req, Res res) {
    auto body = adminBody(req, res);
    if (!body) return;
    auto list = body->find("hostList");
    if (list == body->end() || !setHostList(*list)) {
      return adminError(res, 400, "hostList must be an object of host names");
    }
    adminReply(res, 200, Json{{"ok", true}});
  });

  contactSync_->registerAdminOn(server);
  stats_->registerAdminOn(server);
  push_->registerAdminOn(server);
  vendor_->registerAdminOn(server);
  reports_->registerAdminOn(server);
  analytics_->registerAdminOn(server);
  beta_->registerAdminOn(server);

  server.Get("/_admin/requests", [this](Req, Res res) {
    Json list = Json::array();
    for (const SignedCall& call : signed_->recentCalls()) {
      list.push_back(Json{{"method", call.method},
                          {"path", call.path},
                          {"userId", call.userId},
                          {"redirectCount", call.redirectCount},
                          {"status", call.status}});
    }
    adminReply(res, 200, Json{{"ok", true}, {"requests", list}});
  });

  server.Delete("/_admin/requests", [this](Req, Res res) {
    signed_->clearJournal();
    adminReply(res, 200, Json{{"ok", true}});
  });
}

}  // namespace localcloud
