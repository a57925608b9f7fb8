// The gate of the automatic background runs: a background job reaches an
// adapter only when its side is due (contacts after 24 h or a change since
// the last sync, gallery after 12 h or a change since the last backup).
//
// Ownership: borrows the adapter. Threading: the caller's thread (the main
// thread); reads the adapter's syncing flag without waiting.
// Failures: a dropped job is neither queued nor reported, and not retried.
#pragma once

#include <functional>

namespace lumora {

class LMSyncAdapter;

// A job sent while the adapter syncs is dropped. A foreground job is queued
// as it is; a background one only on a contact or image adapter whose rules
// pass (any other adapter drops it).
void swizzledPerformTaskBlock(LMSyncAdapter& adapter, std::function<void()> block, bool inBackground);

}  // namespace lumora
