#include "utils/ServiceHosts.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/storage/AppHome.h"
#include "platform/Bytes.h"
#include "platform/http/Url.h"

namespace lumora {
namespace {

std::mutex& overridesMutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, std::string>& overrides() {
  static auto& values = *new std::map<std::string, std::string>();
  return values;
}

// A cookie domain with its leading dot. Built in place: g++ 12 at -O3 warns
// falsely (-Wrestrict) on "." + std::string.
std::string dotted(std::string host) {
  host.insert(host.begin(), '.');
  return host;
}

std::string trimSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

std::optional<std::string> fromEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value && *value) return trimSlash(value);
  return std::nullopt;
}

// hosts.json, parsed once and read again only when the app home or the
// file's modification time changes (every request asks for a base URL).
nlohmann::json hostsFile() {
  static std::mutex mutex;
  static auto& cachedPath = *new std::filesystem::path();
  static std::filesystem::file_time_type cachedTime;
  static auto& cached = *new nlohmann::json();
  std::filesystem::path path = platform::AppHome::root() / "hosts.json";
  std::error_code ec;
  auto modified = std::filesystem::last_write_time(path, ec);
  std::lock_guard<std::mutex> guard(mutex);
  if (ec) {
    cachedPath.clear();
    cached = nullptr;
    return cached;
  }
  if (path != cachedPath || modified != cachedTime) {
    std::ifstream in(path);
    cached = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    cachedPath = path;
    cachedTime = modified;
  }
  return cached;
}

}  // namespace

std::optional<std::string> ServiceHosts::hostsFileProblem() {
  const std::filesystem::path path = platform::AppHome::root() / "hosts.json";
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return std::nullopt;
  if (hostsFile().is_object()) return std::nullopt;
  return path.string() + " is not a JSON object of service names and URLs; it is ignored";
}

namespace {

std::optional<std::string> fromFile(const std::string& key) {
  auto json = hostsFile();
  if (!json.is_object()) return std::nullopt;
  auto it = json.find(key);
  if (it == json.end() || !it->is_string() || it->get<std::string>().empty()) return std::nullopt;
  return trimSlash(it->get<std::string>());
}

std::optional<std::string> lookup(const std::string& key) {
  {
    std::lock_guard<std::mutex> guard(overridesMutex());
    auto it = overrides().find(key);
    if (it != overrides().end()) return it->second;
  }
  if (auto value = fromEnv("LUMORA_HOST_" + platform::upperCased(key))) return value;
  if (auto value = fromFile(key)) return value;
  return std::nullopt;
}

}  // namespace

std::string ServiceHosts::baseURL(const std::string& key) {
  if (auto value = lookup(key)) return *value;
  if (auto all = fromEnv("LUMORA_CLOUD_URL")) return *all;
  {
    std::lock_guard<std::mutex> guard(overridesMutex());
    auto it = overrides().find("*");
    if (it != overrides().end()) return it->second;
  }
  return kDefaultBaseURL;
}

std::string ServiceHosts::host(const std::string& key) { return hostOfURL(baseURL(key)); }

std::string ServiceHosts::accountCookieDomain() {
  if (auto value = lookup("accountCookieDomain")) {
    return value->empty() || value->front() == '.' ? *value : dotted(*value);
  }
  return dotted(host(kAccount));
}

std::string ServiceHosts::feedbackCallbackURL() {
  if (auto value = lookup(kFeedbackCallback)) return *value + "/sts";
  auto parsed = platform::http::Url::parse(baseURL(kFeedback));
  if (!parsed) return "/sts";
  std::string authority = parsed->host();
  if (parsed->port() != 80 && parsed->port() != 443 && parsed->port() != 0) {
    authority.append(1, ':').append(std::to_string(parsed->port()));
  }
  return "http://" + authority + "/sts";
}

std::string ServiceHosts::feedbackCookieDomain() {
  if (auto value = lookup("feedbackCookieDomain")) {
    return value->empty() || value->front() == '.' ? *value : dotted(*value);
  }
  auto parsed = platform::http::Url::parse(baseURL(kFeedback));
  if (!parsed) return {};
  std::string host = parsed->bareHost();
  if (!parsed->hostIsAddress() && std::count(host.begin(), host.end(), '.') >= 2) {
    host.erase(0, host.find('.') + 1);
  }
  return dotted(std::move(host));
}

void ServiceHosts::set(const std::string& key, std::optional<std::string> baseURL) {
  std::lock_guard<std::mutex> guard(overridesMutex());
  if (baseURL) overrides()[key] = trimSlash(*baseURL);
  else overrides().erase(key);
}

void ServiceHosts::setAll(const std::string& baseURL) { set("*", baseURL); }

void ServiceHosts::reset() {
  std::lock_guard<std::mutex> guard(overridesMutex());
  overrides().clear();
}

std::string ServiceHosts::hostOfURL(const std::string& url) {
  auto parsed = platform::http::Url::parse(url);
  return parsed ? parsed->bareHost() : std::string();
}

}  // namespace lumora
