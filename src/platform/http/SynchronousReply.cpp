#include "platform/http/SynchronousReply.h"

#include "platform/http/Transfer.h"
#include "platform/http/UrlError.h"

namespace platform::http {
namespace {

class CollectingSink final : public detail::TransferSink {
 public:
  explicit CollectingSink(SynchronousReply& reply) : reply_(reply) {}

  void didReceiveResponse(const Response& response) override {
    reply_.response = response;
    reply_.data.clear();
  }
  void didReceiveData(const std::uint8_t* data, std::size_t size) override {
    reply_.data.insert(reply_.data.end(), data, data + size);
  }
  void didSendBodyData(std::int64_t, std::int64_t, std::int64_t) override {}

 private:
  SynchronousReply& reply_;
};

}  // namespace

SynchronousReply sendSynchronousRequest(const Request& request) {
  SynchronousReply reply;
  CollectingSink sink(reply);
  reply.error = detail::performTransfer(request, sink);
  if (!reply.error && reply.response && reply.response->statusCode() == 401 &&
      reply.response->allHeaderFields().contains("WWW-Authenticate")) {
    reply.error = makeUrlError(kUrlErrorUserCancelledAuthentication, reply.response->url());
  }
  return reply;
}

}  // namespace platform::http
