// The result callback that the passports manager attaches to a passport for
// the operation in progress (one per passport; a new operation replaces the
// old one). takeResultBlock detaches it, so each operation's callback runs at
// most once however often the passport reports.
//
// The callbacks live in a process-wide side table keyed by the passport,
// held weakly: entries of passports that have died are dropped as the table
// is used, and a new passport never inherits one. Every function is
// thread-safe; a null passport is ignored (empty results).
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/Result.h"

namespace lumora {

class QBPassport;

// Success, or the error the operation ended with.
using QBPassportResultBlock = std::function<void(const platform::Status& result)>;

// An empty block detaches.
void setResultBlock(const std::shared_ptr<QBPassport>& passport, QBPassportResultBlock block);
// The attached callback, left attached (an empty function when none).
QBPassportResultBlock resultBlock(const std::shared_ptr<QBPassport>& passport);
// The attached callback, detached (an empty function when none).
QBPassportResultBlock takeResultBlock(const std::shared_ptr<QBPassport>& passport);

}  // namespace lumora
