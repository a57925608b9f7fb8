// When the contacts were last synced, in the standard user defaults as
// seconds since 1970: the time the contacts page shows ("kLumoraLastSyncTime")
// and the one the background rule of 24 hours reads ("lastSyncContactsTime").
// Whoever syncs the contacts of this app home (the page, or `lumora --demo`)
// records them, so the page tells the last sync made.
//
// Threading: any thread. Failure: a failed write is the user defaults' (kept
// in memory, retried on the next change).
#pragma once

namespace lumora {

struct LMLastContactSync {
  static constexpr const char* kShownKey = "kLumoraLastSyncTime";
  static constexpr const char* kRuleKey = "lastSyncContactsTime";
  // Records a finished sync at `secondsSince1970` under both keys.
  static void record(double secondsSince1970);
};

}  // namespace lumora
