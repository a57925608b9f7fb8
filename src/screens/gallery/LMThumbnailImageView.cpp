#include "screens/gallery/LMThumbnailImageView.h"

#include <atomic>
#include <chrono>
#include <utility>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/http/UrlError.h"

namespace lumora {
namespace {

// The network half of one request: its send can be stopped from any thread,
// and a cancel that comes before it started drops it unrun.
class ThumbnailRequestOperation final : public platform::Operation {
 public:
  using Send = std::function<void(const std::atomic<bool>* stop)>;
  explicit ThumbnailRequestOperation(Send send) : send_(std::move(send)) {}
  void cancel() override {
    stop_ = true;
    Operation::cancel();
  }
  bool ran() const { return ran_; }

 protected:
  void main() override {
    ran_ = true;
    send_(&stop_);
  }

 private:
  Send send_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ran_{false};
};

LMThumbnailImageView::Transport defaultTransport() {
  LMThumbnailImageView::Transport transport;
  transport.make = [](std::int64_t imageID, platform::ui::Size size) {
    auto request = LMImageSyncAdapter::sharedAdapter()->requestImageThumbnailUrls(
        std::vector<std::int64_t>{imageID}, LMImageSyncAdapter::ThumbnailSize{size.width, size.height});
    if (request.ok()) request->timeoutSeconds = LMThumbnailImageView::kRequestTimeout;
    return request;
  };
  transport.send = [](const platform::http::Request& request, const platform::http::SendControl& control) {
    return platform::http::sendSynchronousRequest(request, control);
  };
  transport.decode = [](const platform::http::SynchronousReply& reply) -> platform::Result<platform::Json> {
    auto manager = LMImageSyncAdapter::sharedAdapter()->httpRequestManager();
    auto session = manager->sessionSource()->sessionForSid(LMSyncAdapter::kLumoraPassportSid);
    std::optional<std::string> key;
    if (session.ok()) key = session->sSecurity;
    auto decoded = manager->responseSerializer()->responseObjectForResponse(reply.response, reply.data, key);
    if (!decoded.status.ok()) return decoded.status.error();
    return decoded.object.value_or(platform::Json());
  };
  return transport;
}

struct Shared {
  std::mutex mutex;
  std::optional<LMThumbnailImageView::Transport> testing;
};

Shared& shared() {
  static Shared* instance = new Shared;  // lives for the process
  return *instance;
}

LMThumbnailImageView::Transport currentTransport() {
  std::lock_guard<std::mutex> lock(shared().mutex);
  if (shared().testing) return *shared().testing;
  static const auto& fallback = *new LMThumbnailImageView::Transport(defaultTransport());
  return fallback;
}

platform::SerialQueue& requestQueue() {
  static auto* queue = new platform::SerialQueue("com.quenby.LumIOSHelper.thumbnail.queue");
  return *queue;
}

platform::Json contentOf(const platform::Json& reply) {
  if (reply.is_object()) {
    auto data = reply.find("data");
    if (data != reply.end() && data->is_object()) {
      auto content = data->find("content");
      if (content != data->end() && content->is_object()) return *content;
    }
  }
  return platform::Json::object();
}

}  // namespace

bool isNetworkConditionError(const platform::Error& error) {
  if (error.domain() != platform::http::kURLErrorDomain) return false;
  switch (error.code()) {
    case platform::http::kUrlErrorUnknown:
    case platform::http::kUrlErrorCancelled:
    case platform::http::kUrlErrorTimedOut:
    case platform::http::kUrlErrorNetworkConnectionLost:
    case platform::http::kUrlErrorDNSLookupFailed:
    case platform::http::kUrlErrorNotConnectedToInternet:
      return true;
    default:
      return false;
  }
}

platform::OperationQueue& LMThumbnailImageView::operationQueue() {
  static auto* queue = new platform::OperationQueue("com.quenby.LumIOSHelper.thumbnail.operations", 1);
  return *queue;
}

void LMThumbnailImageView::setTransportForTesting(std::optional<Transport> transport) {
  std::lock_guard<std::mutex> lock(shared().mutex);
  shared().testing = std::move(transport);
}

std::int64_t LMThumbnailImageView::enqueueTimes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->enqueueTimes;
}

std::shared_ptr<platform::Operation> LMThumbnailImageView::operation() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->operation;
}

void LMThumbnailImageView::requestThumbnailUrl(std::optional<std::int64_t> imageID, platform::ui::Size size,
                                               Finish finish) {
  if (!imageID) return;
  std::shared_ptr<platform::Operation> running;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->enqueueTimes >= 1 && state_->operation) running = std::move(state_->operation);
    ++state_->enqueueTimes;
  }
  if (running) running->cancel();

  auto state = state_;
  auto id = *imageID;
  requestQueue().async([state, id, size, finish = std::move(finish)] {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->enqueueTimes >= 2) {
        --state->enqueueTimes;
        return;
      }
    }
    auto clock = platform::Clock::current();
    const auto started = clock->steadyNow();
    const Transport transport = currentTransport();
    auto done = std::make_shared<platform::Semaphore>(0);
    auto failed = std::make_shared<std::atomic<bool>>(false);
    // The outcome, reported on the main queue; the request queue waits for it.
    auto report = [state, finish, done, failed](platform::Result<platform::Json> outcome, bool transportFailed) {
      platform::MainQueue::main().async([state, finish, done, failed, outcome = std::move(outcome), transportFailed] {
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          state->operation = nullptr;
        }
        *failed = transportFailed;
        if (finish) finish(outcome);
        done->signal();
      });
    };

    auto request = transport.make(id, size);
    if (!request.ok()) {
      report(request.error(), true);
    } else {
      const std::string url = request->url;
      auto operation = std::make_shared<ThumbnailRequestOperation>(
          [request = std::move(*request), transport, report](const std::atomic<bool>* stop) {
            platform::http::SendControl control;
            control.cancelled = stop;
            auto reply = transport.send(request, control);
            if (reply.error) {
              report(*reply.error, true);
              return;
            }
            auto decoded = transport.decode(reply);
            if (decoded.ok()) decoded = contentOf(*decoded);
            report(std::move(decoded), false);
          });
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->operation = operation;
      }
      operationQueue().addOperation(operation);
      operation->waitUntilFinished();
      // Cancelled before it reached the network: it never reported.
      if (!operation->ran()) {
        report(platform::http::makeUrlError(platform::http::kUrlErrorCancelled, url), true);
      }
    }
    done->wait();

    const auto floor = platform::seconds(kMinimumRequestTime);
    const auto elapsed = clock->steadyNow() - started;
    if (!*failed && elapsed < floor) clock->sleepFor(floor - elapsed);
    std::lock_guard<std::mutex> lock(state->mutex);
    --state->enqueueTimes;
  });
}

}  // namespace lumora
