#include "cloud/sync/LMRelocation.h"

#include <mutex>
#include <utility>

#include "cloud/request/LMSignedSession.h"
#include "platform/Bytes.h"
#include "platform/JsonValues.h"
#include "platform/storage/UserDefaults.h"
#include "utils/LMLogUtil.h"
#include "utils/ServiceHosts.h"

namespace lumora {
namespace {

std::mutex& hostListMutex() {
  static std::mutex mutex;
  return mutex;
}

platform::Json& hostListStorage() {
  static auto* list = [] {
    auto stored = platform::UserDefaults::standard().dictionaryForKey(LMRelocation::kHostListDefaultsKey);
    return new platform::Json(stored && stored->is_object() ? *stored : platform::Json::object());
  }();
  return *list;
}

struct URLParts {
  std::string scheme;     // "http"
  std::string authority;  // "host:port"
  std::string rest;       // path and beyond
};

URLParts splitURL(const std::string& url) {
  URLParts parts;
  std::string::size_type start = 0;
  auto schemeEnd = url.find("://");
  if (schemeEnd != std::string::npos) {
    parts.scheme = url.substr(0, schemeEnd);
    start = schemeEnd + 3;
  }
  auto end = url.find_first_of("/?#", start);
  parts.authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (end != std::string::npos) parts.rest = url.substr(end);
  return parts;
}

}  // namespace

LMRelocation::LMRelocation(std::shared_ptr<LMHTTPRequestLoop> loop) : loop_(std::move(loop)) {}

platform::Json LMRelocation::hostList() {
  std::lock_guard<std::mutex> guard(hostListMutex());
  return hostListStorage();
}

void LMRelocation::setHostList(const std::optional<platform::Json>& hostList) {
  std::lock_guard<std::mutex> guard(hostListMutex());
  hostListStorage() = hostList && hostList->is_object() ? *hostList : platform::Json::object();
}

std::string LMRelocation::baseURLForService(const std::string& serviceKey) {
  URLParts parts = splitURL(ServiceHosts::baseURL(serviceKey));
  platform::Json list = hostList();
  auto entry = list.find(parts.authority);
  if (entry != list.end() && platform::isNonEmptyString(*entry)) {
    parts.authority = entry->get<std::string>();
  }
  return (parts.scheme.empty() ? std::string("http") : parts.scheme) + "://" + parts.authority +
         parts.rest;
}

std::string LMRelocation::relocationURL(bool forTest) {
  return baseURLForService(forTest ? ServiceHosts::kRelocationPreview : ServiceHosts::kRelocation);
}

std::string LMRelocation::deviceInfoURL() { return baseURLForService(ServiceHosts::kDeviceInfo); }

std::shared_ptr<LMHTTPRequestOperation> LMRelocation::requestHostListWithRomCountry(
    const std::optional<std::string>& romCountry, bool forTest) {
  auto manager = loop_->manager();
  auto userId = manager->sessionSource()->userId();
  if (!platform::hasText(userId)) {
    platform::Error failure = LMNotLoggedInError();
    LM_LOG_ERROR("{}", failure.description());
    return std::make_shared<LMHTTPRequestOperation>(failure, kPassportSid);
  }
  platform::Json parameters{{"romCountry", romCountry.value_or(std::string())}};
  std::string url = relocationURL(forTest) + "/lum/relocation/v3/user/" + *userId + "/record";
  auto operation = loop_->run([&] { return manager->POST(url, parameters, kPassportSid); },
                              /*followRedirects=*/false);
  auto reply = operation->result();
  if (!reply.ok() || !reply->is_object()) return operation;
  auto data = reply->find("data");
  if (data != reply->end() && data->is_object() && !data->empty()) {
    auto list = data->find("hostList");
    setHostList(list != data->end() ? std::optional<platform::Json>(*list) : std::nullopt);
    auto& defaults = platform::UserDefaults::standard();
    defaults.setDictionary(kHostListDefaultsKey, hostList());
    defaults.synchronize();
  }
  return operation;
}

}  // namespace lumora
