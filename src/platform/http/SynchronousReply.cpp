#include "platform/http/SynchronousReply.h"

#include "platform/http/Transfer.h"
#include "platform/http/UrlError.h"

namespace platform::http {
namespace {

class CollectingSink final : public detail::TransferSink {
 public:
  CollectingSink(SynchronousReply& reply, const SendControl& control)
      : reply_(reply), control_(control) {}

  void didReceiveResponse(const Response& response) override {
    reply_.response = response;
    reply_.data.clear();
  }
  void didReceiveData(const std::uint8_t* data, std::size_t size) override {
    reply_.data.insert(reply_.data.end(), data, data + size);
    if (control_.didReceiveData) {
      control_.didReceiveData(static_cast<std::int64_t>(size),
                              static_cast<std::int64_t>(reply_.data.size()),
                              reply_.response ? reply_.response->expectedContentLength() : -1);
    }
  }
  void didSendBodyData(std::int64_t written, std::int64_t total, std::int64_t expected) override {
    if (control_.didSendBodyData) control_.didSendBodyData(written, total, expected);
  }

 private:
  SynchronousReply& reply_;
  const SendControl& control_;
};

}  // namespace

SynchronousReply sendSynchronousRequest(const Request& request, const SendControl& control) {
  SynchronousReply reply;
  CollectingSink sink(reply, control);
  reply.error = detail::performTransfer(request, sink, control.cancelled);
  if (!reply.error && reply.response && reply.response->statusCode() == 401 &&
      reply.response->allHeaderFields().contains("WWW-Authenticate")) {
    reply.error = makeUrlError(kUrlErrorUserCancelledAuthentication, reply.response->url());
  }
  return reply;
}

}  // namespace platform::http
