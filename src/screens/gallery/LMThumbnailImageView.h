// The image view of the photo grid's cells and of the browser's pages that
// asks the cloud for an image's thumbnail or large-image addresses. All
// views share one serial request queue and one network operation queue of
// width 1, so the cloud sees one such request at a time; a successful one
// occupies the queue for at least 0.6 s on the platform clock. A view that
// asks again drops its own requests still waiting and cancels the one on the
// network (whose finish then gets the cancellation).
//
// Ownership: a view (std::make_shared). Its request state is shared with the
// queued blocks, so a view that goes away leaves them nothing to touch. The
// class-wide queues live for the process.
// Threading: call requestThumbnailUrl on the main thread; finish blocks run
// on the main queue, which must be pumped for the request queue to move on.
// Failure: a request that cannot be signed, a transport error, a cancel or
// an undecodable reply reaches finish as an error; nothing is retried.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Error.h"
#include "platform/Result.h"
#include "platform/dispatch/Operation.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/http/Request.h"
#include "platform/http/SynchronousReply.h"
#include "platform/ui/Label.h"

namespace lumora {

// Whether a failed image load is the network's own condition (unknown,
// cancelled, timed out, connection lost, host not found, offline): the
// address may be good, so no new one is asked for.
bool isNetworkConditionError(const platform::Error& error);

class LMThumbnailImageView : public platform::ui::ImageView {
 public:
  // The reply's "data" -> "content": image id -> {"isUrl", "data"}.
  using Finish = std::function<void(platform::Result<platform::Json> content)>;

  // How a request is made, sent and read. By default the shared image sync
  // adapter signs it, platform::http sends it (30 s time-out) and the
  // adapter's response serializer decrypts the reply.
  struct Transport {
    std::function<platform::Result<platform::http::Request>(std::int64_t imageID, platform::ui::Size size)> make;
    std::function<platform::http::SynchronousReply(const platform::http::Request&,
                                                    const platform::http::SendControl&)>
        send;
    std::function<platform::Result<platform::Json>(const platform::http::SynchronousReply&)> decode;
  };
  static constexpr double kRequestTimeout = 30.0;
  static constexpr double kMinimumRequestTime = 0.6;

  using ImageView::ImageView;

  static platform::OperationQueue& operationQueue();
  // Tests: another transport (nullopt: the default one).
  static void setTransportForTesting(std::optional<Transport> transport);

  // Asks for the addresses of `imageID` at `size` (sent as whole numbers).
  // No id: nothing happens and finish is not called. A request dropped for a
  // later one of this view never calls its finish.
  void requestThumbnailUrl(std::optional<std::int64_t> imageID, platform::ui::Size size, Finish finish);

  std::int64_t enqueueTimes() const;
  std::shared_ptr<platform::Operation> operation() const;

  // What the queued blocks share with the view.
  struct RequestState {
    mutable std::mutex mutex;
    std::int64_t enqueueTimes = 0;
    std::shared_ptr<platform::Operation> operation;
  };

 private:
  std::shared_ptr<RequestState> state_ = std::make_shared<RequestState>();
};

}  // namespace lumora
