// A photo-library observer whose handler runs on the main queue: the
// library tells its observers on its own queue, and screens that redraw on
// a change want the main thread.
//
// Ownership: the caller keeps the observer (the library holds observers
// weakly). Threading: the handler runs on the main queue.
// Failure: none.
#pragma once

#include <functional>
#include <memory>

#include "platform/photos/PhotoLibrary.h"

namespace platform::photos {

std::shared_ptr<ChangeObserver> mainQueueChangeObserver(std::function<void(const Change& change)> handler);

}  // namespace platform::photos
