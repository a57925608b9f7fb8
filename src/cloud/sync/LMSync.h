// The "in background" tag that sync adapters put on the jobs of their task
// queue, so that the app can tell a background run from one the user
// started. An operation that was never tagged reads false.
//
// Process-wide table keyed by operation, guarded by a lock: any thread.
// Tags of operations that no longer exist are dropped as new tags are set.
#pragma once

#include <memory>

#include "platform/dispatch/Operation.h"

namespace lumora {

bool inBackground(const platform::Operation& operation);
void setInBackground(const std::shared_ptr<platform::Operation>& operation, bool inBackground);

}  // namespace lumora
