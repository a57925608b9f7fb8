// Reading the reply of a batch of contact or group changes: "data" "list",
// one item per change in the order sent, each {"code", "data": {"type",
// "content"}}. A reply without that list, or with another number of items
// than changes sent, confirms none of them and is an error (never a silent
// success); an item whose "code" is missing or not 0 is an error of its own.
// A code is read as an integer: a number held to range, or a text that
// starts with one ("0" is success).
//
// Stateless; any thread. Failures are returned, and logged.
#pragma once

#include <cstddef>
#include <optional>

#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

// The reply's items, one per change sent; the unknown-reply error (101)
// otherwise.
platform::Result<platform::Json> batchReplyItems(const platform::Json& reply, std::size_t sent);
// The outcome of one item: success, or the error (server domain, its code
// or 0 when missing, the item as details).
platform::Status batchItemStatus(const platform::Json& item);
// The item's "data" when it is of `type` ("contact" or "group") and carries
// a "content" object (the record as the cloud now holds it); nullopt for
// anything else, which is passed over.
std::optional<platform::Json> batchItemContent(const platform::Json& item, const char* type);

}  // namespace lumora
