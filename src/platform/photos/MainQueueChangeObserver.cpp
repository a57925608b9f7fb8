#include "platform/photos/MainQueueChangeObserver.h"

#include "platform/dispatch/MainQueue.h"

namespace platform::photos {

std::shared_ptr<ChangeObserver> mainQueueChangeObserver(std::function<void(const Change& change)> handler) {
  auto observer = std::make_shared<ChangeObserver>();
  auto shared = std::make_shared<std::function<void(const Change&)>>(std::move(handler));
  observer->photoLibraryDidChange = [shared](const Change& change) {
    MainQueue::main().async([shared, change] {
      if (*shared) (*shared)(change);
    });
  };
  return observer;
}

}  // namespace platform::photos
