// URL protocols: code that takes over the loading of some requests of the
// HTTP client. Every http/https request of sendSynchronousRequest and of a
// Connection is offered first to the registered protocol classes, the last
// registered first; the first whose canInitWithRequest accepts it loads it
// through its own instance, reporting to the client as the transfer
// would. A request no class accepts goes to the network as usual.
//
// A protocol loads synchronously on the loading thread: startLoading runs
// the load to its end (its result is the transfer's: nullopt, or the error)
// and stopLoading follows once, after the end or a cancellation. To reach
// the network itself it sends through loadRequest (the request offered to
// the protocols again, so it must mark its copy to decline it).
//
// Threading: registration from any thread; a load runs on the thread that
// sends (a Connection's worker). Ownership: the registry keeps the classes
// until unregistered; an instance lives for one load. Failures: a
// protocol's error is the request's.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace platform::http {

// What a load reports to, on the loading thread. Only the final response
// and its body are reported; a redirect that is followed is announced
// through wasRedirected first.
class UrlProtocolClient {
 public:
  virtual ~UrlProtocolClient() = default;
  virtual void didReceiveResponse(const Response& response) = 0;
  virtual void didReceiveData(const std::uint8_t* data, std::size_t size) = 0;
  virtual void didSendBodyData(std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                               std::int64_t totalBytesExpected) = 0;
  // The reply `response` sends the request on to `url`.
  virtual void wasRedirected(const std::string& url, const Response& response) {
    (void)url;
    (void)response;
  }
};

class UrlProtocol {
 public:
  virtual ~UrlProtocol() = default;
  virtual Status startLoading(UrlProtocolClient& client, const std::atomic<bool>* cancelled) = 0;
  virtual void stopLoading() = 0;
};

struct UrlProtocolClass {
  std::function<bool(const Request& request)> canInitWithRequest;
  std::function<std::unique_ptr<UrlProtocol>(const Request& request)> make;
};

// True when the URL's scheme is "http" or "https" in any letter case.
bool isHttpUrl(const std::string& url);

// Registering a class twice keeps one entry (moved to the front).
void registerClass(std::shared_ptr<const UrlProtocolClass> protocolClass);
void unregisterClass(const std::shared_ptr<const UrlProtocolClass>& protocolClass);

// Loads `request` through the first protocol that accepts it, else over the
// network; success whatever the status code, else the error. When
// `cancelled` turns true the load stops with -999.
Status loadRequest(const Request& request, UrlProtocolClient& client, const std::atomic<bool>* cancelled = nullptr);

}  // namespace platform::http
