#include "platform/http/UrlProtocol.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <vector>

#include "platform/http/Transfer.h"
#include "platform/http/UrlError.h"

namespace platform::http {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<const UrlProtocolClass>> classes;  // last registered first
  // Whether `classes` holds any: while none is registered (the common case)
  // a request takes no lock.
  std::atomic<bool> any{false};
};

Registry& registry() {
  static Registry* shared = new Registry;
  return *shared;
}

std::shared_ptr<const UrlProtocolClass> protocolFor(const Request& request) {
  if (!registry().any.load(std::memory_order_acquire) || !isHttpUrl(request.url)) return nullptr;
  std::vector<std::shared_ptr<const UrlProtocolClass>> classes;
  {
    std::lock_guard lock(registry().mutex);
    classes = registry().classes;
  }
  for (auto& protocolClass : classes) {
    if (protocolClass->canInitWithRequest && protocolClass->make && protocolClass->canInitWithRequest(request)) {
      return protocolClass;
    }
  }
  return nullptr;
}

}  // namespace

bool isHttpUrl(const std::string& url) {
  auto colon = url.find(':');
  if (colon == std::string::npos) return false;
  std::string scheme = url.substr(0, colon);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme == "http" || scheme == "https";
}

void registerClass(std::shared_ptr<const UrlProtocolClass> protocolClass) {
  if (!protocolClass) return;
  std::lock_guard lock(registry().mutex);
  auto& classes = registry().classes;
  std::erase(classes, protocolClass);
  classes.insert(classes.begin(), std::move(protocolClass));
  registry().any.store(true, std::memory_order_release);
}

void unregisterClass(const std::shared_ptr<const UrlProtocolClass>& protocolClass) {
  std::lock_guard lock(registry().mutex);
  std::erase(registry().classes, protocolClass);
  registry().any.store(!registry().classes.empty(), std::memory_order_release);
}

Status loadRequest(const Request& request, UrlProtocolClient& client, const std::atomic<bool>* cancelled) {
  auto protocolClass = protocolFor(request);
  if (!protocolClass) return detail::performTransfer(request, client, cancelled);
  auto protocol = protocolClass->make(request);
  if (!protocol) return detail::performTransfer(request, client, cancelled);
  Status status = protocol->startLoading(client, cancelled);
  if (status && cancelled && cancelled->load()) status = makeUrlError(kUrlErrorCancelled, request.url);
  protocol->stopLoading();
  return status;
}

}  // namespace platform::http
