#include "platform/http/SynchronousReply.h"

#include "platform/http/HandlePool.h"
#include "platform/http/Transfer.h"
#include "platform/http/UrlError.h"

namespace platform::http {
namespace {

class CollectingSink final : public detail::TransferSink {
 public:
  // `keep`: the body stays in memory (it has no response sink to go to).
  CollectingSink(SynchronousReply& reply, const SendControl& control, bool keep)
      : reply_(reply), control_(control), keep_(keep) {}

  void didReceiveResponse(const Response& response) override {
    reply_.response = response;
    reply_.data.clear();
    received_ = 0;
    expected_ = response.expectedContentLength();
  }
  void didReceiveData(const std::uint8_t* data, std::size_t size) override {
    if (keep_) reply_.data.insert(reply_.data.end(), data, data + size);
    received_ += static_cast<std::int64_t>(size);
    if (control_.didReceiveData) control_.didReceiveData(static_cast<std::int64_t>(size), received_, expected_);
  }
  void didSendBodyData(std::int64_t written, std::int64_t total, std::int64_t expected) override {
    if (control_.didSendBodyData) control_.didSendBodyData(written, total, expected);
  }

 private:
  SynchronousReply& reply_;
  const SendControl& control_;
  const bool keep_;
  std::int64_t received_ = 0;
  std::int64_t expected_ = -1;
};

}  // namespace

SynchronousReply sendSynchronousRequest(const Request& request, const SendControl& control) {
  SynchronousReply reply;
  CollectingSink sink(reply, control, !request.responseSink);
  if (auto loaded = loadRequest(request, sink, control.cancelled); !loaded) reply.error = loaded.error();
  if (!reply.error && reply.response && reply.response->statusCode() == 401 &&
      reply.response->allHeaderFields().contains("WWW-Authenticate")) {
    reply.error = makeUrlError(kUrlErrorUserCancelledAuthentication, reply.response->url());
  }
  return reply;
}

void closeIdleConnections() { detail::HandlePool::shared().clear(); }

}  // namespace platform::http
