#include "server/http/HttpsListener.h"

#include <nlohmann/json.hpp>

namespace localcloud {
namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";

}  // namespace

HttpsListener::HttpsListener(const IssuedCertificate& certificate, FaultInjector& faults)
    : faults_(faults),
      server_(std::make_unique<httplib::SSLServer>(certificate.certificate.get(), certificate.key.get())) {
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
}

HttpsListener::~HttpsListener() { stop(); }

int HttpsListener::start(int port) {
  if (!server_->is_valid() || thread_.joinable()) return -1;
  int bound = port == 0 ? server_->bind_to_any_port("127.0.0.1") : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound < 0) return -1;
  // Bound is listening: connections wait in the backlog until the loop runs.
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return bound;
}

void HttpsListener::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

std::size_t HttpsListener::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(path);
  return it == counts_.end() ? 0 : it->second;
}

void HttpsListener::serve(const httplib::Request& req, httplib::Response& res) {
  std::size_t number = 0;
  {
    std::lock_guard lock(mutex_);
    ++counts_[req.path];
    number = ++served_;
  }
  res.set_header("X-Request-Id", "req-" + std::to_string(number));
  auto fault = faults_.take(req.path);
  if (fault && fault->delayMs > 0 && !faults_.wait(*fault)) fault.reset();
  if (!fault) {
    res.status = 200;
    nlohmann::json headers = nlohmann::json::object();
    for (const auto& [name, value] : req.headers) headers[name].push_back(value);
    res.set_content(nlohmann::json{{"ok", true}, {"path", req.path}, {"headers", headers}}.dump(), kJsonType);
    return;
  }
  res.status = fault->status != 0 ? fault->status : 200;
  if (fault->retryAfterHeader) {
    res.set_header("Retry-After", *fault->retryAfterHeader);
  } else if (fault->retryAfter >= 0) {
    res.set_header("Retry-After", std::to_string(fault->retryAfter));
  }
  if (!fault->location.empty()) {
    if (fault->status == 0) res.status = 302;
    res.set_header("Location", redirectTarget(fault->location, req.target));
  }
  std::string type = fault->contentType.value_or(kJsonType);
  if (fault->emptyBody) {
    if (fault->contentType) res.set_header("Content-Type", type);
    return;
  }
  res.set_content(fault->body.value_or(nlohmann::json{{"ok", res.status < 300}}.dump()), type);
}

}  // namespace localcloud
